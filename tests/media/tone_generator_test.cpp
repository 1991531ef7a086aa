// Tones, DTMF keys, the beep and the incoming-line sound, sample by sample.
#include "ToneGenerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

using kbrphone::SoundGenerator;

constexpr int frame = 160;

int16_t wrap(int v) {
    return static_cast<int16_t>(static_cast<uint16_t>(v));
}

// One sample of a tone at position pos within its segment, added to base.
int16_t toneSample(uint64_t pos, double f1, double f2, int amplitude, int16_t base) {
    int v = base + int(std::sin(double(pos) * (f1 * 2.0 * M_PI / 8000.0)) * amplitude);
    if (f2 != 0.0)
        v += int(std::sin(double(pos) * (f2 * 2.0 * M_PI / 8000.0)) * amplitude);
    return wrap(v);
}

// Runs a generator frame by frame over a buffer prefilled with base, at most maxFrames frames.
// Returns the audio of the frames that reported true and their number.
struct Played {
    std::vector<int16_t> audio;
    int framesTrue = 0;
    bool finished = false;
};

Played run(SoundGenerator& g, int maxFrames, int16_t base) {
    Played r;
    for (int i = 0; i < maxFrames; ++i) {
        std::vector<int16_t> buf(frame, base);
        if (!g.generate(buf.data(), frame)) {
            r.finished = true;
            EXPECT_EQ(std::vector<int16_t>(frame, base), buf) << "a finished sound adds nothing";
            break;
        }
        ++r.framesTrue;
        r.audio.insert(r.audio.end(), buf.begin(), buf.end());
    }
    return r;
}

// A repeating pattern of segments: {f1, f2, tone, pause}.
struct Seg {
    double f1, f2;
    uint64_t tone, pause;
};

// Checks audio against passes of the segments: tone samples by formula, pause samples untouched.
void expectSegments(const std::vector<int16_t>& audio, const std::vector<Seg>& segs, int amplitude,
                    int16_t base) {
    size_t n = 0;
    while (n < audio.size()) {
        for (const Seg& s : segs) {
            for (uint64_t p = 0; p < s.tone + s.pause && n < audio.size(); ++p, ++n) {
                const int16_t want = p < s.tone ? toneSample(p, s.f1, s.f2, amplitude, base) : base;
                if (audio[n] != want) {
                    ADD_FAILURE() << "sample " << n << ": " << audio[n] << " != " << want;
                    return;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------

struct Key {
    char key;
    int low, high;
};

class DTMFKeys : public ::testing::TestWithParam<Key> {};

TEST_P(DTMFKeys, TwoTonesFor300msOnce) {
    const Key k = GetParam();
    kbrphone::DTMFGenerator g(8000, k.key);
    Played r = run(g, 100, 0);
    EXPECT_EQ(15, r.framesTrue) << "2400 samples are 15 frames";
    EXPECT_TRUE(r.finished);
    expectSegments(r.audio, {{double(k.low), double(k.high), 2400, 0}}, 8000, 0);
    std::vector<int16_t> buf(frame, 3);
    EXPECT_FALSE(g.generate(buf.data(), frame)) << "a finished generator keeps returning false";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, DTMFKeys, ::testing::Values(
    Key{'1', 697, 1209}, Key{'2', 697, 1336}, Key{'3', 697, 1477}, Key{'A', 697, 1633},
    Key{'4', 770, 1209}, Key{'5', 770, 1336}, Key{'6', 770, 1477}, Key{'B', 770, 1633},
    Key{'7', 852, 1209}, Key{'8', 852, 1336}, Key{'9', 852, 1477}, Key{'C', 852, 1633},
    Key{'*', 941, 1209}, Key{'0', 941, 1336}, Key{'#', 941, 1477}, Key{'D', 941, 1633},
    Key{'X', 740, 1209}, Key{'Y', 740, 1336}, Key{'Z', 740, 1477}),
    [](const ::testing::TestParamInfo<Key>& info) {
        const char c = info.param.key;
        return c == '*' ? std::string("Star") : c == '#' ? std::string("Hash") : std::string("Key") + c;
    });
// clang-format on

TEST(DTMFGenerator, UnknownKeyIsFinishedAtOnce) {
    for (char key : {'Q', 'a', 'x', '\0', ' '}) {
        kbrphone::DTMFGenerator g(4000, key);
        std::vector<int16_t> buf(frame, 11);
        EXPECT_FALSE(g.generate(buf.data(), frame)) << "key " << int(key);
        EXPECT_EQ(std::vector<int16_t>(frame, 11), buf);
    }
}

TEST(DTMFGenerator, ToneEndingInsideTheBufferLeavesTheRest) {
    kbrphone::DTMFGenerator g(4000, '5');
    std::vector<int16_t> buf(2500, 7);
    EXPECT_TRUE(g.generate(buf.data(), 2500));
    for (int n = 0; n < 2400; ++n)
        ASSERT_EQ(toneSample(n, 770, 1336, 4000, 7), buf[n]) << n;
    EXPECT_EQ(std::vector<int16_t>(100, 7), std::vector<int16_t>(buf.begin() + 2400, buf.end()));
    EXPECT_FALSE(g.generate(buf.data(), 2500));
}

// ---------------------------------------------------------------------------------------------
// The tones of the line states.

struct LineTone {
    int state;
    std::vector<Seg> segments; // empty: no tone
    int framesTrue;            // frames until finished; -1: for ever
    int framesToCheck;
};

void PrintTo(const LineTone& t, std::ostream* os) {
    *os << "state " << t.state;
}

class LineTones : public ::testing::TestWithParam<LineTone> {};

TEST_P(LineTones, SegmentsLengthsAndRepeats) {
    const LineTone& t = GetParam();
    std::unique_ptr<SoundGenerator> g(kbrphone::createLineTone(t.state));
    if (t.segments.empty()) {
        EXPECT_EQ(nullptr, g);
        return;
    }
    ASSERT_NE(nullptr, g);
    Played r = run(*g, t.framesToCheck, -5);
    if (t.framesTrue < 0) {
        EXPECT_EQ(t.framesToCheck, r.framesTrue) << "plays for ever";
    } else {
        EXPECT_EQ(t.framesTrue, r.framesTrue);
        EXPECT_TRUE(r.finished);
    }
    expectSegments(r.audio, t.segments, 4000, -5);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(States, LineTones, ::testing::Values(
    LineTone{0, {}, 0, 0},
    // X, Y, Z: 80 ms bursts 40 ms apart, then 4 s of silence, for ever (two and a half cycles).
    LineTone{1, {{740, 1209, 640, 320}, {740, 1336, 640, 320}, {740, 1477, 640, 32000}}, -1, 540},
    // 1 s on, 4 s off, for ever.
    LineTone{2, {{425, 0, 8000, 32000}}, -1, 600},
    // Busy: 0.5 s on, 0.5 s off, four times: 32000 samples.
    LineTone{3, {{425, 0, 4000, 4000}}, 200, 400},
    LineTone{4, {{425, 0, 4000, 4000}}, 200, 400},
    LineTone{5, {}, 0, 0}, LineTone{6, {}, 0, 0},
    // Congestion: 0.25 s on, 0.25 s off, four times: 16000 samples.
    LineTone{7, {{425, 0, 2000, 2000}}, 100, 400},
    LineTone{8, {}, 0, 0}, LineTone{9, {}, 0, 0}, LineTone{10, {}, 0, 0},
    LineTone{11, {{425, 0, 2000, 2000}}, 100, 400}),
    [](const ::testing::TestParamInfo<LineTone>& info) { return "State" + std::to_string(info.param.state); });
// clang-format on

TEST(LineTones, TheGeneratorsOfTheStates) {
    auto is = [](int state, auto* type) {
        std::unique_ptr<SoundGenerator> g(kbrphone::createLineTone(state));
        return dynamic_cast<decltype(type)>(g.get()) != nullptr;
    };
    EXPECT_TRUE(is(1, static_cast<kbrphone::DTMFNumberGenerator*>(nullptr)));
    EXPECT_TRUE(is(2, static_cast<kbrphone::DialingToneGenerator*>(nullptr)));
    EXPECT_TRUE(is(3, static_cast<kbrphone::BusyToneGenerator*>(nullptr)));
    EXPECT_TRUE(is(4, static_cast<kbrphone::BusyToneGenerator*>(nullptr)));
    EXPECT_TRUE(is(7, static_cast<kbrphone::CongestionToneGenerator*>(nullptr)));
    EXPECT_TRUE(is(11, static_cast<kbrphone::CongestionToneGenerator*>(nullptr)));
}

TEST(LineTones, BusyToneMakesExactlyFourBursts) {
    kbrphone::BusyToneGenerator g(4000);
    // Odd buffer sizes, so bursts and pauses end inside buffers.
    std::vector<int16_t> audio;
    bool finished = false;
    for (int i = 0; i < 1000 && !finished; ++i) {
        std::vector<int16_t> buf(333, 0);
        finished = !g.generate(buf.data(), 333);
        audio.insert(audio.end(), buf.begin(), buf.end());
    }
    ASSERT_TRUE(finished);
    int bursts = 0;
    for (size_t n = 0; n < audio.size(); n += 4000)
        if (std::any_of(audio.begin() + n, audio.begin() + std::min(audio.size(), n + 4000),
                        [](int16_t s) { return s != 0; }))
            ++bursts;
    EXPECT_EQ(4, bursts);
    EXPECT_GE(audio.size(), 32000u - 4000u);
    EXPECT_LE(audio.size(), 32000u + 333u + 333u);
}

// ---------------------------------------------------------------------------------------------

TEST(WaveGenerator, TwoSoundsWrapAroundInsteadOfClipping) {
    // 2000 Hz advances a quarter turn per sample: the second sample is sin(pi/2) = 1, so each sound
    // adds exactly its amplitude there.
    kbrphone::WaveGenerator a(8000), b(8000);
    a.addSegment(2000, 0);
    b.addSegment(2000, 0);
    int16_t buf[2] = {20000, 20000};
    EXPECT_TRUE(a.generate(buf, 2));
    EXPECT_TRUE(b.generate(buf, 2));
    EXPECT_EQ(20000, buf[0]);
    EXPECT_EQ(wrap(36000), buf[1]);
    EXPECT_EQ(-29536, buf[1]);
}

TEST(WaveGenerator, EmptyAndDegenerateGenerators) {
    int16_t buf[frame] = {};
    kbrphone::WaveGenerator none(4000);
    EXPECT_FALSE(none.generate(buf, frame)) << "no segments";

    kbrphone::WaveGenerator g(4000);
    g.addSegment(425, 0);
    EXPECT_TRUE(g.generate(buf, 0));
    EXPECT_TRUE(g.generate(buf, -3));

    // Segments without any sample, played for ever, must not hang.
    kbrphone::WaveGenerator empty(4000);
    empty.addSegment(425, 0).toneLength = 0;
    empty.addSegment(600, 0).toneLength = 0;
    empty.setRepeat(-1);
    EXPECT_FALSE(empty.generate(buf, frame));
    EXPECT_EQ(std::vector<int16_t>(frame, 0), std::vector<int16_t>(buf, buf + frame));
}

TEST(WaveGenerator, RepeatCounts) {
    struct Case {
        int repeat;
        int passes;
    };
    for (Case c : {Case{0, 1}, Case{1, 1}, Case{2, 2}, Case{5, 5}}) {
        kbrphone::WaveGenerator g(1000);
        auto& s = g.addSegment(1000, 0);
        s.toneLength = 100;
        s.pauseLength = 60;
        g.setRepeat(c.repeat);
        Played r = run(g, 50, 0);
        EXPECT_EQ(c.passes, r.framesTrue) << "repeat " << c.repeat;
        EXPECT_TRUE(r.finished);
        expectSegments(r.audio, {{1000, 0, 100, 60}}, 1000, 0);
    }
}

TEST(WaveGenerator, BeepIs425HzFor250msOnce) {
    std::unique_ptr<SoundGenerator> beep(kbrphone::createBeep());
    Played r = run(*beep, 50, 1);
    EXPECT_EQ(13, r.framesTrue) << "2000 samples end inside the thirteenth frame";
    EXPECT_TRUE(r.finished);
    for (int n = 0; n < 2000; ++n)
        ASSERT_EQ(toneSample(n, 425, 0, 4000, 1), r.audio[n]) << n;
    EXPECT_EQ(std::vector<int16_t>(80, 1), std::vector<int16_t>(r.audio.begin() + 2000, r.audio.end()));
}

// ---------------------------------------------------------------------------------------------

TEST(SamplePlayer, PlaysTheTableOnceAndMixes) {
    const int16_t table[5] = {1, -2, 3, 32767, -32768};
    kbrphone::SamplePlayer p(table, table + 5);
    int16_t buf[3] = {10, 10, 10};
    EXPECT_TRUE(p.generate(buf, 3));
    EXPECT_EQ((std::vector<int16_t>{11, 8, 13}), std::vector<int16_t>(buf, buf + 3));
    int16_t rest[4] = {1, -1, 5, 5};
    EXPECT_TRUE(p.generate(rest, 4));
    EXPECT_EQ((std::vector<int16_t>{-32768, 32767, 5, 5}), std::vector<int16_t>(rest, rest + 4))
        << "wrap-around, and the part after the table's end is left alone";
    EXPECT_FALSE(p.generate(rest, 4));
}

TEST(IncomingLineSound, About876SamplesOfAudibleChime) {
    kbrphone::IncomingLineSoundPlayer p;
    Played r = run(p, 20, 0);
    EXPECT_EQ(6, r.framesTrue) << "876 samples: five full frames and 76 samples";
    EXPECT_TRUE(r.finished);
    const int16_t* s = kbrphone::IncomingLineSoundPlayer::samples();
    ASSERT_EQ(kbrphone::IncomingLineSoundPlayer::sampleCount, 876);
    EXPECT_TRUE(std::equal(s, s + 876, r.audio.begin()));
    EXPECT_TRUE(std::all_of(r.audio.begin() + 876, r.audio.end(), [](int16_t v) { return v == 0; }));
    const auto [lo, hi] = std::minmax_element(s, s + 876);
    EXPECT_EQ(-19900, *lo);
    EXPECT_EQ(18700, *hi);
}

} // namespace
