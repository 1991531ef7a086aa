// The phone's local audio path: the device run around an active line, the echo canceller and the
// leveler it brings, mute, key tones in band and as feedback, device changes and levels.
#include "phone_fakes.h"

#include "ToneGenerator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

using namespace phonetest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

LogCapture& logCapture = LogCapture::instance();

// A device with real level values; the phone's frames are driven by the test.
class LevelMediaDevice : public FakeMediaDevice {
public:
    LevelMediaDevice(Journal& journal, float& input_, float& output_)
        : FakeMediaDevice(journal), input(input_), output(output_) {}
    void setInputLevel(float x) override { input = x; }
    float getInputLevel() override { return input; }
    void setOutputLevel(float x) override { output = x; }
    float getOutputLevel() override { return output; }

private:
    float& input;
    float& output;
};

class AudioManager : public FakeMediaManager {
public:
    explicit AudioManager(Journal& journal_) : FakeMediaManager(journal_), journal(journal_) {}
    MediaDevice* createDevice(const std::string& input, const std::string& output, MediaChannel* consumer_,
                              int frameSamples, int sampleRate) override {
        journal.add("audio open " + input + "/" + output + " " + std::to_string(frameSamples) + " " +
                    std::to_string(sampleRate));
        if (failOpen)
            throw std::runtime_error("no such device");
        consumer = consumer_;
        return new LevelMediaDevice(journal, deviceInput, deviceOutput);
    }
    std::string getActualInputDevice(const std::string& configured) override {
        return configured.empty() ? defaultInput : configured;
    }
    std::string getActualOutputDevice(const std::string& configured) override {
        return configured.empty() ? "speaker" : configured;
    }
    void setInputLevel(const std::string& device, float x) override {
        journal.add("manager input " + device + " " + std::to_string(x));
    }
    void setOutputLevel(const std::string& device, float x) override {
        journal.add("manager output " + device + " " + std::to_string(x));
    }

    std::string defaultInput = "mic";
    MediaChannel* consumer = nullptr;
    float deviceInput = 0.5f;
    float deviceOutput = 0.5f;

private:
    Journal& journal;
};

// A channel that keeps every frame it is given and can say whether key events are negotiated.
class RecordingChannel : public FakeChannel {
public:
    void putFrame(uint32_t number, int16_t* samples, int count) override {
        FakeChannel::putFrame(number, samples, count);
        sent.assign(samples, samples + count);
    }
    bool getFrame(uint32_t, int16_t* samples, int count, bool) override {
        std::fill(samples, samples + count, int16_t(0));
        return produce;
    }
    bool sendDtmf(char key) override {
        keys += key;
        return outOfBand;
    }
    void restart() override { ++restarts; }

    std::vector<int16_t> sent;
    std::string keys;
    bool outOfBand = false;
    bool produce = true;
    int restarts = 0;
};

class AudioLine : public FakeLine {
public:
    using FakeLine::FakeLine;
    kbrphone::TransportChannel* transportChannel() override { return &recording; }
    RecordingChannel recording;
};

// Energy of a frame (mean square).
double energy(const std::vector<int16_t>& frame) {
    double sum = 0;
    for (int16_t s : frame)
        sum += double(s) * s;
    return frame.empty() ? 0 : sum / frame.size();
}

class PhoneAudio : public ::testing::Test {
protected:
    void SetUp() override {
        auto m = std::make_unique<AudioManager>(journal);
        manager = m.get();
        FakeCreator creator(journal, false);
        phone = std::make_unique<TestPhone>(std::move(m), creator, journal);
        protocol = new FakeProtocol(phone.get(), journal);
        journal.take();
        logCapture.take();
    }
    void TearDown() override {
        drain(*phone);
        delete line;
        phone.reset();
    }

    // A connected incoming call: the line is active and audio runs.
    AudioLine* connect() {
        line = new AudioLine(phone.get(), "call", "", journal);
        phone->addLine(line);
        line->setState(5);
        line->setState(6);
        return line;
    }

    std::vector<int16_t> capture(uint32_t frame, int16_t value) {
        std::vector<int16_t> samples(160, value);
        phone->putFrame(frame, samples.data(), 160);
        return line->recording.sent;
    }

    Journal journal;
    AudioManager* manager = nullptr;
    std::unique_ptr<TestPhone> phone;
    FakeProtocol* protocol = nullptr;
    AudioLine* line = nullptr;
};

TEST_F(PhoneAudio, AnActiveLineOpensOneDeviceForNarrowbandFramesWithCancellerAndLeveler) {
    connect();
    EXPECT_THAT(journal.take(), testing::Contains("audio open mic/speaker 160 8000"));
    EXPECT_EQ(manager->consumer, phone.get());
    EXPECT_TRUE(phone->isAudioRunning());
    EXPECT_TRUE(phone->hasEchoSuppressor());
    EXPECT_TRUE(phone->hasInputLeveler());
    line->setState(8);
    line = nullptr;
    EXPECT_FALSE(phone->isAudioRunning());
    EXPECT_FALSE(phone->hasEchoSuppressor());
    EXPECT_FALSE(phone->hasInputLeveler());
    EXPECT_THAT(journal.take(), testing::IsSupersetOf({"audio stop", "audio deleted"}));
}

TEST_F(PhoneAudio, InputsWithTheirOwnEchoCancellerRunWithoutOurs) {
    struct Case {
        const char* input;
        bool canceller;
    } cases[] = {
        {"mic", true},
        {"Jabra Link 380", false},
        {"GN 9330 USB", true},        // one of the two names is not enough
        {"GN 9350", true},
        {"GN 9330 / GN 9350 base", false},
    };
    for (const Case& c : cases) {
        manager->defaultInput = c.input;
        connect();
        EXPECT_EQ(phone->hasEchoSuppressor(), c.canceller) << c.input;
        line->setState(8);
        line = nullptr;
    }
}

TEST_F(PhoneAudio, WithoutAutomaticLevelThereIsNoLeveler) {
    phone->setAutoInputLevel(false);
    EXPECT_FALSE(phone->getAutoInputLevel());
    connect();
    EXPECT_TRUE(phone->isAudioRunning());
    EXPECT_FALSE(phone->hasInputLeveler());
    // Turning it on while the call runs restarts audio with a leveler.
    journal.take();
    phone->setAutoInputLevel(true);
    EXPECT_TRUE(phone->hasInputLeveler());
    EXPECT_THAT(journal.take(), ElementsAre("audio stop", "audio deleted", "audio open mic/speaker 160 8000",
                                            "audio start"));
    EXPECT_EQ(line->recording.restarts, 1);
}

TEST_F(PhoneAudio, DeviceThatFailsToOpenLeavesTheCallRunningWithoutAudio) {
    manager->failOpen = true;
    connect();
    EXPECT_FALSE(phone->isAudioRunning());
    EXPECT_FALSE(phone->hasInputLeveler());
    EXPECT_THAT(logCapture.take(), testing::Contains("start audio exception: no such device"));
    EXPECT_EQ(phone->getActiveLine(), line);
    // The next start tries again.
    manager->failOpen = false;
    phone->setDevices("headset", nullptr);
    EXPECT_TRUE(phone->isAudioRunning());
}

TEST_F(PhoneAudio, MutedPhoneSendsZerosButKeysInBandStillGoOut) {
    connect();
    phone->setMute(true);
    const auto muted = capture(1, 3000);
    ASSERT_EQ(muted.size(), 160u);
    EXPECT_EQ(energy(muted), 0.0);
    phone->sendDtmf('5');
    EXPECT_EQ(line->recording.keys, "5");
    const auto key = capture(2, 3000);
    EXPECT_GT(energy(key), 1e6) << "the in-band key at amplitude 8000 goes out while muted";
    // The key plays for 300 ms (15 frames) and then ends; the line is silent again.
    for (uint32_t f = 3; f < 20; ++f)
        capture(f, 3000);
    EXPECT_EQ(energy(capture(20, 3000)), 0.0);
}

TEST_F(PhoneAudio, KeysGoOutOfBandWhenNegotiatedAndAreAlwaysHeardLocally) {
    struct Case {
        bool outOfBand;
        bool inBandExpected;
    } cases[] = {{true, false}, {false, true}};
    for (const Case& c : cases) {
        connect();
        phone->setMute(true); // captured frames are zeros: only a key tone makes energy
        line->recording.outOfBand = c.outOfBand;
        phone->sendDtmf('#');
        EXPECT_EQ(line->recording.keys, "#");
        EXPECT_EQ(energy(capture(1, 0)) > 0, c.inBandExpected) << c.outOfBand;
        std::vector<int16_t> played(160, 0);
        EXPECT_TRUE(phone->getFrame(1, played.data(), 160, false));
        EXPECT_GT(energy(played), 1e5) << "key feedback at amplitude 4000";
        EXPECT_LT(energy(played), 4000.0 * 4000.0);
        line->setState(8);
        line = nullptr;
        phone->setMute(false);
        drain(*phone);
    }
}

TEST_F(PhoneAudio, KeysWithoutAUsableChannelDoNothing) {
    phone->sendDtmf('1');
    std::vector<int16_t> played(160, 0);
    EXPECT_FALSE(phone->getFrame(1, played.data(), 160, false));
}

TEST_F(PhoneAudio, PlaybackThatProducesNothingIsNotRecordedOrMixed) {
    connect();
    line->recording.produce = false;
    phone->sendDtmf('1');
    std::vector<int16_t> played(160, 0);
    EXPECT_FALSE(phone->getFrame(1, played.data(), 160, false));
    EXPECT_EQ(energy(played), 0.0);
}

TEST_F(PhoneAudio, DeviceChanges) {
    connect();
    journal.take();
    phone->setDevices(nullptr, nullptr);
    phone->setDevices("mic", "speaker"); // the names the manager resolves, but not the stored ones
    EXPECT_EQ(line->recording.restarts, 1);
    journal.take();
    phone->setDevices("mic", "speaker");
    phone->setDevices(nullptr, "speaker");
    EXPECT_TRUE(journal.take().empty()) << "no change, no restart";
    phone->setDevices("headset", nullptr);
    EXPECT_THAT(journal.take(), testing::Contains("audio open headset/speaker 160 8000"));
    EXPECT_EQ(phone->getInputDeviceName(), "headset");
    EXPECT_EQ(phone->getOutputDeviceName(), "speaker");
    EXPECT_EQ(phone->getActualInputDevice(), "headset");
    EXPECT_EQ(line->recording.restarts, 2);
}

TEST_F(PhoneAudio, DeviceChangeWithoutACallOnlyStoresTheNames) {
    phone->setDevices("headset", "earpiece");
    EXPECT_TRUE(journal.take().empty());
    EXPECT_EQ(phone->getActualOutputDevice(), "earpiece");
}

TEST_F(PhoneAudio, LevelsOutsideTheRangeAreBounded) {
    struct Case {
        double given;
        float stored;
    } cases[] = {{0.25, 0.25f}, {-0.5, 0.0f}, {1.75, 1.0f}, {std::nan(""), 0.0f}, {1e300, 1.0f}, {0.0, 0.0f}};
    connect();
    for (const Case& c : cases) {
        phone->setInputLevel(c.given);
        phone->setOutputLevel(c.given);
        EXPECT_FLOAT_EQ(float(phone->getInputLevel()), c.stored) << c.given;
        EXPECT_FLOAT_EQ(float(phone->getOutputLevel()), c.stored) << c.given;
    }
    line->setState(8);
    line = nullptr;
    journal.take();
    // Without a call the manager gets the level for the configured device.
    phone->setInputLevel(7.0);
    phone->setOutputLevel(-7.0);
    EXPECT_THAT(journal.take(), ElementsAre("manager input  1.000000", "manager output  0.000000"));
}

TEST_F(PhoneAudio, ActiveLineWithoutMediaPlaysItsToneAndReportsItsEnd) {
    line = new AudioLine(phone.get(), "call", "", journal);
    phone->addLine(line);
    line->setState(1); // dialing: active, tone, no media yet
    line->setState(3); // busy: the busy tone plays locally
    std::vector<int16_t> played(160);
    int frames = 0;
    bool toneHeard = false;
    // The busy tone plays 4 s; the frames then are silent and the line is told once.
    for (uint32_t f = 0; f < 300; ++f, ++frames) {
        EXPECT_TRUE(phone->getFrame(f, played.data(), 160, false));
        toneHeard |= energy(played) > 0;
    }
    EXPECT_TRUE(toneHeard);
    drain(*phone);
    EXPECT_THAT(journal.take(), testing::Contains("call toneFinished"));
}

TEST_F(PhoneAudio, FramesKeepFlowingWhileOtherThreadsReplaceWhatTheAudioThreadUses) {
    connect();
    std::atomic<bool> stop{false};
    std::atomic<int> framesDone{0};
    // The audio thread: one capture and one playback frame at a time, bounded.
    std::thread audio([&] {
        std::vector<int16_t> in(160, 500), out(160);
        for (uint32_t f = 0; f < 200000 && !stop.load(); ++f, ++framesDone) {
            phone->putFrame(f, in.data(), 160);
            phone->getFrame(f + 2, out.data(), 160, false);
        }
    });
    // Keys replace the generators, mute flips, the sound is replaced and the echo canceller and
    // leveler are replaced by restarts while frames flow.
    for (int i = 0; i < 3000 && framesDone.load() < 150000; ++i) {
        // Frames and replacements interleave: wait for a few frames between the replacements.
        const int seen = framesDone.load();
        for (int spin = 0; spin < 100000 && framesDone.load() < seen + 3; ++spin)
            std::this_thread::yield();
        phone->sendDtmf("0123456789*#"[i % 12]);
        phone->setLocalSound(kbrphone::createBeep());
        if (i % 20 == 0)
            phone->setAutoInputLevel(i % 40 == 0 ? false : true);
    }
    stop = true;
    audio.join();
    // The sanitizer build also turns a use after free into a failure here.
    EXPECT_GT(framesDone.load(), 0);
    EXPECT_TRUE(phone->isAudioRunning()); // the restarts left a running stream behind
}

// The headset's beep hands its sound over from the device thread (the owning form, as
// AbstractPhoneDevice::playBeep does) while the audio thread plays the one before it.
TEST_F(PhoneAudio, HeadsetBeepsReplaceTheLocalSoundWhileFramesFlow) {
    connect();
    std::atomic<bool> stop{false};
    std::atomic<int> framesDone{0};
    std::thread audio([&] {
        std::vector<int16_t> out(160);
        for (uint32_t f = 0; f < 200000 && !stop.load(); ++f, ++framesDone)
            phone->getFrame(f, out.data(), 160, false);
    });
    int heard = 0;
    for (int i = 0; i < 3000 && framesDone.load() < 150000; ++i) {
        const int seen = framesDone.load();
        for (int spin = 0; spin < 100000 && framesDone.load() < seen + 1; ++spin)
            std::this_thread::yield();
        phone->setLocalSound(std::unique_ptr<kbrphone::SoundGenerator>(kbrphone::createBeep()));
        heard += phone->hasLocalSound() ? 1 : 0;
    }
    stop = true;
    audio.join();
    EXPECT_GT(framesDone.load(), 0);
    EXPECT_GT(heard, 0);
}

} // namespace
