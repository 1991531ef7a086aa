// The ALSA back end end to end through the real library, on an ALSA configuration of the test's
// own: a playback device that writes to a file over the null device, a capture device that reads a
// file of its own, and two test sound cards (testdev_plugin.cpp) with a clock of their own that can
// drift, be unplugged or be held by another program.
#include "../wasaudio/AudioTestSupport.h"
#include "WASAudio/WASMediaDevice.h"
#include "WASAudio/WASMediaManager.h"
#include "kmt/log.h"
#include "plat/audio_sim.h"
#include "support/LogLines.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>

using namespace wasmedia;
using audiotest::RecordingChannel;
namespace sim = plat::audiosim;

namespace {

std::string folder;

// The configuration must be in place before the process's first use of the audio facility.
struct AlsaConfiguration {
    AlsaConfiguration() {
        char dirTemplate[] = "/tmp/kbr-alsa-XXXXXX";
        if (!::mkdtemp(dirTemplate))
            std::abort();
        folder = dirTemplate;
        // Input: 1 kHz at a quarter of full scale, 16-bit stereo at 48000 Hz, two seconds.
        {
            std::ofstream in(folder + "/in.raw", std::ios::binary);
            for (int i = 0; i < 96000; ++i) {
                const int16_t s =
                    static_cast<int16_t>(std::lround(8192 * std::sin(2 * M_PI * 1000 * i / 48000.0)));
                in.write(reinterpret_cast<const char*>(&s), 2);
                in.write(reinterpret_cast<const char*>(&s), 2);
            }
        }
        std::ofstream conf(folder + "/asound.conf");
        conf << "pcm.null { type null }\n"
             << "pcm.testspeaker {\n type file\n slave.pcm \"null\"\n file \"" << folder
             << "/out.raw\"\n format \"raw\"\n"
             << " hint { show on description \"Test Speaker\nfile playback\" }\n}\n"
             << "pcm.testmic {\n type file\n slave.pcm \"null\"\n file \"/dev/null\"\n infile \"" << folder
             << "/in.raw\"\n format \"raw\"\n hint { show on description \"Test Microphone\" }\n}\n"
             << "pcm.testbroken {\n type file\n slave.pcm \"nosuchdevice\"\n file \"/dev/null\"\n"
             << " hint { show on description \"Broken Device\" }\n}\n"
             << "pcm_type.kbrtest { lib \"" KBR_ALSA_TESTCARD "\" }\n"
             << "pcm.carda {\n type kbrtest\n hint { show on description \"Card A\" }\n}\n"
             << "pcm.cardb {\n type kbrtest\n hint { show on description \"Card B\" }\n}\n";
        conf.close();
        ::setenv("ALSA_CONFIG_PATH", (folder + "/asound.conf").c_str(), 1);
        ::setenv("KBR_AUDIO_BACKEND", "alsa", 1);
    }
    ~AlsaConfiguration() { std::system(("rm -rf " + folder).c_str()); }
} configuration;

std::vector<int16_t> readStereoLeft(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> left(bytes.size() / 4);
    for (size_t i = 0; i < left.size(); ++i)
        std::memcpy(&left[i], &bytes[i * 4], 2);
    return left;
}

TEST(AlsaBackend, EachPcmDeviceIsAnEndpointNamedByItsDescription) {
    ASSERT_STREQ(plat::audioBackendName(), "alsa");
    WASMediaManager manager;
    const auto outputs = manager.getOutputDevices();
    const auto inputs = manager.getInputDevices();
    EXPECT_NE(std::find(outputs.begin(), outputs.end(), "Test Speaker file playback"), outputs.end());
    EXPECT_NE(std::find(inputs.begin(), inputs.end(), "Test Microphone"), inputs.end());
    // An unknown name falls back to the default (no device named "default" here: the first).
    EXPECT_EQ(manager.getActualInputDevice("No Such Device"), inputs.front());
    EXPECT_EQ(manager.getActualOutputDevice("Test Speaker file playback"), "Test Speaker file playback");
    EXPECT_EQ(manager.getActualInputDevice("Test Microphone"), "Test Microphone");
    // Levels are kept for the endpoint when it has no mixer.
    manager.setInputLevel("Test Microphone", 0.6f);
    EXPECT_FLOAT_EQ(manager.getInputLevel("Test Microphone"), 0.6f);
    manager.setInputLevel("Test Microphone", 1.0f);
}

// A device that ALSA lists but cannot open fails creation with a readable error and nothing else.
TEST(AlsaBackend, DeviceThatCannotOpenFailsCreationCleanly) {
    WASMediaManager manager;
    RecordingChannel channel;
    try {
        std::unique_ptr<MediaDevice> device(
            manager.createDevice("Test Microphone", "Broken Device", &channel, 160, 8000));
        ADD_FAILURE() << "opened";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "IAudioClient::GetMixFormat: error 88890004: audio device invalidated");
    }
    EXPECT_TRUE(channel.requested.empty());
}

TEST(AlsaBackend, CallAudioGoesThroughTheRealLibrary) {
    WASMediaManager manager;
    RecordingChannel channel;
    channel.hz = 600;
    channel.amplitude = 12000;
    {
        std::unique_ptr<MediaDevice> device(
            manager.createDevice("Test Microphone", "Test Speaker file playback", &channel, 160, 8000));
        device->start();
        EXPECT_TRUE(channel.waitFor(
            [](RecordingChannel& c) { return c.numbers.size() >= 40 && c.requested.size() >= 40; }, 10000));
        device->stop();
    }
    // Captured: the file's 1 kHz tone at a quarter of full scale, in numbered frames. Both levels
    // are those of the sound around any silence that an audio thread late on a loaded machine left
    // (20 ms frames captured, 10 ms periods played).
    ASSERT_GE(channel.numbers.size(), 40u);
    for (size_t i = 0; i < channel.numbers.size(); ++i)
        ASSERT_EQ(channel.numbers[i], i);
    size_t capturedBlocks = 0, playedBlocks = 0;
    EXPECT_NEAR(audiotest::soundLevel(channel.captured, 1000, 8000, 160, 800, &capturedBlocks), 8192, 8192 * 0.03);
    EXPECT_GE(capturedBlocks, 10u);
    // Played: 600 Hz in 16-bit stereo at 48000 Hz in the playback file.
    const auto played = readStereoLeft(folder + "/out.raw");
    ASSERT_GE(played.size(), 48000u / 2);
    EXPECT_NEAR(audiotest::soundLevel(played, 600, 48000, 480, 4800, &playedBlocks), 12000, 12000 * 0.03);
    EXPECT_GE(playedBlocks, 10u);
}

// The test sound cards, driven through the functions of the plugin that ALSA loaded.
class TestCards {
public:
    TestCards() {
        handle = ::dlopen(KBR_ALSA_TESTCARD, RTLD_NOW);
        if (!handle)
            std::abort();
        set = reinterpret_cast<SetFn>(::dlsym(handle, "kbr_testdev_set"));
        get = reinterpret_cast<GetFn>(::dlsym(handle, "kbr_testdev_get"));
        playedFn = reinterpret_cast<PlayedFn>(::dlsym(handle, "kbr_testdev_played"));
        reset = reinterpret_cast<ResetFn>(::dlsym(handle, "kbr_testdev_reset"));
    }
    std::vector<int16_t> played(const char* card) {
        std::vector<int16_t> out(48000 * 60);
        out.resize(playedFn(card, out.data(), out.size()));
        return out;
    }
    using SetFn = void (*)(const char*, const char*, double);
    using GetFn = long (*)(const char*, const char*);
    using PlayedFn = size_t (*)(const char*, int16_t*, size_t);
    using ResetFn = void (*)(const char*);
    SetFn set;
    GetFn get;
    ResetFn reset;

private:
    void* handle;
    PlayedFn playedFn;
};
TestCards& cards() {
    static TestCards* c = new TestCards;
    return *c;
}

// Lines of the "wasapi" category at level 2.
class WasapiLog : public testsupport::LogLines {
public:
    void write(const char* category, int level, const char*, int, std::ostringstream& text) override {
        if (std::string(category) == "wasapi")
            keep(std::to_string(level) + " " + text.str());
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

// The log output is in place before the first test, so that the level it asks for holds from
// the start.
struct LogFirst : ::testing::Environment {
    void SetUp() override { wasapiLog(); }
};
const auto* const logFirst = ::testing::AddGlobalTestEnvironment(new LogFirst);

size_t countContaining(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(part) != std::string::npos;
    }));
}

// Gaps inside the sound: runs of 24 or more zero samples (0.5 ms) after the first sound.
size_t gapsInTheSound(const std::vector<int16_t>& played) {
    size_t first = 0;
    while (first < played.size() && played[first] == 0)
        ++first;
    size_t gaps = 0, run = 0;
    for (size_t i = first; i < played.size(); ++i) {
        run = played[i] == 0 ? run + 1 : 0;
        gaps += run == 24 ? 1 : 0;
    }
    return gaps;
}

// Card A's clock and the streams' clock, both moved by the test instead of by real time, so that
// what a loaded machine does to threads does not decide the outcome: the test says how late a
// wake-up is.
class ManualClocks {
public:
    static constexpr double kPeriodMs = 10;
    ManualClocks() {
        cards().set("carda", "manual_clock", 1);
        sim::setManualClock(true);
    }
    ~ManualClocks() { sim::setManualClock(false); }
    // The card's clock moves on to ms after the start (never back), then the streams run every
    // period due by then, back to back as a stream's clock that wakes late does. With wait the audio
    // thread serves the last of them before this returns: false when it did not within 2 s.
    bool wakeAt(double ms, bool wait = true) {
        if (ms > cardMs) {
            cards().set("carda", "advance_ms", ms - cardMs);
            cardMs = ms;
        }
        const long due = static_cast<long>(cardMs / kPeriodMs);
        if (due <= stepped)
            return true;
        const int periods = static_cast<int>(due - stepped);
        stepped = due;
        sim::tick(periods - 1, false);
        return sim::tick(1, wait);
    }
    // The next period on time.
    bool next(bool wait = true) { return wakeAt(static_cast<double>(stepped + 1) * kPeriodMs, wait); }

private:
    double cardMs = 0;
    long stepped = 0;
};

class AlsaCards : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* c : {"carda", "cardb"})
            cards().reset(c);
        wasapiLog().take();
    }
    size_t requested() {
        std::lock_guard<std::mutex> guard(channel.lock);
        return channel.requested.size();
    }
    size_t captured() {
        std::lock_guard<std::mutex> guard(channel.lock);
        return channel.numbers.size();
    }
    WASMediaManager manager;
    RecordingChannel channel;
};

// A card that goes away mid-call is reported as the simulation reports it: the audio thread sees
// the device invalidated, logs it at level 1 and ends, so frames stop instead of flowing into a
// device that plays nothing. The card goes once frames flow both ways (however long a loaded
// machine takes to get them going).
TEST_F(AlsaCards, CardUnpluggedMidCallEndsTheAudioThreadAsInvalidated) {
    const struct {
        const char* what;
        const char* input;
        const char* output;
        const char* card;
    } cases[] = {
        {"playback", "Test Microphone", "Card A", "carda"},
        {"capture", "Card B", "Test Speaker file playback", "cardb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cards().reset(c.card);
        wasapiLog().take();
        RecordingChannel fresh;
        std::unique_ptr<MediaDevice> device(manager.createDevice(c.input, c.output, &fresh, 160, 8000));
        device->start();
        EXPECT_TRUE(fresh.waitFor([](RecordingChannel& r) { return r.numbers.size() > 10 && r.requested.size() > 10; },
                                  10000));
        cards().set(c.card, "fail_after_ms", 0);
        std::vector<std::string> lines;
        for (int i = 0; i < 1000 && countContaining(lines, "caught exception:") == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            auto more = wasapiLog().take();
            lines.insert(lines.end(), more.begin(), more.end());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        size_t fetched, delivered;
        {
            std::lock_guard<std::mutex> guard(fresh.lock);
            fetched = fresh.requested.size();
            delivered = fresh.numbers.size();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        size_t fetchedLater, deliveredLater;
        {
            std::lock_guard<std::mutex> guard(fresh.lock);
            fetchedLater = fresh.requested.size();
            deliveredLater = fresh.numbers.size();
        }
        device->stop();
        auto more = wasapiLog().take();
        lines.insert(lines.end(), more.begin(), more.end());
        const long played = cards().get(c.card, std::string(c.what) == "playback" ? "played_frames" : "captured_frames");
        std::printf("[ figures  ] %s: %.2f s of the card's clock used; frames after the failure: %zu fetched, "
                    "%zu delivered in 0.4 s; %zu level-1 lines\n",
                    c.what, played / 48000.0, fetchedLater - fetched, deliveredLater - delivered,
                    countContaining(lines, "1 caught exception:"));
        EXPECT_EQ(countContaining(lines, "1 caught exception:"), 1u);
        EXPECT_EQ(countContaining(lines, "error 88890004: audio device invalidated"), 1u);
        EXPECT_EQ(fetchedLater, fetched) << "frames still fetched for a card that is gone";
        EXPECT_EQ(deliveredLater, delivered) << "frames still delivered from a card that is gone";
        EXPECT_GT(delivered, 10u);
    }
}

// On a card without a mixer element the endpoint and session volumes scale the samples, as the
// simulation does.
TEST(AlsaBackend, LevelsScaleTheSoundOnADeviceWithoutMixer) {
    WASMediaManager manager;
    RecordingChannel channel;
    channel.hz = 600;
    channel.amplitude = 12000;
    {
        std::unique_ptr<MediaDevice> device(
            manager.createDevice("Test Microphone", "Test Speaker file playback", &channel, 160, 8000));
        device->setOutputLevel(0.3f);
        device->setInputLevel(0.2f);
        EXPECT_NEAR(device->getOutputLevel(), 0.3f, 1e-6);
        EXPECT_NEAR(device->getInputLevel(), 0.2f, 1e-6);
        ::truncate((folder + "/out.raw").c_str(), 0);
        device->start();
        EXPECT_TRUE(channel.waitFor(
            [](RecordingChannel& c) { return c.numbers.size() >= 40 && c.requested.size() >= 40; }, 10000));
        device->stop();
        device->setOutputLevel(1.0f);
        device->setInputLevel(1.0f);
    }
    const auto played = readStereoLeft(folder + "/out.raw");
    ASSERT_GE(played.size(), 48000u / 2);
    // The levels of the sound around any silence that a late audio thread left.
    size_t playedBlocks = 0, capturedBlocks = 0;
    const double playedLevel = audiotest::soundLevel(played, 600, 48000, 480, 4800, &playedBlocks);
    const double capturedLevel = audiotest::soundLevel(channel.captured, 1000, 8000, 160, 800, &capturedBlocks);
    EXPECT_GE(playedBlocks, 10u);
    EXPECT_GE(capturedBlocks, 10u);
    std::printf("[ figures  ] after setOutputLevel(0.3), setInputLevel(0.2): played %.0f of 12000, captured "
                "%.0f of 8192\n",
                playedLevel, capturedLevel);
    EXPECT_NEAR(playedLevel, 0.3 * 12000, 0.3 * 12000 * 0.03);
    EXPECT_NEAR(capturedLevel, 0.2 * 8192, 0.2 * 8192 * 0.03);
}

// Playback on a card with its own clock, exact or 100 ppm off: a margin of queued periods rides
// out late wake-ups and drift. A card that leaps past everything queued underruns: that is mended
// with silence once, noted at level 2, and the sound goes on. The card's clock and the stream's
// move by the test's hand, wake-ups late by almost two periods among them, so that the outcome is
// the back end's and not the machine's.
TEST_F(AlsaCards, PlaybackKeepsAMarginOnTheCardsClock) {
    const char* env = std::getenv("KBR_ALSA_CLOCK_SECONDS");
    const int seconds = env && std::atoi(env) > 0 ? std::atoi(env) : 4;
    const struct {
        double ppm;
        long leapMs; // the card's clock leaps this far ahead once, a second in
        long underruns;
    } cases[] = {{0, 0, 0}, {100, 0, 0}, {-100, 0, 0}, {0, 100, 1}};
    for (const auto& c : cases) {
        const double ppm = c.ppm;
        SCOPED_TRACE(testing::Message() << ppm << " ppm, leap " << c.leapMs << " ms");
        cards().reset("carda");
        cards().set("carda", "ppm", ppm);
        if (c.leapMs) {
            cards().set("carda", "jump_at_ms", 1000);
            cards().set("carda", "jump_ms", static_cast<double>(c.leapMs));
        }
        wasapiLog().take();
        long underruns = 0;
        int unserved = 0;
        RecordingChannel fresh;
        fresh.hz = 500;
        fresh.amplitude = 8000;
        {
            ManualClocks clocks;
            std::unique_ptr<MediaDevice> device(manager.createDevice("Card A", "Card A", &fresh, 160, 8000));
            device->start();
            ASSERT_TRUE(sim::waitStreams(2));
            for (int n = 1; n <= seconds * 100; ++n) {
                // Every 25th wake-up comes 19 ms late; the stream then runs both periods due at once.
                const double late = n % 25 == 0 ? 19 : 0;
                unserved += clocks.wakeAt(n * ManualClocks::kPeriodMs + late) ? 0 : 1;
            }
            // Read while the stream runs: its end leaves the card to run dry.
            underruns = cards().get("carda", "underruns");
            device->stop();
        }
        const auto lines = wasapiLog().take();
        const auto played = cards().played("carda");
        const size_t gaps = gapsInTheSound(played);
        const size_t notes = countContaining(lines, "2 playback underrun");
        std::printf("[ figures  ] %+.0f ppm, leap %ld ms, %d s: %ld underruns, %.3f s played, %zu gaps in the sound; %zu "
                    "underrun notes\n",
                    ppm, c.leapMs, seconds, underruns, played.size() / 48000.0, gaps, notes);
        EXPECT_EQ(unserved, 0) << "periods the audio thread did not serve within 2 s";
        EXPECT_EQ(underruns, c.underruns);
        // No gap without an underrun, and a mended one is one piece of silence.
        EXPECT_LE(gaps, static_cast<size_t>(underruns));
        EXPECT_EQ(notes, static_cast<size_t>(underruns));
        EXPECT_EQ(countContaining(lines, "caught exception:"), 0u);
        EXPECT_GE(played.size(), static_cast<size_t>(48000) * seconds * 9 / 10);
        EXPECT_NEAR(audiotest::toneAmplitude(played, 500, 48000, 4800), 8000, 8000 * 0.05);
    }
}

// The audio thread that fills the stream's buffer may not get its turn for a while on a loaded
// machine. Woken for a period and held up while that one and the next two play, it leaves no gap:
// the stream plays what it buffered, and the card never runs dry.
TEST_F(AlsaCards, AudioThreadHeldUpForThreePeriodsLeavesNoGap) {
    RecordingChannel fresh;
    fresh.hz = 500;
    fresh.amplitude = 8000;
    int unserved = 0;
    size_t held = 0;
    bool heldUp = false;
    {
        ManualClocks clocks;
        std::unique_ptr<MediaDevice> device(manager.createDevice("Card A", "Card A", &fresh, 160, 8000));
        device->start();
        ASSERT_TRUE(sim::waitStreams(2));
        for (int n = 0; n < 50; ++n)
            unserved += clocks.next() ? 0 : 1;
        // A frame (two periods) is fetched every other period: find a period that fetched one; the
        // thread is held in the fetch of the next frame, two periods on.
        for (int n = 0; n < 2; ++n) {
            size_t before;
            {
                std::lock_guard<std::mutex> guard(fresh.lock);
                before = fresh.requested.size();
            }
            unserved += clocks.next() ? 0 : 1;
            std::lock_guard<std::mutex> guard(fresh.lock);
            held = fresh.requested.size() + 1;
            if (fresh.requested.size() > before)
                break;
        }
        {
            std::lock_guard<std::mutex> guard(fresh.lock);
            fresh.blockAtCall = held;
        }
        unserved += clocks.next() ? 0 : 1;
        clocks.next(false);
        heldUp = fresh.waitFor([&](RecordingChannel& c) { return c.requested.size() >= held; }, 5000);
        clocks.next(false);
        clocks.next(false);
        fresh.release();
        // What the held fill brings is there for the next period, whenever the thread gets on with it.
        for (int n = 0; n < 50; ++n)
            unserved += clocks.next() ? 0 : 1;
        device->stop();
    }
    const auto played = cards().played("carda");
    const size_t gaps = gapsInTheSound(played);
    const long underruns = cards().get("carda", "underruns");
    std::printf("[ figures  ] audio thread held up for three periods: %zu gaps in the sound, %ld underruns, "
                "%.3f s played\n",
                gaps, underruns, played.size() / 48000.0);
    EXPECT_TRUE(heldUp);
    EXPECT_EQ(unserved, 0) << "periods the audio thread did not serve within 2 s";
    EXPECT_EQ(gaps, 0u);
    EXPECT_EQ(underruns, 0);
    EXPECT_NEAR(audiotest::toneAmplitude(played, 500, 48000, 4800), 8000, 8000 * 0.05);
}

// A card that another program holds is "in use" at once: the stream opens without waiting.
TEST_F(AlsaCards, CardHeldByAnotherProgramIsInUseAtOnce) {
    {
        // Once opened, the card's format is known; the next open then goes straight to the stream.
        std::unique_ptr<MediaDevice> device(manager.createDevice("Card B", "Card A", &channel, 160, 8000));
    }
    cards().set("carda", "busy", 1);
    cards().set("carda", "busy_open_wait_ms", 2000);
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    try {
        std::unique_ptr<MediaDevice> device(manager.createDevice("Card B", "Card A", &channel, 160, 8000));
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ figures  ] busy card: %s after %.2f s, %ld blocking opens\n", error.c_str(), waited,
                cards().get("carda", "blocking_opens"));
    EXPECT_EQ(error, "IAudioCLient::Initialize: error 8889000a: audio device in use");
    EXPECT_EQ(cards().get("carda", "blocking_opens"), 0);
    cards().set("carda", "busy", 0);
}

} // namespace
