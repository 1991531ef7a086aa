#include "PacketLossConcealer.h"

#include <cmath>
#include <cstring>

namespace {

// Sum of a[k * step] * b[k * step] for k < n; n is a multiple of 4. Four partial sums keep the
// multiply-adds independent.
float correlate(const float* a, const float* b, int n, int step) {
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
    const int end = n * step;
    for (int i = 0; i < end; i += 4 * step) {
        s0 += a[i] * b[i];
        s1 += a[i + step] * b[i + step];
        s2 += a[i + 2 * step] * b[i + 2 * step];
        s3 += a[i + 3 * step] * b[i + 3 * step];
    }
    return (s0 + s1) + (s2 + s3);
}

float normalised(float correlation, float energy) {
    float scale =
        energy < PacketLossConcealer::correlationMinPower ? PacketLossConcealer::correlationMinPower : energy;
    return correlation / std::sqrt(scale);
}

float clampSample(float t) {
    if (t > 32767.0f)
        return 32767.0f;
    if (t < -32768.0f)
        return -32768.0f;
    return t;
}

// Float to 16 bits, truncating toward zero; the value is already within range.
int16_t toSample(float t) {
    return static_cast<int16_t>(static_cast<int>(t));
}

} // namespace

PacketLossConcealer::PacketLossConcealer()
    : erasedFrames(0), overlapLength(0), pitchOffset(0), pitch(pitchMax),
      pitchBufferLength(pitchMax), pitchBuffer{}, pitchBufferEnd(pitchBuffer + historyLength),
      pitchBufferStart(pitchBufferEnd - pitchBufferLength), savedTail{} {}

void PacketLossConcealer::conceal(int16_t* frame, int16_t* ring, int ringSize, int writePosition) {
    const int n = erasedFrames;
    if (n == 0) {
        // The history: the samples just before the write position, oldest first.
        int pos = ((writePosition - historyLength) % ringSize + ringSize) % ringSize;
        for (int i = 0; i < historyLength; ++i) {
            pitchBuffer[i] = ring[pos];
            if (++pos == ringSize)
                pos = 0;
        }
        pitch = findPitch();
        overlapLength = pitch / 4;
        std::memcpy(savedTail, pitchBufferEnd - overlapLength, overlapLength * sizeof(float));
        pitchOffset = 0;
        pitchBufferLength = pitch;
        smoothHistoryEnd();
        // The smoothed end replaces the samples still in the ring, so the seam plays softly too.
        pos = ((writePosition - overlapLength) % ringSize + ringSize) % ringSize;
        for (int i = 0; i < overlapLength; ++i) {
            ring[pos] = toSample(pitchBufferEnd[i - overlapLength]);
            if (++pos == ringSize)
                pos = 0;
        }
        readPitchBuffer(frame, frameSize);
    } else if (n == 1 || n == 2) {
        // One more period of the history joins the pitch buffer; the continuation of the old
        // buffer is cross-faded into the start of this frame.
        int16_t continuation[overlapMax];
        const int savedOffset = pitchOffset;
        readPitchBuffer(continuation, overlapLength);
        pitchOffset = savedOffset;
        while (pitchOffset > pitch)
            pitchOffset -= pitch;
        pitchBufferLength += pitch;
        smoothHistoryEnd();
        readPitchBuffer(frame, frameSize);
        overlapAdd(continuation, frame, frame, overlapLength);
        attenuate(frame);
    } else if (n <= 5) {
        readPitchBuffer(frame, frameSize);
        attenuate(frame);
    } else {
        std::memset(frame, 0, frameSize * sizeof(int16_t));
    }
    erasedFrames = n + 1;
}

// Sets the start of the pitch buffer from its length and overlap-adds the untouched tail of the
// history with the samples just before the start, so that the end of the buffer runs smoothly
// into its beginning.
void PacketLossConcealer::smoothHistoryEnd() {
    pitchBufferStart = pitchBufferEnd - pitchBufferLength;
    overlapAdd(savedTail, pitchBufferStart - overlapLength, pitchBufferEnd - overlapLength, overlapLength);
}

void PacketLossConcealer::mergeAfterLoss(int16_t* samples, int count) {
    if (erasedFrames == 0 || count <= 0)
        return;
    int olen = overlapLength + mergeOverlapIncrement * (erasedFrames - 1);
    if (olen > frameSize)
        olen = frameSize;
    if (olen > count)
        olen = count;
    int16_t concealed[frameSize];
    readPitchBuffer(concealed, olen);

    const float incr = 1.0f / olen;
    float gain = 1.0f - (erasedFrames - 1) * attenuationFactor;
    if (gain < 0.0f)
        gain = 0.0f;
    const float incrGain = incr * gain;
    float lw = (1.0f - incr) * gain;
    float rw = incr;
    for (int i = 0; i < olen; ++i) {
        samples[i] = toSample(clampSample(lw * concealed[i] + rw * samples[i]));
        lw -= incrGain;
        rw += incr;
    }
    erasedFrames = 0;
}

void PacketLossConcealer::readPitchBuffer(int16_t* out, int count) {
    while (count > 0) {
        int n = pitchBufferLength - pitchOffset;
        if (n > count)
            n = count;
        const float* in = pitchBufferStart + pitchOffset;
        for (int i = 0; i < n; ++i)
            out[i] = toSample(in[i]);
        pitchOffset += n;
        if (pitchOffset == pitchBufferLength)
            pitchOffset = 0;
        out += n;
        count -= n;
    }
}

void PacketLossConcealer::attenuate(int16_t* frame) {
    float g = 1.0f - (erasedFrames - 1) * attenuationFactor;
    for (int i = 0; i < frameSize; ++i) {
        frame[i] = toSample(frame[i] * g);
        g -= attenuationIncrement;
    }
}

int PacketLossConcealer::findPitch() {
    const float* l = pitchBufferEnd - correlationLength;
    const float* r = pitchBufferEnd - correlationBufferLength;

    // Coarse search: every second lag, every second sample.
    const int coarseSamples = correlationLength / 2;
    float energy = correlate(r, r, coarseSamples, 2);
    float best = normalised(correlate(r, l, coarseSamples, 2), energy);
    int bestLag = 0;
    for (int lag = 2; lag <= pitchDiff; lag += 2) {
        energy -= r[0] * r[0];
        energy += r[correlationLength] * r[correlationLength];
        r += 2;
        const float corr = normalised(correlate(r, l, coarseSamples, 2), energy);
        if (corr >= best) {
            best = corr;
            bestLag = lag;
        }
    }

    // Fine search around the coarse result, every sample.
    int lag = bestLag - 1 < 0 ? 0 : bestLag - 1;
    const int last = bestLag + 1 > pitchDiff ? pitchDiff : bestLag + 1;
    const float* rp = pitchBufferEnd - correlationBufferLength + lag;
    energy = correlate(rp, rp, correlationLength, 1);
    best = normalised(correlate(rp, l, correlationLength, 1), energy);
    bestLag = lag;
    for (++lag; lag <= last; ++lag) {
        energy -= rp[0] * rp[0];
        energy += rp[correlationLength] * rp[correlationLength];
        ++rp;
        const float corr = normalised(correlate(rp, l, correlationLength, 1), energy);
        if (corr > best) {
            best = corr;
            bestLag = lag;
        }
    }
    return pitchMax - bestLag;
}

void PacketLossConcealer::overlapAdd(const float* l, const float* r, float* out, int count) {
    const float incr = 1.0f / count;
    float lw = 1.0f - incr;
    float rw = incr;
    for (int i = 0; i < count; ++i) {
        out[i] = clampSample(lw * l[i] + rw * r[i]);
        lw -= incr;
        rw += incr;
    }
}

void PacketLossConcealer::overlapAdd(const int16_t* l, const int16_t* r, int16_t* out, int count) {
    const float incr = 1.0f / count;
    float lw = 1.0f - incr;
    float rw = incr;
    for (int i = 0; i < count; ++i) {
        out[i] = toSample(clampSample(lw * l[i] + rw * r[i]));
        lw -= incr;
        rw += incr;
    }
}
