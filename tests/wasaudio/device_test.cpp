#include "AudioTestSupport.h"
#include "WASAudio/WASMediaDevice.h"
#include "WASAudio/WASMediaManager.h"
#include "kmt/log.h"
#include "plat/audio_sim.h"
#include "support/LogLines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <thread>
#include <utility>
#include <vector>

using namespace wasmedia;
using audiotest::RecordingChannel;
namespace sim = plat::audiosim;

namespace {

// Records of the "wasapi" category, raised to level 2 (which also turns the capture dump on).
class WasapiLog : public testsupport::LogLines {
public:
    void write(const char* category, int, const char*, int, std::ostringstream& text) override {
        if (std::string(category) == "wasapi")
            keep(text.str());
    }
    int level(const kmt::DebugCategory& category, int proposed) override {
        return category.getName() == "wasapi" ? 2 : proposed;
    }
};
WasapiLog& wasapiLog() {
    static WasapiLog* log = [] {
        auto* l = new WasapiLog;
        kmt::DebugRoot::instance()->addOutput(l);
        return l;
    }();
    return *log;
}

// The log output is in place before the first test: a category resolves its level once, at its
// first record, so an output added only after a test without it (AudioDevicesRealTime) had logged
// to "wasapi" never raised the category to 2, and the capture dump and the level-2 lines stayed off.
struct LogFirst : ::testing::Environment {
    void SetUp() override { wasapiLog(); }
};
const auto* const logFirst = ::testing::AddGlobalTestEnvironment(new LogFirst);

bool hasLine(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

const char* const kRender = "Speakers,default;Headset Earphone,rate=16000,channels=1,format=s16";
const char* const kCapture = "Microphone,default,source=tone:1000:0.5;Headset "
                             "Microphone,rate=44100,channels=1,format=s16,source=tone:1000:0.5";

class AudioDevices : public ::testing::Test {
protected:
    void SetUp() override {
        wasapiLog().take();
        ::setenv("KBR_AUDIO_BACKEND", "sim", 1);
        ::unsetenv("KBR_WASAPI_DIR");
        sim::reset();
        sim::clearFailures();
        sim::setPeriodMs(10);
        sim::configure(kRender, kCapture);
        sim::setManualClock(true);
    }
    void TearDown() override {
        sim::setManualClock(false);
        sim::clearFailures();
    }
    WASMediaManager manager;
};

TEST_F(AudioDevices, ListsEndpointsInOrder) {
    EXPECT_EQ((std::vector<std::string>{"Speakers", "Headset Earphone"}), manager.getOutputDevices());
    EXPECT_EQ((std::vector<std::string>{"Microphone", "Headset Microphone"}), manager.getInputDevices());
    sim::configure("", "");
    EXPECT_TRUE(manager.getOutputDevices().empty());
}

TEST_F(AudioDevices, UnreadableEndpointIsLeftOutAndFailedEnumerationGivesEmptyList) {
    sim::failCall("GetValue", plat::E_FAIL, 1, "Speakers");
    EXPECT_EQ((std::vector<std::string>{"Headset Earphone"}), manager.getOutputDevices());
    EXPECT_TRUE(hasLine(wasapiLog().take(),
                        "ignore exception: IPropertyStore::GetValue: error 80004005: unknown error"));
    sim::failCall("EnumAudioEndpoints", plat::E_OUTOFMEMORY, 1);
    EXPECT_TRUE(manager.getInputDevices().empty());
    EXPECT_TRUE(hasLine(wasapiLog().take(), "caught exception: EnumAudioEndPoints: error 8007000e"));
}

TEST_F(AudioDevices, LookupByFriendlyNameFallsBackToTheDefault) {
    const struct {
        plat::EDataFlow flow;
        const char* configured;
        const char* actual;
    } cases[] = {
        {plat::eRender, "Headset Earphone", "Headset Earphone"},
        {plat::eRender, "headset earphone", "Speakers"}, // case differs: the default
        {plat::eRender, "", "Speakers"},
        {plat::eRender, "Gone Away", "Speakers"},
        {plat::eCapture, "Headset Microphone", "Headset Microphone"},
        {plat::eCapture, "Headset Microphone ", "Microphone"},
    };
    for (const auto& c : cases) {
        const std::string got = c.flow == plat::eRender ? manager.getActualOutputDevice(c.configured)
                                                        : manager.getActualInputDevice(c.configured);
        EXPECT_EQ(got, c.actual) << c.configured;
    }
}

TEST_F(AudioDevices, WithoutCaptureEndpointsNamesAreEmptyAndLevelsOne) {
    sim::configure("Speakers", "");
    EXPECT_EQ(manager.getActualInputDevice("Microphone"), "");
    EXPECT_TRUE(hasLine(wasapiLog().take(), "GetActualDevice: GetDefaultAudioEndpoint: error 80070490"));
    EXPECT_EQ(manager.getInputLevel("Microphone"), 1.0f);
    manager.setInputLevel("Microphone", 0.3f); // logged, nothing thrown
    EXPECT_TRUE(hasLine(wasapiLog().take(), "got exception: GetDefaultAudioEndpoint"));
}

TEST_F(AudioDevices, OutputLevelSplitsBetweenEndpointAndSession) {
    manager.setInputLevel("Speakers", 0.8f); // a render name on the input side: the default microphone
    EXPECT_FLOAT_EQ(manager.getInputLevel("Microphone"), 0.8f);

    auto endpoint = WASMediaManager::findEndpoint(plat::eRender, "Speakers");
    setEndpointVolume(endpoint.get(), 0.8f);
    const struct {
        float set;
        float endpoint;
        float session;
    } steps[] = {
        {0.5f, 0.8f, 0.625f}, // lower: the session volume only
        {0.9f, 0.9f, 1.0f},   // above the endpoint: the endpoint rises
        {0.9f, 0.9f, 1.0f},
        {0.0f, 0.9f, 0.0f},
    };
    for (const auto& s : steps) {
        manager.setOutputLevel("Speakers", s.set);
        EXPECT_FLOAT_EQ(getEndpointVolume(endpoint.get()), s.endpoint) << s.set;
        EXPECT_FLOAT_EQ(getSessionVolume(endpoint.get()), s.session) << s.set;
        EXPECT_FLOAT_EQ(manager.getOutputLevel("Speakers"), s.set);
    }
}

// An endpoint at 0 and a level of 0 would give the session volume 0 / 0.
TEST_F(AudioDevices, OutputLevelWithEndpointAtZeroIsNoDivisionByZero) {
    auto endpoint = WASMediaManager::findEndpoint(plat::eRender, "Speakers");
    setEndpointVolume(endpoint.get(), 0.0f);
    manager.setOutputLevel("Speakers", 0.0f);
    EXPECT_EQ(getSessionVolume(endpoint.get()), 0.0f);
    EXPECT_EQ(manager.getOutputLevel("Speakers"), 0.0f);
    manager.setOutputLevel("Speakers", 0.4f);
    EXPECT_FLOAT_EQ(manager.getOutputLevel("Speakers"), 0.4f);
}

TEST_F(AudioDevices, LevelsOutsideZeroToOneAreBounded) {
    const struct {
        float set;
        float expected;
    } cases[] = {{1.5f, 1.0f}, {-0.5f, 0.0f}, {0.25f, 0.25f}, {1e30f, 1.0f}};
    for (const auto& c : cases) {
        manager.setInputLevel("Microphone", c.set);
        EXPECT_FLOAT_EQ(manager.getInputLevel("Microphone"), c.expected) << c.set;
        manager.setOutputLevel("Speakers", c.set);
        EXPECT_FLOAT_EQ(manager.getOutputLevel("Speakers"), c.expected) << c.set;
    }
    manager.setInputLevel("Microphone", NAN); // refused, level unchanged
    EXPECT_FLOAT_EQ(manager.getInputLevel("Microphone"), 1.0f);
}

TEST(CheckAudioClientResult, MessagesName) {
    const struct {
        uint32_t code;
        const char* text;
    } cases[] = {{0x88890001, "audio client no initialized"},
                 {0x88890004, "audio device invalidated"},
                 {0x88890006, "buffer too large"},
                 {0x88890007, "out of order"},
                 {0x88890008, "unsupported format"},
                 {0x8889000A, "audio device in use"},
                 {0x8889000B, "buffer operation pending"},
                 {0x88890014, "event handle not set"},
                 {0x88890016, "buffer size error"},
                 {0x80004005, "unknown error"}};
    for (const auto& c : cases) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", c.code);
        try {
            checkAudioClientResult("IAudioCLient::Initialize", static_cast<plat::HRESULT>(c.code));
            ADD_FAILURE() << "no exception for " << hex;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("IAudioCLient::Initialize: error ") + hex + ": " + c.text);
        }
    }
    EXPECT_NO_THROW(checkAudioClientResult("x", plat::AUDCLNT_S_BUFFER_EMPTY));
    EXPECT_NO_THROW(checkAudioClientResult("x", plat::S_FALSE));
}

// Runs the device's thread a number of periods, each served before the next.
void run(RecordingChannel&, int periods) {
    ASSERT_TRUE(sim::tick(periods));
}

TEST_F(AudioDevices, RenderPlaysTheConsumersFramesAndCaptureDeliversFrames) {
    struct Case {
        const char* output;
        const char* input;
        int rate;
    } cases[] = {{"Speakers", "Microphone", 48000}, {"Headset Earphone", "Headset Microphone", 16000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        RecordingChannel channel;
        channel.amplitude = 10000;
        sim::takePlayed(c.output);
        {
            WASMediaDevice device(c.input, c.output, &channel, 160, 8000);
            device.start();
            ASSERT_TRUE(sim::waitStreams(2));
            ASSERT_TRUE(sim::waitStreams(2));
            // The first fill comes before the stream starts: frame 0 is asked for without a tick.
            ASSERT_TRUE(channel.waitFor([](RecordingChannel& ch) { return !ch.requested.empty(); }));
            run(channel, 100); // one second
            device.stop();
        }
        ASSERT_GE(channel.requested.size(), 49u);
        for (size_t i = 0; i < channel.requested.size(); ++i)
            ASSERT_EQ(channel.requested[i], i);
        EXPECT_EQ(channel.prefetches, 0);
        const auto played = sim::takePlayed(c.output);
        ASSERT_GE(played.size(), size_t(c.rate) * 9 / 10);
        EXPECT_NEAR(audiotest::toneAmplitude(played, 1000, c.rate, c.rate / 10), 10000.0 / 32768, 0.01);
        // The buffer was filled before the stream started: the first period already carries the tone.
        EXPECT_GE(sim::renderPaddingAtStart(c.output),
                  c.rate / 50 - 10); // one frame, less the window's start-up
        const std::vector<float> firstPeriod(played.begin() + c.rate / 1000, played.begin() + c.rate / 100);
        EXPECT_GT(audiotest::rms(firstPeriod), 0.15);
        // Capture: 1 kHz at half scale, in numbered frames of 160.
        ASSERT_GE(channel.numbers.size(), 45u);
        for (size_t i = 0; i < channel.numbers.size(); ++i)
            ASSERT_EQ(channel.numbers[i], i);
        EXPECT_TRUE(
            std::all_of(channel.counts.begin(), channel.counts.end(), [](int n) { return n == 160; }));
        EXPECT_NEAR(audiotest::toneAmplitude(channel.captured, 1000, 8000, 800), 0.5 * 32767,
                    0.5 * 32767 * 0.02);
    }
}

TEST_F(AudioDevices, FrameNotProducedPlaysSilenceNotARepeat) {
    RecordingChannel channel;
    channel.amplitude = 10000;
    sim::takePlayed("Speakers");
    WASMediaDevice device("Microphone", "Speakers", &channel, 160, 8000);
    device.start();
    ASSERT_TRUE(sim::waitStreams(2));
    run(channel, 30);
    channel.silent = true;
    run(channel, 30);
    device.stop();
    const auto played = sim::takePlayed("Speakers");
    ASSERT_GE(played.size(), 60u * 480);
    // The last 150 ms are silence; what came before the switch carried the tone.
    const std::vector<float> tail(played.end() - 7200, played.end());
    EXPECT_EQ(audiotest::rms(tail), 0.0);
    const std::vector<float> head(played.begin() + 4800, played.begin() + 9600);
    EXPECT_GT(audiotest::rms(head), 0.1);
}

// A device period longer than an engine frame: each wake-up takes as many frames as the device
// asks for, so frames flow at 50 a second and nothing between them plays as silence.
TEST_F(AudioDevices, DevicePeriodLongerThanAFrameIsFilledWhole) {
    for (int periodMs : {10, 40, 60}) {
        SCOPED_TRACE(periodMs);
        sim::setPeriodMs(periodMs);
        RecordingChannel channel;
        channel.hz = 440;
        channel.amplitude = 10000;
        sim::takePlayed("Speakers");
        {
            WASMediaDevice device("Microphone", "Speakers", &channel, 160, 8000);
            device.start();
            ASSERT_TRUE(sim::waitStreams(2));
            ASSERT_TRUE(sim::tick(2000 / periodMs)); // two seconds
            device.stop();
        }
        const auto played = sim::takePlayed("Speakers");
        ASSERT_GE(played.size(), 48000u * 19 / 10);
        // Silence inside the tone (a 440 Hz tone at 48 kHz has no two zero samples in a row).
        size_t zeros = 0;
        for (size_t i = 4800; i + 1 < played.size(); ++i)
            zeros += played[i] == 0.0f && played[i + 1] == 0.0f ? 1 : 0;
        const double fetchedPerSecond = channel.requested.size() / 2.0;
        std::printf("[ figures  ] %d ms period: %.1f frames/s fetched, %.1f %% of played samples zero\n", periodMs,
                    fetchedPerSecond, 100.0 * zeros / (played.size() - 4800));
        EXPECT_GE(fetchedPerSecond, 49.0);
        EXPECT_LE(fetchedPerSecond, 50.0 + 1000.0 / periodMs); // at most a buffer ahead
        EXPECT_EQ(zeros, 0u);
        EXPECT_NEAR(audiotest::toneAmplitude(played, 440, 48000, 4800), 10000.0 / 32768, 0.01);
        {
            std::lock_guard<std::mutex> guard(channel.lock);
            const double capturedPerSecond = channel.numbers.size() / 2.0;
            EXPECT_GE(capturedPerSecond, 48.0);
        }
    }
    sim::setPeriodMs(10);
}

TEST_F(AudioDevices, UnsupportedMixFormatsFailCreation) {
    const struct {
        const char* render;
        const char* capture;
        const char* message;
    } cases[] = {
        {"Speakers,format=s24", "Microphone", "output wave format not supported"},
        {"Speakers", "Microphone,format=s24", "input wave format not supported"},
        {"Speakers,format=s24", "Microphone,format=s24", "output wave format not supported"}, // render first
    };
    for (const auto& c : cases) {
        sim::configure(c.render, c.capture);
        RecordingChannel channel;
        try {
            manager.createDevice("", "", &channel, 160, 8000);
            ADD_FAILURE() << "created";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST_F(AudioDevices, InjectedSetupFailuresThrowTheResultText) {
    const struct {
        const char* call;
        const char* endpoint;
        uint32_t result;
        const char* message;
    } cases[] = {
        {"Initialize", "Speakers", 0x8889000A,
         "IAudioCLient::Initialize: error 8889000a: audio device in use"},
        {"Activate", "Microphone", 0x88890004,
         "IAudioClient::Activate capture: error 88890004: audio device invalidated"},
        {"GetMixFormat", "Speakers", 0x80004005, "IAudioClient::GetMixFormat: error 80004005: unknown error"},
        {"GetService", "Microphone", 0x88890001,
         "GetService capture client: error 88890001: audio client no initialized"},
    };
    for (const auto& c : cases) {
        sim::clearFailures();
        sim::failCall(c.call, static_cast<plat::HRESULT>(c.result), -1, c.endpoint);
        RecordingChannel channel;
        try {
            std::unique_ptr<MediaDevice> d(manager.createDevice("", "", &channel, 160, 8000));
            ADD_FAILURE() << "created despite " << c.call;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    sim::clearFailures();
    RecordingChannel channel;
    std::unique_ptr<MediaDevice> d(manager.createDevice("", "", &channel, 160, 8000));
    EXPECT_NE(d, nullptr);
}

TEST_F(AudioDevices, EndpointVanishingMidCallStopsAudioWithoutCrash) {
    for (const char* gone : {"Speakers", "Microphone"}) {
        SCOPED_TRACE(gone);
        wasapiLog().take();
        RecordingChannel channel;
        WASMediaDevice device("Microphone", "Speakers", &channel, 160, 8000);
        device.start();
        ASSERT_TRUE(sim::waitStreams(2));
        ASSERT_TRUE(sim::waitStreams(2));
        run(channel, 20);
        sim::vanish(gone);
        sim::tick(3, false);
        std::vector<std::string> lines;
        for (int i = 0; i < 500 && !hasLine(lines, "caught exception:"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            auto more = wasapiLog().take();
            lines.insert(lines.end(), more.begin(), more.end());
        }
        EXPECT_TRUE(hasLine(lines, "caught exception:")) << "the audio thread did not see the device go";
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("error 88890004: audio device invalidated") != std::string::npos;
        }));
        const size_t fetched = channel.requested.size();
        sim::tick(10, false);
        EXPECT_EQ(channel.requested.size(), fetched);
        device.stop();
        device.stop();
        // The default now is what is left: a new device opens on it.
        EXPECT_NE(manager.getActualOutputDevice("Speakers"),
                  std::string(gone) == "Speakers" ? "Speakers" : "");
        sim::configure(kRender, kCapture);
    }
}

// Holds the audio thread in the first render fill after the streams started that asks for a new
// frame (the priming fill filled the whole buffer before they started); the periods run. After each
// period the thread either asks for a frame, and is held there, or serves the whole period: fills
// without one and drains the capture buffer until it is empty. The next period runs only once it
// did one or the other, however long the machine keeps it waiting: a period run while a drain is
// still under way (its packet counted, the buffer not yet found empty) puts its packet into that
// drain, before the hold.
void holdFirstFetchAfterStart(RecordingChannel& channel, int& periods) {
    size_t primed;
    {
        std::lock_guard<std::mutex> guard(channel.lock);
        primed = channel.requested.size();
        channel.blockAtCall = primed + 1;
    }
    const auto asked = [&] {
        std::lock_guard<std::mutex> guard(channel.lock);
        return channel.requested.size() > primed;
    };
    for (periods = 1; periods <= 8; ++periods) {
        sim::tick(1, false);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!asked() && !sim::waitIdle(1)) {
            if (std::chrono::steady_clock::now() >= until) {
                FAIL() << "the audio thread served no period in 10 s";
            }
        }
        if (asked())
            return;
    }
    FAIL() << "no frame asked for in 8 periods";
}

TEST_F(AudioDevices, SeveralPacketsInOneDrainAreAllProcessed) {
    RecordingChannel channel;
    WASMediaDevice device("Microphone", "Speakers", &channel, 160, 8000);
    device.start();
    ASSERT_TRUE(sim::waitStreams(2));
    int held = 0;
    ASSERT_NO_FATAL_FAILURE(holdFirstFetchAfterStart(channel, held));
    sim::tick(2, false); // three capture packets wait now
    wasapiLog().take();
    channel.release();
    ASSERT_TRUE(channel.waitFor([&](RecordingChannel&) { return device.getCapturedPackets() >= 3; }));
    device.stop();
    const auto lines = wasapiLog().take();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "processed buffer more than once"), 2);
    // 480 device frames at 48000 Hz a period, for the periods before the hold and the three
    // drained at once: whole frames of 960, numbered without a hole.
    const size_t frames = static_cast<size_t>(held + 2) * 480 / 960;
    ASSERT_EQ(channel.numbers.size(), frames);
    for (size_t i = 0; i < frames; ++i)
        EXPECT_EQ(channel.numbers[i], i);
}

// Packets lost to a capture buffer overflow leave a gap in the device positions: it is filled with
// silence, so the frames that follow keep their place in time.
TEST_F(AudioDevices, CaptureGapAfterOverflowIsFilledWithSilence) {
    sim::configure("Speakers", "Microphone,rate=8000,channels=1,format=s16,source=tone:1000:0.5");
    RecordingChannel channel;
    WASMediaDevice device("", "", &channel, 160, 8000);
    device.start();
    ASSERT_TRUE(sim::waitStreams(2));
    int held = 0;
    ASSERT_NO_FATAL_FAILURE(holdFirstFetchAfterStart(channel, held));
    const int early = held - 1; // periods drained before the hold
    sim::tick(12, false);       // thirteen packets: ten fit, three are lost
    wasapiLog().take();
    channel.release();
    ASSERT_TRUE(channel.waitFor([&](RecordingChannel&) { return device.getCapturedPackets() >= 10; }));
    ASSERT_TRUE(sim::tick(3));
    device.stop();
    const auto lines = wasapiLog().take();
    EXPECT_TRUE(hasLine(lines, "got AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY"));
    EXPECT_TRUE(hasLine(lines, "capture gap of 240 frames filled with silence"));
    // 16 periods of 80 frames (and those before the hold): frames of 160, numbered without a hole.
    ASSERT_EQ(channel.numbers.size(), static_cast<size_t>((16 + early) * 80 / 160));
    for (size_t i = 0; i < channel.numbers.size(); ++i)
        EXPECT_EQ(channel.numbers[i], i);
    // The lost periods (the 11th to 13th after the hold's) are silence; the tone goes on around them.
    const auto at = [&](int period) { return channel.captured.begin() + (early + period) * 80; };
    const std::vector<int16_t> before(channel.captured.begin(), at(10));
    const std::vector<int16_t> lost(at(10), at(13));
    const std::vector<int16_t> after(at(13), channel.captured.end());
    EXPECT_GT(audiotest::rms(before), 11000);
    EXPECT_EQ(audiotest::rms(lost), 0.0);
    EXPECT_GT(audiotest::rms(after), 11000);
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int32_t le32(const unsigned char* p) {
    return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
}

TEST_F(AudioDevices, CaptureDumpRecordsEveryPacketAndNumbersFilesModuloTen) {
    char dirTemplate[] = "/tmp/kbr-wasapi-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    ::setenv("KBR_WASAPI_DIR", dir.c_str(), 1);
    sim::configure("Speakers", "Microphone,rate=16000,channels=2,format=s16,source=tone:500:0.25");
    WASMediaDevice::captureDumpCounter = 7;
    RecordingChannel channel;
    std::vector<std::string> names;
    for (int n = 0; n < 4; ++n) {
        WASMediaDevice device("", "", &channel, 160, 8000);
        ASSERT_TRUE(device.dumpOpen());
        if (n == 0) {
            device.start();
            ASSERT_TRUE(sim::waitStreams(2));
            ASSERT_TRUE(sim::waitStreams(2));
            run(channel, 5);
            device.stop();
            device.stop(); // closes once
        }
    }
    EXPECT_EQ(WASMediaDevice::captureDumpCounter.load(), 1);
    for (const char* name : {"/call7.log", "/call8.log", "/call9.log", "/call0.log"})
        EXPECT_FALSE(readFile(dir + name).empty()) << name;

    const auto bytes = readFile(dir + "/call7.log");
    ASSERT_GE(bytes.size(), 48u);
    EXPECT_EQ(le32(&bytes[0]), 8980);
    EXPECT_EQ(le32(&bytes[4]), 3);
    plat::WAVEFORMATEXTENSIBLE format;
    std::memcpy(&format, &bytes[8], 40);
    EXPECT_EQ(format.Format.nSamplesPerSec, 16000u);
    EXPECT_EQ(format.Format.nChannels, 2);
    EXPECT_EQ(format.Format.wFormatTag, plat::WAVE_FORMAT_EXTENSIBLE);
    // Records: time, result, flags, frames, position, then frames x 4 bytes of data.
    size_t at = 48;
    int packets = 0, empties = 0;
    int64_t expected = 0;
    while (at + 24 <= bytes.size()) {
        const int32_t result = le32(&bytes[at + 4]);
        const int32_t frames = le32(&bytes[at + 12]);
        int64_t position;
        std::memcpy(&position, &bytes[at + 16], 8);
        at += 24;
        if (result == plat::AUDCLNT_S_BUFFER_EMPTY) {
            EXPECT_EQ(frames, 0);
            ++empties;
            continue;
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(frames, 160);
        EXPECT_EQ(position, expected);
        expected += frames;
        at += static_cast<size_t>(frames) * 4;
        ++packets;
    }
    EXPECT_EQ(at, bytes.size());
    EXPECT_GE(packets, 4);
    EXPECT_GE(empties, 1);
    ::unsetenv("KBR_WASAPI_DIR");
    std::system(("rm -rf " + dir).c_str());
}

TEST_F(AudioDevices, DumpFolderThatCannotBeWrittenLeavesTheDumpOff) {
    ::setenv("KBR_WASAPI_DIR", "/nonexistent/folder", 1);
    RecordingChannel channel;
    WASMediaDevice device("", "", &channel, 160, 8000);
    EXPECT_FALSE(device.dumpOpen());
    ::unsetenv("KBR_WASAPI_DIR");
}

TEST_F(AudioDevices, DeviceLevelsFollowTheEndpoints) {
    RecordingChannel channel;
    WASMediaDevice device("Headset Microphone", "Headset Earphone", &channel, 160, 8000);
    device.setInputLevel(0.7f);
    EXPECT_FLOAT_EQ(manager.getInputLevel("Headset Microphone"), 0.7f);
    EXPECT_FLOAT_EQ(manager.getInputLevel("Microphone"), 1.0f);
    device.setOutputLevel(0.5f);
    EXPECT_FLOAT_EQ(device.getOutputLevel(), 0.5f);
    EXPECT_FLOAT_EQ(manager.getOutputLevel("Headset Earphone"), 0.5f);
    device.setOutputLevel(2.0f);
    EXPECT_FLOAT_EQ(device.getOutputLevel(), 1.0f);
    sim::failCall("GetMasterVolumeLevelScalar", plat::E_FAIL);
    EXPECT_EQ(device.getInputLevel(), 1.0f);
    EXPECT_TRUE(hasLine(wasapiLog().take(), "getLevel failed: GetMasterVolumeLevelScalar: error 80004005"));
}

} // namespace

namespace {

// The simulation configured by the environment for as long as it lives; then the variables are gone
// again, the simulation reads them afresh and the folder of its recordings is removed.
class SimEnvironment {
public:
    SimEnvironment(const std::string& recordings, std::vector<std::pair<const char*, std::string>> vars)
        : dir(recordings), set(std::move(vars)) {
        for (const auto& v : set)
            ::setenv(v.first, v.second.c_str(), 1);
        sim::reset();
    }
    ~SimEnvironment() {
        for (const auto& v : set)
            ::unsetenv(v.first);
        sim::reset();
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    SimEnvironment(const SimEnvironment&) = delete;
    SimEnvironment& operator=(const SimEnvironment&) = delete;

private:
    const std::string dir;
    const std::vector<std::pair<const char*, std::string>> set;
};

// The names of the files in the folder.
std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The clock of the main job and the Java tests: real time, configured by the environment.
TEST(AudioDevicesRealTime, EnvironmentConfiguredEndpointsRunOnTheirOwnClock) {
    char dirTemplate[] = "/tmp/kbr-sim-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    const SimEnvironment environment(
        dir, {{"KBR_AUDIO_SIM_RENDER", "Phone Speaker,rate=44100,channels=2,format=s32"},
              {"KBR_AUDIO_SIM_CAPTURE", "Phone Mic,rate=16000,channels=1,format=float,source=tone:440:0.25"},
              {"KBR_AUDIO_SIM_RECORD_DIR", dir},
              {"KBR_AUDIO_SIM_PERIOD_MS", "5"},
              {"KBR_AUDIO_SIM_BUFFER_PERIODS", "8"}});
    WASMediaManager manager;
    EXPECT_EQ(manager.getOutputDevices(), std::vector<std::string>{"Phone Speaker"});
    RecordingChannel channel;
    channel.hz = 600;
    {
        std::unique_ptr<MediaDevice> device(manager.createDevice("", "", &channel, 160, 8000));
        device->start();
        EXPECT_TRUE(channel.waitFor(
            [](RecordingChannel& c) { return c.numbers.size() >= 25 && c.requested.size() >= 25; }));
        device->stop();
    }
    // Real time on a loaded machine: a late audio thread may leave silence in the sound now and
    // then; the levels are those of the sound around it.
    size_t capturedBlocks = 0, playedBlocks = 0;
    EXPECT_NEAR(audiotest::soundLevel(channel.captured, 440, 8000, 200, 800, &capturedBlocks), 0.25 * 32767,
                0.25 * 32767 * 0.02);
    EXPECT_GE(capturedBlocks, 10u);
    // The one render stream's recording, numbered among the process's streams (from 1): not the
    // first when another recording stream ran before it.
    const std::vector<std::string> recordings = filesIn(dir);
    ASSERT_EQ(recordings.size(), 1u);
    EXPECT_TRUE(std::regex_match(recordings[0], std::regex("Phone Speaker-[1-9][0-9]*\\.wav")))
        << recordings[0];
    plat::audiosim::WavData wav;
    std::string error;
    ASSERT_TRUE(sim::readWav(dir + "/" + recordings[0], wav, &error)) << error;
    EXPECT_EQ(wav.rate, 44100u);
    EXPECT_EQ(wav.channels, 1);
    ASSERT_GE(wav.mono.size(), 44100u / 4);
    const double played = audiotest::soundLevel(wav.mono, 600, 44100, 441, 4410, &playedBlocks);
    EXPECT_GE(playedBlocks, 10u);
    EXPECT_GT(played, 0.8 * 8000.0 / 32768);
    EXPECT_LT(played, 8000.0 / 32768 + 0.01);
}

} // namespace
