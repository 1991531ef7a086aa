// The echo canceller of one audio run: remembers the last second of played audio and removes its
// echo from the captured frames with the speexdsp echo canceller.
#pragma once

#include <cstdint>

struct SpeexEchoState_;

namespace kbrphone {

class EchoSuppressor {
public:
    static constexpr int kRingSamples = 8000;
    static constexpr int kFrameSamples = 160;
    static constexpr int kFilterSamples = 800;
    static constexpr int kSampleRate = 8000;

    EchoSuppressor();
    ~EchoSuppressor();
    EchoSuppressor(const EchoSuppressor&) = delete;
    EchoSuppressor& operator=(const EchoSuppressor&) = delete;

    // A frame handed to the speaker: stored in the ring.
    void played(uint32_t frameNumber, const int16_t* samples, int count);
    // A captured frame: the echo of what was played is cancelled in place. Frames of another size
    // than the canceller's frame pass unchanged.
    void cancel(uint32_t frameNumber, int16_t* samples, int count);

    // Where the far-end reference of a captured frame starts in the ring; always within it.
    int referenceStart(uint32_t frameNumber, int count) const;
    int getWriteIndex() const { return writeIndex; }
    uint32_t getLastFrameNumber() const { return lastFrameNumber; }

private:
    int16_t ring[kRingSamples];
    int writeIndex;
    uint32_t lastFrameNumber;
    SpeexEchoState_* echoState;
    double previousCaptured = 0;
};

} // namespace kbrphone
