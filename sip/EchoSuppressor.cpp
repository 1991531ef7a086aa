#include "EchoSuppressor.h"

#include <speex/speex_echo.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kbrphone {

namespace {
// 1 dB.
constexpr double kLouderThanCaptured = 1.26;
// A frame at -50 dBFS: below it the canceller's filtering of near silence is no sign of trouble.
constexpr double kAudibleEnergy = 100.0 * 100.0 * EchoSuppressor::kFrameSamples;

double energy(const int16_t* samples, int count) {
    double sum = 0;
    for (int i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    return sum;
}
} // namespace

EchoSuppressor::EchoSuppressor() : writeIndex(0), lastFrameNumber(0) {
    std::memset(ring, 0, sizeof ring);
    echoState = speex_echo_state_init(kFrameSamples, kFilterSamples);
    if (!echoState)
        throw std::runtime_error("cannot create echo canceller");
    int rate = kSampleRate;
    speex_echo_ctl(echoState, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
}

EchoSuppressor::~EchoSuppressor() {
    speex_echo_state_destroy(echoState);
}

void EchoSuppressor::played(uint32_t frameNumber, const int16_t* samples, int count) {
    if (count <= 0)
        return;
    // Only the newest second fits.
    if (count > kRingSamples) {
        samples += count - kRingSamples;
        count = kRingSamples;
    }
    const int first = std::min(count, kRingSamples - writeIndex);
    std::memcpy(ring + writeIndex, samples, sizeof(int16_t) * first);
    std::memcpy(ring, samples + first, sizeof(int16_t) * (count - first));
    writeIndex = (writeIndex + count) % kRingSamples;
    lastFrameNumber = frameNumber;
}

int EchoSuppressor::referenceStart(uint32_t frameNumber, int count) const {
    // The frame distance is signed (capture may lag or lead playback) and may be large after a gap:
    // reduce it first so that the product cannot overflow, then fold into the ring.
    const int64_t frames = int64_t(int32_t(frameNumber - lastFrameNumber)) % kRingSamples;
    const int64_t offset = (frames * count) % kRingSamples;
    int64_t start = (writeIndex + offset) % kRingSamples;
    if (start < 0)
        start += kRingSamples;
    return int(start);
}

void EchoSuppressor::cancel(uint32_t frameNumber, int16_t* samples, int count) {
    if (count != kFrameSamples)
        return;
    const int start = referenceStart(frameNumber, count);
    const int16_t* reference = ring + start;
    int16_t wrapped[kFrameSamples];
    if (start + count > kRingSamples) {
        const int first = kRingSamples - start;
        std::memcpy(wrapped, ring + start, sizeof(int16_t) * first);
        std::memcpy(wrapped + first, ring, sizeof(int16_t) * (count - first));
        reference = wrapped;
    }
    int16_t out[kFrameSamples];
    speex_echo_cancellation(echoState, samples, reference, out);
    // Cancelling takes away what the speaker put into the microphone; it never adds. An output
    // clearly louder than the microphone is the filter gone astray: its reference may even be our
    // own voice that a far end sends back, and the filter would then feed on its own output until
    // the frames clip. The frame then goes out as captured and the filter starts over. The
    // canceller's own input filtering carries a little of a frame into the next, so the measure is
    // the louder of this captured frame and the one before.
    const double captured = energy(samples, kFrameSamples);
    const double measure = std::max(captured, previousCaptured);
    previousCaptured = captured;
    if (energy(out, kFrameSamples) > kLouderThanCaptured * measure + kAudibleEnergy) {
        speex_echo_state_reset(echoState);
        int rate = kSampleRate;
        speex_echo_ctl(echoState, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
        return;
    }
    std::memcpy(samples, out, sizeof out);
}

} // namespace kbrphone
