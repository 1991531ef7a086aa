// What the far end hears of the phone's microphone over the real audio device with simulated endpoints
// and no acoustic echo: a called party that sends our own audio back (the echo canceller then sees our
// voice in what it plays) must not make the phone send louder or clipped audio, and while the far end
// talks the near end's speech goes out whole with no trace of the far end's voice.
#include "phone/phone_fakes.h"

#include "WASAudio/AudioConverter.h"
#include "WASAudio/WASMediaManager.h"
#include "plat/audio_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <unistd.h>

using namespace phonetest;
namespace sim = plat::audiosim;

namespace {

constexpr int kFrame = 160;
constexpr int kRate = 8000;

// The far end of the call: what it sends comes from a script (its own speech, or what the phone sent
// it some frames earlier); everything the phone sends is kept.
class ScriptedChannel : public FakeChannel {
public:
    void putFrame(uint32_t, int16_t* samples, int count) override {
        std::lock_guard<std::mutex> guard(lock);
        sent.insert(sent.end(), samples, samples + count);
    }
    bool getFrame(uint32_t, int16_t* samples, int count, bool) override {
        std::lock_guard<std::mutex> guard(lock);
        for (int i = 0; i < count; ++i) {
            int16_t v = 0;
            if (echoDelayFrames > 0) {
                const size_t lag = size_t(echoDelayFrames) * kFrame;
                const size_t at = played + size_t(i);
                v = at >= lag && at - lag < sent.size() ? sent[at - lag] : 0;
            } else if (played + size_t(i) < speech.size()) {
                v = speech[played + size_t(i)];
            }
            samples[i] = v;
        }
        played += size_t(count);
        return true;
    }
    std::mutex lock;
    std::vector<int16_t> sent;
    std::vector<int16_t> speech; // the far end's own audio at 8000 Hz
    int echoDelayFrames = 0;     // > 0: the far end returns what it received that many frames ago
    size_t played = 0;
};

class ScriptedLine : public FakeLine {
public:
    using FakeLine::FakeLine;
    kbrphone::TransportChannel* transportChannel() override { return &far; }
    ScriptedChannel far;
};

// One call of `seconds` on the manual clock with the microphone given (KBR_AUDIO_SIM_CAPTURE syntax);
// returns what the phone sent to the far end.
std::vector<int16_t> runCall(const std::string& microphone, const std::vector<int16_t>& farSpeech,
                             int echoDelayFrames, double seconds, bool autoLevel = true) {
    ::setenv("KBR_AUDIO_BACKEND", "sim", 1);
    sim::reset();
    sim::clearFailures();
    sim::setPeriodMs(10);
    sim::configure("Speakers", microphone);
    sim::setManualClock(true);
    Journal journal;
    FakeCreator creator(journal, false);
    TestPhone phone(std::make_unique<wasmedia::WASMediaManager>(), creator, journal);
    new FakeProtocol(&phone, journal);
    auto* line = new ScriptedLine(&phone, "call", "", journal);
    line->far.speech = farSpeech;
    line->far.echoDelayFrames = echoDelayFrames;
    phone.addLine(line);
    phone.setAutoInputLevel(autoLevel);
    line->setState(kbrphone::lineOffered);
    line->setState(kbrphone::lineConnected);
    EXPECT_TRUE(sim::waitStreams(2));
    for (int i = 0; i < int(seconds * 100); ++i)
        if (!sim::tick(1))
            break;
    std::vector<int16_t> sent;
    {
        std::lock_guard<std::mutex> guard(line->far.lock);
        sent = line->far.sent;
    }
    line->setState(kbrphone::lineEnded);
    sim::setManualClock(false);
    drain(phone);
    return sent;
}

double energyOf(const int16_t* s, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += double(s[i]) * s[i];
    return sum;
}

double dbfs(double energy, size_t n) {
    return n ? 10 * std::log10(std::max(energy / double(n), 1e-3) / (32768.0 * 32768.0)) : -200;
}

// ---- a called party that sends our own audio back

struct EchoBack {
    int delayFrames;
};

class FarEndEchoesOurAudio : public ::testing::TestWithParam<EchoBack> {};

// The microphone's tone is at -13.5 dBFS; the far end returns it after the table's delay, so the echo
// canceller's reference is our own earlier output. No frame may go out louder than the microphone
// (with the leveler off the level stays the microphone's), and no sample may reach full scale.
TEST_P(FarEndEchoesOurAudio, SentAudioStaysAtTheMicrophonesLevelAndNeverClips) {
    const std::vector<int16_t> sent =
        runCall("Microphone,source=tone:1000:0.3", {}, GetParam().delayFrames, 4.0, false);
    ASSERT_GE(sent.size(), size_t(3 * kRate));
    const double microphoneDb = 20 * std::log10(0.3 / std::sqrt(2.0));
    int clipped = 0;
    double loudest = -200;
    for (int16_t v : sent)
        clipped += v >= 32000 || v <= -32000;
    for (size_t f = kFrame; f + kFrame <= sent.size(); f += kFrame)
        loudest = std::max(loudest, dbfs(energyOf(&sent[f], kFrame), kFrame));
    std::printf("echo back after %d frames: loudest frame %.1f dBFS (microphone %.1f), %d samples clipped\n",
                GetParam().delayFrames, loudest, microphoneDb, clipped);
    EXPECT_EQ(clipped, 0);
    EXPECT_LT(loudest, microphoneDb + 1.0);
}

INSTANTIATE_TEST_SUITE_P(Delays, FarEndEchoesOurAudio,
                         ::testing::Values(EchoBack{1}, EchoBack{2}, EchoBack{3}, EchoBack{4}, EchoBack{6},
                                           EchoBack{9}),
                         [](const ::testing::TestParamInfo<EchoBack>& i) {
                             return "Frames" + std::to_string(i.param.delayFrames);
                         });

// ---- double talk with speech

// Speech of an espeak-ng voice at 8000 Hz.
std::vector<int16_t> speak(const std::string& voice, const std::string& text, const std::string& wav) {
    const std::string command = "espeak-ng -v " + voice + " -s 150 -w '" + wav + "' '" + text + "' 2>&1";
    if (std::system(command.c_str()) != 0)
        return {};
    sim::WavData data;
    std::string error;
    if (!sim::readWav(wav, data, &error))
        return {};
    std::vector<int16_t> out;
    wasmedia::LowPassFilter lowPass(3600, data.rate);
    wasmedia::Resampler resampler(int(data.rate), kRate);
    for (float v : data.mono) {
        while (resampler.full())
            out.push_back(int16_t(resampler.next()));
        resampler.push(int32_t(std::lround(lowPass.filter(v * 32767.0))));
    }
    return out;
}

class DoubleTalk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char dir[] = "/tmp/kbr-doubletalk-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        folder = dir;
        nearWav = folder + "/near.wav";
        // Two voices, each talking most of the call, so that they overlap for seconds.
        near = speak("en-us", "The quick brown fox jumps over the lazy dog. Please call me back before five "
                              "o clock, the number is two three four five six seven.", nearWav);
        far = speak("en-gb+f3", "Good morning, this is the front desk speaking. Your order has been sent "
                                "today and should arrive on Thursday afternoon.", folder + "/far.wav");
        // The microphone plays the near voice from its WAV at the device's rate.
        sim::WavData check;
        ASSERT_TRUE(sim::readWav(nearWav, check, nullptr)) << "espeak-ng did not write " << nearWav;
    }
    static void TearDownTestSuite() {
        if (!folder.empty())
            std::system(("rm -rf '" + folder + "'").c_str());
    }
    static std::string folder, nearWav;
    static std::vector<int16_t> near, far;
};
std::string DoubleTalk::folder, DoubleTalk::nearWav;
std::vector<int16_t> DoubleTalk::near, DoubleTalk::far;

// Levels over the frames where `alone` (the near end alone) is active: its own level, the level of
// `with` over the same frames, and the level of what is in `with` and not in `alone`: per 10 ms, the
// part of `with` left after taking away `alone` at the gain that fits best (the input leveler may
// have set the microphone's volume a moment earlier or later in one call than in the other; a voice
// that is not the near end's stays whole in this remainder).
struct Comparison {
    double aloneDb, withDb, otherDb;
};
Comparison compare(const std::vector<int16_t>& alone, const std::vector<int16_t>& with, size_t from) {
    constexpr size_t kBlock = kRate / 100;
    const size_t n = std::min(alone.size(), with.size());
    double a = 0, w = 0, other = 0;
    size_t count = 0;
    for (size_t f = from; f + kBlock <= n; f += kBlock) {
        const double aloneEnergy = energyOf(&alone[f], kBlock);
        if (dbfs(aloneEnergy, kBlock) < -45)
            continue; // a pause of the near voice
        double cross = 0;
        for (size_t i = f; i < f + kBlock; ++i)
            cross += double(with[i]) * alone[i];
        const double gain = cross / aloneEnergy;
        for (size_t i = f; i < f + kBlock; ++i) {
            const double rest = double(with[i]) - gain * alone[i];
            other += rest * rest;
        }
        a += aloneEnergy;
        w += energyOf(&with[f], kBlock);
        count += kBlock;
    }
    return {dbfs(a, count), dbfs(w, count), dbfs(other, count)};
}

// Both ends talk at once with no echo path: the phone must send the near voice as it sends it alone
// (same level within 3 dB, anything the far voice adds or takes away 30 dB below it), with the input
// leveler on and off; and the far voice alone must not come out of a silent microphone.
TEST_F(DoubleTalk, NearSpeechGoesOutWholeWhileTheFarEndTalks) {
    ASSERT_GT(near.size(), size_t(4 * kRate));
    ASSERT_GT(far.size(), size_t(4 * kRate));
    const double seconds = double(std::min(near.size(), far.size())) / kRate;
    std::printf("near voice %.1f s, far voice %.1f s\n", double(near.size()) / kRate, double(far.size()) / kRate);
    for (bool autoLevel : {true, false}) {
        const std::string microphone = "Microphone,source=wav:" + nearWav;
        const std::vector<int16_t> alone = runCall(microphone, {}, 0, seconds, autoLevel);
        const std::vector<int16_t> both = runCall(microphone, far, 0, seconds, autoLevel);
        const std::vector<int16_t> farOnly = runCall("Microphone", far, 0, seconds, autoLevel);
        // The first half second is left out: the device's start.
        const Comparison c = compare(alone, both, size_t(kRate / 2));
        double farEnergy = 0;
        for (int16_t v : far)
            farEnergy += double(v) * v;
        const double farDb = dbfs(farEnergy, far.size());
        const double leakDb = dbfs(energyOf(farOnly.data(), farOnly.size()), farOnly.size());
        std::printf("input leveler %s: near alone %.1f dBFS, with the far end talking %.1f dBFS, far voice in it "
                    "%.1f dBFS; far voice %.1f dBFS, sent from a silent microphone %.1f dBFS\n",
                    autoLevel ? "on" : "off", c.aloneDb, c.withDb, c.otherDb, farDb, leakDb);
        EXPECT_GT(c.aloneDb, -40.0) << "the near voice goes out";
        EXPECT_NEAR(c.withDb, c.aloneDb, 3.0) << "leveler " << autoLevel;
        EXPECT_LT(c.otherDb, c.aloneDb - 30.0) << "leveler " << autoLevel;
        EXPECT_LT(leakDb, farDb - 30.0) << "leveler " << autoLevel;
    }
}

} // namespace
