// The input leveler: the capture volume follows loud frames down and quiet speech up, within bounds,
// at a limited rate, and adopts volume changes made by somebody else.
#include "InputLeveler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

// A device whose input level is a plain value; every set is recorded with the frame it came from.
class LevelDevice : public MediaDevice {
public:
    void start() override {}
    void stop() override {}
    void setInputLevel(float x) override {
        input = x;
        sets.push_back({currentFrame, x});
    }
    float getInputLevel() override { return input; }
    void setOutputLevel(float x) override { output = x; }
    float getOutputLevel() override { return output; }

    struct Set {
        uint32_t frame;
        float level;
    };
    float input = 0.5f;
    float output = 0.5f;
    uint32_t currentFrame = 0;
    std::vector<Set> sets;
};

// Feeds one frame of a constant amplitude (energy = amplitude squared).
void feed(InputLeveler& leveler, LevelDevice& device, uint32_t frame, int amplitude) {
    std::vector<int16_t> samples(160, int16_t(amplitude));
    device.currentFrame = frame;
    leveler.process(frame, samples.data(), 160);
}

TEST(InputLeveler, InitialLevel) {
    struct Case {
        std::string name;
        float input, output;
        double level;
        float inputAfter, outputAfter;
        bool off;
    } cases[] = {
        {"Microphone (USB)", 0.05f, 1.0f, 0.15, 0.15f, 1.0f, false},
        {"Microphone (USB)", 0.6f, 1.0f, 0.6f, 0.6f, 1.0f, false},
        {"Headset Brimel USB Audio", 0.9f, 1.0f, 0.08, 0.08f, 0.3f, true},
        {"Headset Brimel USB Audio", 0.9f, 0.5f, 0.08, 0.08f, 0.5f, true},
    };
    for (const Case& c : cases) {
        LevelDevice device;
        device.input = c.input;
        device.output = c.output;
        InputLeveler leveler(&device, c.name);
        EXPECT_NEAR(leveler.getLevel(), c.level, 1e-6) << c.name << " " << c.input;
        EXPECT_FLOAT_EQ(device.input, c.inputAfter) << c.name;
        EXPECT_FLOAT_EQ(device.output, c.outputAfter) << c.name;
        EXPECT_EQ(leveler.isOff(), c.off) << c.name;
    }
}

TEST(InputLeveler, FixedHandsetIsNeverAdjusted) {
    LevelDevice device;
    InputLeveler leveler(&device, "Brimel USB Audio");
    device.sets.clear();
    for (uint32_t f = 1; f <= 100; ++f)
        feed(leveler, device, f, f % 3 == 0 ? 20000 : (f % 3 == 1 ? 0 : 30));
    EXPECT_TRUE(device.sets.empty());
    EXPECT_FLOAT_EQ(device.input, 0.08f);
}

TEST(InputLeveler, LoudFramesLowerTheLevelAtMostEverySixthFrameByAtMostHalf) {
    // Energies just above the threshold, at twice it and far above (the divisor is capped at 2).
    for (int amplitude : {3000, 4000, 32000}) {
        LevelDevice device;
        device.input = 1.0f;
        InputLeveler leveler(&device, "mic");
        for (uint32_t f = 1; f <= 120; ++f)
            feed(leveler, device, f, amplitude);
        ASSERT_FALSE(device.sets.empty()) << amplitude;
        const double energy = double(amplitude) * amplitude;
        float previous = 1.0f;
        uint32_t previousFrame = 0;
        for (const auto& set : device.sets) {
            EXPECT_GE(set.frame - previousFrame, 6u) << amplitude;
            EXPECT_GE(set.level, 0.15f - 1e-6f) << amplitude;
            const double expected = std::max(0.15, previous / std::min(energy * 1.25e-7, 2.0));
            EXPECT_NEAR(set.level, expected, 1e-5) << amplitude << " at frame " << set.frame;
            EXPECT_GE(set.level, previous / 2 - 1e-6f) << amplitude;
            previous = set.level;
            previousFrame = set.frame;
        }
        // Loud speech ends at the floor.
        EXPECT_NEAR(device.input, 0.15f, 1e-6) << amplitude;
    }
}

TEST(InputLeveler, QuietSpeechRaisesTheLevelAtMostEveryEleventhFrameByAtMostHalfAgain) {
    LevelDevice device;
    device.input = 0.2f;
    InputLeveler leveler(&device, "mic");
    // Bursts of quiet speech after silence: each burst starts speech, the silence after it ends it.
    for (uint32_t f = 1; f <= 400; ++f)
        feed(leveler, device, f, f % 3 == 0 ? 50 : 0);
    ASSERT_GE(device.sets.size(), 3u);
    float previous = 0.2f;
    uint32_t previousFrame = 0;
    for (const auto& set : device.sets) {
        EXPECT_GE(set.frame - previousFrame, 11u);
        EXPECT_LE(set.level, std::min(1.0f, previous * 1.5f) + 1e-6f);
        EXPECT_GE(set.level, previous);
        previous = set.level;
        previousFrame = set.frame;
    }
    EXPECT_FLOAT_EQ(device.input, 1.0f) << "never above 1.0";
}

TEST(InputLeveler, LevelChangedByTheUserIsAdoptedNotOverwritten) {
    LevelDevice device;
    device.input = 1.0f;
    InputLeveler leveler(&device, "mic");
    feed(leveler, device, 10, 4000); // lowers to 0.5
    ASSERT_EQ(device.sets.size(), 1u);
    device.input = 0.9f; // the user turns it up again
    device.sets.clear();
    feed(leveler, device, 20, 4000);
    EXPECT_TRUE(device.sets.empty()) << "the user's level is adopted first";
    EXPECT_NEAR(leveler.getLevel(), 0.9, 1e-6);
    feed(leveler, device, 30, 4000);
    ASSERT_EQ(device.sets.size(), 1u);
    EXPECT_NEAR(device.sets[0].level, 0.45f, 1e-6) << "then lowered from the adopted level";

    // The same on the quiet side.
    device.input = 0.7f;
    device.sets.clear();
    feed(leveler, device, 100, 0);
    feed(leveler, device, 101, 0);
    feed(leveler, device, 102, 50);
    EXPECT_TRUE(device.sets.empty());
    EXPECT_NEAR(leveler.getLevel(), 0.7, 1e-6);
}

TEST(InputLeveler, FirstTwoFramesNeverCountAsSpeech) {
    LevelDevice device;
    device.input = 0.4f;
    InputLeveler leveler(&device, "mic");
    feed(leveler, device, 100, 50);
    feed(leveler, device, 101, 50);
    EXPECT_TRUE(device.sets.empty());
    // Once the start energies have passed, the same quiet frame after silence is speech.
    feed(leveler, device, 102, 0);
    feed(leveler, device, 103, 0);
    feed(leveler, device, 104, 50);
    ASSERT_EQ(device.sets.size(), 1u);
    EXPECT_NEAR(device.sets[0].level, 0.6f, 1e-6);
}

TEST(InputLeveler, FrameNumbersThatWrapAroundKeepTheRateLimit) {
    LevelDevice device;
    device.input = 1.0f;
    InputLeveler leveler(&device, "mic");
    const uint32_t start = 0xFFFFFFF0u;
    for (uint32_t i = 0; i < 40; ++i)
        feed(leveler, device, start + i, 4000);
    ASSERT_GE(device.sets.size(), 2u);
    for (size_t i = 1; i < device.sets.size(); ++i)
        EXPECT_GE(uint32_t(device.sets[i].frame - device.sets[i - 1].frame), 6u);
}

} // namespace
