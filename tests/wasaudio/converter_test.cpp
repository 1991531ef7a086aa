#include "AudioTestSupport.h"
#include "WASAudio/AudioConverter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace wasmedia;
using audiotest::RecordingChannel;

namespace {

TEST(SampleConversion, CaptureToSixteenBits) {
    EXPECT_EQ(toEngineSample(static_cast<unsigned char>(0)), -32768);
    EXPECT_EQ(toEngineSample(static_cast<unsigned char>(128)), 0);
    EXPECT_EQ(toEngineSample(static_cast<unsigned char>(255)), 32512);
    EXPECT_EQ(toEngineSample(static_cast<unsigned short>(0x8000)), -32768);
    EXPECT_EQ(toEngineSample(static_cast<unsigned short>(1234)), 1234);
    EXPECT_EQ(toEngineSample(static_cast<unsigned int>(0x7FFFFFFF)), 32767);
    EXPECT_EQ(toEngineSample(static_cast<unsigned int>(0x80000000u)), -32768);
    EXPECT_EQ(toEngineSample(static_cast<unsigned int>(0xFFFF0000u)), -1);  // arithmetic shift
    EXPECT_EQ(toEngineSample(1.0f), 32767);
    EXPECT_EQ(toEngineSample(-1.0f), -32767);
    EXPECT_EQ(toEngineSample(0.5f), 16383);
    EXPECT_EQ(toEngineSample(-0.25f), -8191);
}

// Samples beyond full scale are clamped: a wrap-around would turn a loud peak into the other sign.
TEST(SampleConversion, FloatBeyondFullScaleIsClamped) {
    const struct {
        float in;
        int16_t out;
    } cases[] = {{1.5f, 32767}, {2.0f, 32767}, {-1.5f, -32767}, {-100.0f, -32767}, {NAN, 0}, {INFINITY, 32767}};
    for (const auto& c : cases)
        EXPECT_EQ(toEngineSample(c.in), c.out) << c.in;
}

TEST(SampleConversion, PlaybackFromSixteenBits) {
    const int16_t in[] = {-32768, -1, 0, 1, 256, 32767};
    const unsigned char u8[] = {0x00, 0x7F, 0x80, 0x80, 0x81, 0xFF};
    const uint32_t s32[] = {0x80000000u, 0xFFFF0000u, 0, 0x10000u, 0x1000000u, 0x7FFF0000u};
    const float f[] = {-1.0f, -1.0f / 32768, 0.0f, 1.0f / 32768, 256.0f / 32768, 0.999969482421875f};
    for (size_t i = 0; i < sizeof in / sizeof in[0]; ++i) {
        unsigned char a;
        unsigned short b;
        unsigned int c;
        float d;
        fromEngineSample(in[i], a);
        fromEngineSample(in[i], b);
        fromEngineSample(in[i], c);
        fromEngineSample(in[i], d);
        EXPECT_EQ(a, u8[i]) << in[i];
        EXPECT_EQ(static_cast<int16_t>(b), in[i]);
        EXPECT_EQ(c, s32[i]) << in[i];
        EXPECT_EQ(d, f[i]) << in[i];
        // And back again, for the types that keep 16 bits.
        EXPECT_EQ(toEngineSample(b), in[i]);
        EXPECT_EQ(toEngineSample(c), in[i]);
    }
}

TEST(InputConverter, StereoAverageTruncatesTowardZero) {
    RecordingChannel sink;
    InputConverterT<unsigned short> c(&sink, 4, 8000, 8000, 2);
    const int16_t frames[] = {1000, -1001, -3, -4, 7, 8, 32767, 32767};
    c.convert(frames, 4);
    ASSERT_EQ(sink.captured.size(), 4u);
    EXPECT_EQ(sink.captured[0], 0);
    EXPECT_EQ(sink.captured[1], -3);
    EXPECT_EQ(sink.captured[2], 7);
    EXPECT_EQ(sink.captured[3], 32767);
}

TEST(InputConverter, EqualRatesPassSamplesStraightIntoFrames) {
    RecordingChannel sink;
    InputConverterT<unsigned short> c(&sink, 160, 8000, 8000, 1);
    EXPECT_FALSE(c.hasLowPass());
    EXPECT_FALSE(c.hasResampler());
    std::vector<int16_t> in(500);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<int16_t>(i * 37 - 9000);
    c.convert(in.data(), 500);
    ASSERT_EQ(sink.captured.size(), 480u);
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 2}), sink.numbers);
    EXPECT_TRUE(std::equal(sink.captured.begin(), sink.captured.end(), in.begin()));
    EXPECT_EQ(c.buffered(), 20);
}

TEST(InputConverter, FortyEightKilohertzGivesOneFramePer960DeviceFrames) {
    RecordingChannel sink;
    InputConverterT<float> c(&sink, 160, 48000, 8000, 2);
    c.resizeBuffer(1600);
    EXPECT_TRUE(c.hasLowPass());
    EXPECT_TRUE(c.hasResampler());
    std::vector<float> packet(480 * 2, 0.25f);
    for (int p = 0; p < 20; ++p) {
        c.convert(packet.data(), 480);
        while (c.buffered() >= 160)
            c.deliverFrame();
    }
    // 9600 device frames: ten frames, less the two-sample start-up of the window (none lost later).
    ASSERT_GE(sink.numbers.size(), 9u);
    ASSERT_LE(sink.numbers.size(), 10u);
    for (size_t i = 0; i < sink.numbers.size(); ++i)
        EXPECT_EQ(sink.numbers[i], i);
    // A constant comes through the low-pass and the decimation unchanged once settled.
    EXPECT_NEAR(sink.captured.back(), 8191, 2);
}

// Each device rate and channel count and all four sample types: a 1 kHz tone arrives as a 1 kHz
// tone at 8000 Hz with its level, and a tone above the engine's band is removed, not folded in.
struct RateCase {
    int rate;
    int channels;
};

template <typename T>
void fillTone(std::vector<T>& out, int rate, int channels, double hz, double amplitude, size_t frames) {
    out.resize(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2 * M_PI * hz * double(i) / rate);
        T s;
        fromEngineSample(static_cast<int16_t>(std::lround(v * 32767)), s);
        for (int c = 0; c < channels; ++c)
            out[i * channels + c] = s;
    }
}

template <typename T>
std::vector<int16_t> captureThrough(const RateCase& rc, double hz, double amplitude) {
    RecordingChannel sink;
    InputConverterT<T> c(&sink, 160, rc.rate, 8000, rc.channels);
    c.resizeBuffer(1600);
    std::vector<T> data;
    fillTone(data, rc.rate, rc.channels, hz, amplitude, static_cast<size_t>(rc.rate));
    const size_t packet = static_cast<size_t>(rc.rate / 100);
    for (size_t at = 0; at + packet <= static_cast<size_t>(rc.rate); at += packet) {
        c.convert(data.data() + at * rc.channels, static_cast<uint32_t>(packet));
        while (c.buffered() >= 160)
            c.deliverFrame();
    }
    return sink.captured;
}

template <typename T>
void checkCapture(const RateCase& rc, const char* type) {
    SCOPED_TRACE(std::string(type) + " " + std::to_string(rc.rate) + " Hz " + std::to_string(rc.channels) + " ch");
    const auto out = captureThrough<T>(rc, 1000, 0.5);
    // One second of input gives 50 frames, less at most the window's start-up.
    EXPECT_GE(out.size(), 49u * 160);
    EXPECT_LE(out.size(), 50u * 160);
    const double tolerance = std::is_same<T, unsigned char>::value ? 0.02 : 0.005;
    EXPECT_NEAR(audiotest::toneAmplitude(out, 1000, 8000, 800) / 32767, 0.5, 0.5 * tolerance * 4);
    // Nothing else of weight: the residue (noise, distortion) is far below the tone.
    const double tone = audiotest::toneAmplitude(out, 1000, 8000, 800) / std::sqrt(2.0);
    const double total = audiotest::rms(out, 800);
    const double residue = std::sqrt(std::max(0.0, total * total - tone * tone)) / tone;
    EXPECT_LT(residue, (std::is_same<T, unsigned char>::value ? 0.02 : 0.003));
    if (rc.rate > 8000) {
        // 6 kHz lies above the engine's 4 kHz band: without the low-pass it would fold to 2 kHz.
        const double band = rc.rate > 12000 ? 6000 : 0;
        if (band > 0) {
            const auto high = captureThrough<T>(rc, band, 0.5);
            EXPECT_LT(audiotest::rms(high, 800) / 32767, 0.005);
        }
    }
}

TEST(InputConverter, ToneSurvivesEveryRateChannelCountAndType) {
    const RateCase cases[] = {{8000, 1}, {8000, 2}, {16000, 1}, {16000, 2}, {44100, 1}, {44100, 2}, {48000, 1}, {48000, 2}};
    for (const auto& rc : cases) {
        checkCapture<unsigned char>(rc, "u8");
        checkCapture<unsigned short>(rc, "s16");
        checkCapture<unsigned int>(rc, "s32");
        checkCapture<float>(rc, "float");
    }
}

TEST(Resampler, StartsWithEighteenSamplesAndPassesPhaseZeroExactly) {
    Resampler r(48000, 8000);
    EXPECT_EQ(r.inputStep(), 6);
    EXPECT_EQ(r.outputStep(), 1);
    EXPECT_EQ(r.getWindowLength(), 18);
    r.push(11);
    EXPECT_FALSE(r.full());
    r.push(12);
    ASSERT_TRUE(r.full());
    EXPECT_EQ(r.next(), 0);  // window[9] is still a start-up zero
    EXPECT_EQ(r.getWindowLength(), 14);
    Resampler s(44100, 8000);
    EXPECT_EQ(s.inputStep(), 441);
    EXPECT_EQ(s.outputStep(), 80);
}

TEST(Resampler, ValuesBeyondSixteenBitsAreBoundedSymmetrically) {
    for (int32_t v : {40000, -40000}) {
        Resampler r(8000, 48000);
        for (int i = 0; i < 2; ++i)
            r.push(v);
        // Settle the window on the constant, then read interpolated (phase != 0) outputs; the
        // phase-0 output is a window sample, which holds 16-bit values in use.
        for (int k = 0; k < 200; ++k) {
            if (!r.full())
                r.push(v);
            const bool interpolated = r.getPhase() != 0;
            const int32_t out = r.next();
            if (k > 120 && interpolated) {
                EXPECT_EQ(out, v > 0 ? 32767 : -32767) << k;
            }
        }
    }
}

template <typename T>
std::vector<int16_t> playThrough(RecordingChannel& source, int rate, int channels, size_t deviceFrames) {
    std::unique_ptr<OutputConverter> c(new OutputConverterT<T>(&source, 160, 8000, rate, channels));
    std::vector<T> buffer(deviceFrames * channels);
    uint32_t written = 0;
    // The device's fetch: the first write after creation writes nothing.
    EXPECT_EQ(c->write(buffer.data(), 0, 10), 0u);
    while (written < deviceFrames) {
        uint32_t n = c->write(buffer.data(), written, static_cast<uint32_t>(deviceFrames) - written);
        written += n;
        if (written < deviceFrames) {
            const uint32_t number = c->takeFrameNumber();
            if (!source.getFrame(number, c->frameBuffer(), 160, false))
                std::fill(c->frameBuffer(), c->frameBuffer() + 160, int16_t(0));
            c->rewind();
        }
    }
    std::vector<int16_t> mono(deviceFrames);
    for (size_t i = 0; i < deviceFrames; ++i) {
        for (int ch = 1; ch < channels; ++ch)
            EXPECT_EQ(std::memcmp(&buffer[i * channels], &buffer[i * channels + ch], sizeof(T)), 0);
        mono[i] = toEngineSample(buffer[i * channels]);
    }
    return mono;
}

template <typename T>
void checkPlayback(const RateCase& rc, const char* type) {
    SCOPED_TRACE(std::string(type) + " " + std::to_string(rc.rate) + " Hz " + std::to_string(rc.channels) + " ch");
    RecordingChannel source;
    source.amplitude = 16000;
    const auto out = playThrough<T>(source, rc.rate, rc.channels, static_cast<size_t>(rc.rate));
    // One second of device frames takes 50 engine frames (plus one being started).
    EXPECT_GE(source.requested.size(), 50u);
    EXPECT_LE(source.requested.size(), 51u);
    for (size_t i = 0; i < source.requested.size(); ++i)
        EXPECT_EQ(source.requested[i], i);
    const double amplitude = audiotest::toneAmplitude(out, 1000, rc.rate, static_cast<size_t>(rc.rate / 50));
    EXPECT_NEAR(amplitude, 16000, 16000 * (std::is_same<T, unsigned char>::value ? 0.02 : 0.005));
}

TEST(OutputConverter, ToneSurvivesEveryRateChannelCountAndType) {
    const RateCase cases[] = {{8000, 1}, {8000, 2}, {16000, 1}, {16000, 2}, {44100, 1}, {44100, 2}, {48000, 1}, {48000, 2}};
    for (const auto& rc : cases) {
        checkPlayback<unsigned char>(rc, "u8");
        checkPlayback<unsigned short>(rc, "s16");
        checkPlayback<unsigned int>(rc, "s32");
        checkPlayback<float>(rc, "float");
    }
}

TEST(OutputConverter, EqualRatesCopyTheFrameToEveryChannel) {
    RecordingChannel source;
    source.amplitude = 12000;
    OutputConverterT<unsigned short> c(&source, 160, 8000, 8000, 2);
    std::vector<int16_t> buffer(400, 0x5555);
    EXPECT_EQ(c.write(buffer.data(), 0, 200), 0u);
    int16_t* frame = c.frameBuffer();
    source.getFrame(c.takeFrameNumber(), frame, 160, false);
    c.rewind();
    EXPECT_EQ(c.write(buffer.data(), 0, 200), 160u);
    for (int i = 0; i < 160; ++i) {
        EXPECT_EQ(buffer[2 * i], frame[i]);
        EXPECT_EQ(buffer[2 * i + 1], frame[i]);
    }
    EXPECT_EQ(buffer[320], 0x5555);
}

} // namespace
