// The phone's audio path over the real audio device with simulated endpoints: the far end's audio is
// played on the speaker, the microphone hears it back (delayed, attenuated) and the echo canceller
// removes that echo before the frames go to the call.
#include "phone/phone_fakes.h"

#include "WASAudio/WASMediaManager.h"
#include "plat/audio_sim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

using namespace phonetest;
namespace sim = plat::audiosim;

namespace {

LogCapture& logCapture = LogCapture::instance();

// The far end: noise to play, and every frame the phone sends kept.
class NoiseChannel : public FakeChannel {
public:
    void putFrame(uint32_t, int16_t* samples, int count) override {
        std::lock_guard<std::mutex> guard(lock);
        sent.insert(sent.end(), samples, samples + count);
    }
    bool getFrame(uint32_t, int16_t* samples, int count, bool) override {
        std::normal_distribution<double> noise(0.0, 3000.0);
        for (int i = 0; i < count; ++i)
            samples[i] = int16_t(std::max(-32000.0, std::min(32000.0, noise(random))));
        return true;
    }
    std::mutex lock;
    std::vector<int16_t> sent;
    std::mt19937 random{5};
};

class NoiseLine : public FakeLine {
public:
    using FakeLine::FakeLine;
    kbrphone::TransportChannel* transportChannel() override { return &noise; }
    NoiseChannel noise;
};

double levelDb(const std::vector<int16_t>& s, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to && i < s.size(); ++i)
        sum += double(s[i]) * s[i];
    return to > from ? 10 * std::log10(std::max(sum, 1.0) / double(to - from)) : -200;
}

// Echo return loss enhancement after convergence: the echo the microphone hears (the noise played, at
// the echo's gain) against what the phone sends to the call, over the last two seconds of `seconds`.
double erle(const std::string& input, int delayMs, double gain, int seconds, double* sentDb = nullptr) {
    ::setenv("KBR_AUDIO_BACKEND", "sim", 1);
    sim::reset();
    sim::clearFailures();
    sim::setPeriodMs(10);
    sim::configure("Speakers", input + ",echo=Speakers:" + std::to_string(delayMs) + ":" + std::to_string(gain));
    sim::setManualClock(true);
    Journal journal;
    FakeCreator creator(journal, false);
    TestPhone phone(std::make_unique<wasmedia::WASMediaManager>(), creator, journal);
    new FakeProtocol(&phone, journal);
    auto* line = new NoiseLine(&phone, "call", "", journal);
    phone.addLine(line);
    phone.setAutoInputLevel(false);
    line->setState(kbrphone::lineOffered);
    line->setState(kbrphone::lineConnected);
    EXPECT_TRUE(sim::waitStreams(2));
    for (int i = 0; i < seconds * 100; ++i)
        if (!sim::tick(1))
            break;
    std::vector<int16_t> sent;
    {
        std::lock_guard<std::mutex> guard(line->noise.lock);
        sent = line->noise.sent;
    }
    line->setState(kbrphone::lineEnded); // the line goes here
    sim::setManualClock(false);
    drain(phone);
    // The far end's noise is 3000 RMS; the microphone hears it at the echo's gain.
    const double echoDb = 20 * std::log10(3000.0 * gain);
    const size_t end = sent.size();
    const size_t from = end > 16000 ? end - 16000 : 0;
    const double left = levelDb(sent, from, end);
    if (sentDb)
        *sentDb = left;
    return echoDb - left;
}

TEST(EchoPath, CancellerRemovesTheSpeakersEchoFromTheMicrophone) {
    // Without a canceller the echo goes out whole: this checks the measure (about 0 dB).
    const double control = erle("Jabra Microphone", 20, 0.5, 6);
    std::printf("without the canceller: ERLE %.1f dB\n", control);
    EXPECT_LT(std::fabs(control), 3.0);
    for (int delay : {0, 20, 50}) {
        const double value = erle("Microphone", delay, 0.5, 6);
        std::printf("echo delay %d ms: ERLE %.1f dB\n", delay, value);
        EXPECT_GT(value, 15.0) << "delay " << delay;
    }
}

} // namespace

namespace {

class DeviceTrouble : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KBR_AUDIO_BACKEND", "sim", 1);
        sim::reset();
        sim::clearFailures();
        sim::setPeriodMs(10);
        sim::configure("Speakers", "Microphone,source=tone:1000:0.3");
        sim::setManualClock(true);
        FakeCreator creator(journal, false);
        phone = std::make_unique<TestPhone>(std::make_unique<wasmedia::WASMediaManager>(), creator, journal);
        new FakeProtocol(phone.get(), journal);
        line = new NoiseLine(phone.get(), "call", "", journal);
        phone->addLine(line);
        logCapture.take();
    }
    void TearDown() override {
        if (line)
            line->setState(kbrphone::lineEnded);
        sim::setManualClock(false);
        sim::clearFailures();
        drain(*phone);
        phone.reset();
    }
    size_t sentSamples() {
        std::lock_guard<std::mutex> guard(line->noise.lock);
        return line->noise.sent.size();
    }
    // Waits (at most 10 s) for a log line that starts with start.
    bool logsWithin(const std::string& start) {
        for (int i = 0; i < 10000; ++i) {
            for (const std::string& l : logCapture.take())
                if (l.rfind(start, 0) == 0)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    Journal journal;
    std::unique_ptr<TestPhone> phone;
    NoiseLine* line = nullptr;
};

TEST_F(DeviceTrouble, DeviceThatFailsToOpenLeavesTheCallWithoutAudio) {
    sim::failCall("Initialize", plat::AUDCLNT_E_DEVICE_INVALIDATED, 1, "Speakers");
    line->setState(kbrphone::lineOffered);
    line->setState(kbrphone::lineConnected);
    EXPECT_FALSE(phone->isAudioRunning());
    EXPECT_EQ(phone->getActiveLine(), line) << "the call goes on";
    bool logged = false;
    for (const std::string& l : logCapture.take())
        logged |= l.rfind("start audio exception: ", 0) == 0;
    EXPECT_TRUE(logged);
    // The next start tries again and gets sound.
    phone->setDevices("Microphone", nullptr);
    EXPECT_TRUE(phone->isAudioRunning());
    ASSERT_TRUE(sim::waitStreams(2));
    sim::tick(20);
    EXPECT_GT(sentSamples(), 0u);
}

TEST_F(DeviceTrouble, UnknownDeviceNameFallsBackToTheDefault) {
    phone->setDevices("No Such Microphone", "No Such Speaker");
    EXPECT_EQ(phone->getActualInputDevice(), "Microphone");
    EXPECT_EQ(phone->getActualOutputDevice(), "Speakers");
    line->setState(kbrphone::lineOffered);
    line->setState(kbrphone::lineConnected);
    EXPECT_TRUE(phone->isAudioRunning());
}

TEST_F(DeviceTrouble, DeviceThatVanishesMidCallStopsAudioWithoutHarm) {
    line->setState(kbrphone::lineOffered);
    line->setState(kbrphone::lineConnected);
    ASSERT_TRUE(sim::waitStreams(2));
    sim::tick(20);
    const size_t before = sentSamples();
    EXPECT_GT(before, 0u);
    sim::vanish("Microphone");
    sim::tick(20, false);
    // The audio thread's next read of the microphone fails and ends the thread.
    EXPECT_TRUE(logsWithin("caught exception:IAudioCaptureClient::GetBuffer: error 88890004"));
    sim::tick(20, false);
    // No frames after the device went; the call itself goes on and ends normally.
    const size_t after = sentSamples();
    sim::tick(20, false);
    EXPECT_EQ(sentSamples(), after);
    EXPECT_EQ(phone->getActiveLine(), line);
    line->setState(kbrphone::lineEnded);
    line = nullptr;
    EXPECT_FALSE(phone->isAudioRunning());
}

} // namespace
