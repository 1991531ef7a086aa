// Packet loss concealment for 8000 Hz speech in the manner of ITU-T G.711 Appendix I.
//
// During a loss the concealer repeats the last pitch period of the received history (one period
// for the first 10 ms frame, two and then three periods for the next two), overlap-adds at every
// seam, fades the invented audio out by 20 % per frame and produces silence from the seventh frame
// on. When audio returns, the first new samples are cross-faded with the continuation of the
// concealed signal. All audio arithmetic is in single-precision float, conversions to 16 bits
// truncate toward zero.
#pragma once

#include <cstdint>

class PacketLossConcealer {
public:
    static constexpr int frameSize = 80;      // one concealment frame, 10 ms
    static constexpr int historyLength = 390; // 3 * pitchMax + overlapMax
    static constexpr int pitchMin = 40;
    static constexpr int pitchMax = 120;
    static constexpr int pitchDiff = pitchMax - pitchMin; // search lags 0 .. 80
    static constexpr int overlapMax = pitchMax / 4;
    static constexpr int correlationLength = 160;
    static constexpr int correlationBufferLength = correlationLength + pitchMax; // 280
    static constexpr float correlationMinPower = 250.0f;
    static constexpr int mergeOverlapIncrement = 32;
    static constexpr float attenuationFactor = 0.2f;
    static constexpr float attenuationIncrement = attenuationFactor / frameSize;

    PacketLossConcealer();
    PacketLossConcealer(const PacketLossConcealer&) = delete;
    PacketLossConcealer& operator=(const PacketLossConcealer&) = delete;

    // Makes the next frameSize samples of a loss in frame. The history is the historyLength samples of
    // the ring (ringSize samples) just before writePosition; at the start of a loss the last
    // overlapLength of them are smoothed in place so that the seam into the concealment is soft.
    void conceal(int16_t* frame, int16_t* ring, int ringSize, int writePosition);

    // Cross-fades the concealment's continuation into the first samples of samples (count of them;
    // the overlap is cut to count when the new audio is shorter) and ends the loss. Does nothing
    // when no frame was concealed.
    void mergeAfterLoss(int16_t* samples, int count);
    void mergeAfterLoss(int16_t* samples) { mergeAfterLoss(samples, frameSize); }

    // Forgets a loss in progress, so that the next loss starts afresh from the history.
    void clear() { erasedFrames = 0; }

    int getErasedFrames() const { return erasedFrames; }
    int getPitch() const { return pitch; }
    int getOverlapLength() const { return overlapLength; }

private:
    int findPitch();
    void readPitchBuffer(int16_t* out, int count);
    void attenuate(int16_t* frame);
    void smoothHistoryEnd();
    static void overlapAdd(const float* l, const float* r, float* out, int count);
    static void overlapAdd(const int16_t* l, const int16_t* r, int16_t* out, int count);

    int erasedFrames;
    int overlapLength;
    int pitchOffset;
    int pitch;
    int pitchBufferLength;
    float pitchBuffer[historyLength];
    float* pitchBufferEnd;
    float* pitchBufferStart;
    float savedTail[overlapMax];
};
