// The echo canceller of the phone's audio path: where it finds the far-end reference in its ring, and
// how much echo it removes from a linear echo path.
#include "EchoSuppressor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

using kbrphone::EchoSuppressor;

namespace {

constexpr int kFrame = 160;

TEST(EchoSuppressor, ReferenceStartStaysInTheRing) {
    struct Case {
        int framesPlayed;    // frames written to the ring before
        uint32_t lastPlayed; // frame number of the last one
        uint32_t captured;   // frame number of the captured frame
        int expected;        // -1: only checked to lie in the ring
    } cases[] = {
        {3, 10, 10, 480},                 // same frame: where the next frame will be written
        {3, 10, 8, 160},                  // capture two frames behind playback
        {3, 10, 12, 800},                 // capture ahead of playback
        {0, 0, 0, 0},                     // nothing played yet
        {1, 5, 4, 0},                     // one behind at the ring's start
        {2, 5, 2, 7840},                  // behind past the ring's start: wraps to its end
        {50, 49, 49, 0},                  // a full ring: writeIndex wrapped to 0
        {3, 10, 10 + 50, 480},            // a second ahead lands on the same place
        {3, 0x7FFFFFF0u, 0xFFFFFFF0u, -1},// far apart: no overflow
        {3, 0xFFFFFFFFu, 0, 640},         // frame numbers wrapping around
        {3, 0, 0xFFFFFFFFu, 320},
        {3, 0x80000000u, 0, -1},
    };
    std::vector<int16_t> frame(kFrame, 1);
    for (const Case& c : cases) {
        EchoSuppressor echo;
        for (int i = 0; i < c.framesPlayed; ++i)
            echo.played(c.lastPlayed - (c.framesPlayed - 1) + i, frame.data(), kFrame);
        const int start = echo.referenceStart(c.captured, kFrame);
        EXPECT_GE(start, 0) << c.lastPlayed << " " << c.captured;
        EXPECT_LT(start, EchoSuppressor::kRingSamples) << c.lastPlayed << " " << c.captured;
        if (c.expected >= 0) {
            EXPECT_EQ(start, c.expected) << c.lastPlayed << " " << c.captured;
        }
    }
}

TEST(EchoSuppressor, PlayedAudioWrapsAroundTheRing) {
    EchoSuppressor echo;
    std::vector<int16_t> frame(kFrame, 3);
    for (int i = 0; i < 51; ++i)
        echo.played(i, frame.data(), kFrame);
    EXPECT_EQ(echo.getWriteIndex(), kFrame);
    EXPECT_EQ(echo.getLastFrameNumber(), 50u);
    // A frame of odd size keeps the index in the ring too.
    std::vector<int16_t> odd(8100, 1);
    echo.played(51, odd.data(), int(odd.size()));
    EXPECT_GE(echo.getWriteIndex(), 0);
    EXPECT_LT(echo.getWriteIndex(), EchoSuppressor::kRingSamples);
}

TEST(EchoSuppressor, FramesOfAnotherSizePassUnchanged) {
    EchoSuppressor echo;
    std::vector<int16_t> frame(80, 1234);
    echo.cancel(0, frame.data(), 80);
    for (int16_t s : frame)
        ASSERT_EQ(s, 1234);
}

// Echo return loss enhancement, in dB, over the last two seconds of a run of `seconds`: the far end
// plays noise, the microphone hears it attenuated and delayed (no near-end speech, no noise). The
// device fetches playback two frames ahead of capture, as a buffered render stream does.
double measureErle(int delaySamples, double gain, int seconds) {
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 3000.0);
    const int frames = seconds * 50;
    std::vector<int16_t> far(size_t(frames + 4) * kFrame);
    for (auto& s : far)
        s = int16_t(std::max(-32000.0, std::min(32000.0, noise(random))));
    EchoSuppressor echo;
    echo.played(0, far.data(), kFrame);
    echo.played(1, far.data() + kFrame, kFrame);
    double before = 0, after = 0;
    std::vector<int16_t> mic(kFrame);
    for (int n = 0; n < frames; ++n) {
        echo.played(uint32_t(n + 2), far.data() + size_t(n + 2) * kFrame, kFrame);
        for (int i = 0; i < kFrame; ++i) {
            const long t = long(n) * kFrame + i - delaySamples;
            mic[i] = t < 0 ? 0 : int16_t(std::lround(gain * far[size_t(t)]));
        }
        const bool measured = n >= frames - 100;
        if (measured)
            for (int16_t s : mic)
                before += double(s) * s;
        echo.cancel(uint32_t(n), mic.data(), kFrame);
        if (measured)
            for (int16_t s : mic)
                after += double(s) * s;
    }
    return 10.0 * std::log10(before / std::max(after, 1.0));
}

TEST(EchoSuppressor, CancelsALinearEchoAfterConvergence) {
    // A noiseless linear echo path within the filter's reach is what an adaptive canceller removes
    // best: 55 to 70 dB here. 30 dB leaves a wide margin for another speexdsp build yet fails plainly
    // when the reference is taken from the wrong place in the ring (then next to nothing, about 0 dB).
    for (int delay : {8, 80, 300}) {
        const double erle = measureErle(delay, 0.5, 8);
        std::printf("echo delay %d samples: ERLE %.1f dB\n", delay, erle);
        EXPECT_GT(erle, 30.0) << "delay " << delay;
    }
}

TEST(EchoSuppressor, EchoBeyondTheFilterIsNotCancelled) {
    // The reference lies 160 samples ahead of the captured frame and the filter spans 800 samples, so
    // an echo delayed by more than about 640 samples is out of reach: this pins where the reference is.
    EXPECT_LT(measureErle(1500, 0.5, 6), 6.0);
}

} // namespace
