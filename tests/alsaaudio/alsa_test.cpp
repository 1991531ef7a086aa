// The ALSA back end end to end through the real library, on an ALSA configuration of the test's
// own: a playback device that writes to a file over the null device, and a capture device that
// reads a file of its own.
#include "../wasaudio/AudioTestSupport.h"
#include "WASAudio/WASMediaDevice.h"
#include "WASAudio/WASMediaManager.h"

#include <gtest/gtest.h>

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
             << " hint { show on description \"Broken Device\" }\n}\n";
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
    // Captured: the file's 1 kHz tone at a quarter of full scale, in numbered frames.
    ASSERT_GE(channel.numbers.size(), 40u);
    for (size_t i = 0; i < channel.numbers.size(); ++i)
        ASSERT_EQ(channel.numbers[i], i);
    EXPECT_NEAR(audiotest::toneAmplitude(channel.captured, 1000, 8000, 800), 8192, 8192 * 0.03);
    // Played: 600 Hz in 16-bit stereo at 48000 Hz in the playback file.
    const auto played = readStereoLeft(folder + "/out.raw");
    ASSERT_GE(played.size(), 48000u / 2);
    EXPECT_NEAR(audiotest::toneAmplitude(played, 600, 48000, 4800), 12000, 12000 * 0.03);
}

} // namespace
