// Jitter buffer: put/get sequences (loss, burst loss, late packets, overflow) and the samples of
// concealment, merge and pass-through.
#include "JitterBuffer.h"
#include "support/LogLines.h"
#include "PacketLossConcealer.h"
#include "kmt/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Collects the records of the "jitter" category and asks for its per-frame detail (level 3).
class JitterLogCapture : public testsupport::LogLines {
public:
    JitterLogCapture() { kmt::DebugRoot::instance()->addOutput(this); }

    void write(const char* category, int, const char*, int, std::ostringstream& text) override {
        if (std::string(category) == "jitter")
            keep(text.str());
    }
    int level(const kmt::DebugCategory& category, int proposed) override {
        return category.getName() == "jitter" && proposed < 3 ? 3 : proposed;
    }
};

// Installed before main, so the category's level is resolved with it in place.
JitterLogCapture jitterLog;

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

constexpr int frame = 160;
constexpr int period = 64;

// A voiced-like signal with a period of 64 samples (125 Hz): three harmonics.
int16_t periodic(long n, double amplitude = 1.0) {
    const double w = 2.0 * M_PI * double(n % period) / period;
    return int16_t(std::lround(amplitude * (6000.0 * std::sin(w) + 3000.0 * std::sin(3.0 * w + 0.5) +
                                            1500.0 * std::sin(5.0 * w + 1.3))));
}

// Feeds consecutive samples of a signal into a buffer and remembers what went in.
struct Feeder {
    long next = 0;
    double amplitude = 1.0;

    std::vector<int16_t> packet(int count) {
        std::vector<int16_t> p(count);
        for (int i = 0; i < count; ++i)
            p[i] = periodic(next++, amplitude);
        return p;
    }
};

std::vector<int16_t> getFrame(JitterBuffer& jb, bool prefetch = false, bool* result = nullptr) {
    std::vector<int16_t> out(frame, int16_t(12345));
    bool r = jb.get(out.data(), frame, prefetch);
    if (result)
        *result = r;
    return out;
}

// The attenuated concealment of one frame: each sample times a gain that starts at start and falls by
// 0.2 / 80 per sample, truncated.
std::vector<int16_t> attenuated(const std::vector<int16_t>& in, float start) {
    std::vector<int16_t> out(in.size());
    float g = start;
    for (size_t i = 0; i < in.size(); ++i) {
        out[i] = int16_t(int(in[i] * g));
        g -= 0.2f / 80;
    }
    return out;
}

std::vector<int16_t> signalRange(long from, int count, double amplitude = 1.0) {
    std::vector<int16_t> v(count);
    for (int i = 0; i < count; ++i)
        v[i] = periodic(from + i, amplitude);
    return v;
}

std::vector<int16_t> slice(const std::vector<int16_t>& v, int from, int count) {
    return std::vector<int16_t>(v.begin() + from, v.begin() + from + count);
}

// ---------------------------------------------------------------------------------------------
// State sequences as tables.

struct Step {
    char op;     // 'P' put count samples, 'G' get count samples, 'F' prefetch get
    int count;   // samples
    bool result; // expected result of a get
    int state;   // expected afterwards
    int fill;
    int minDelay;
    int concealedGets;
    const char* log; // a line the step must log, or null
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const Sequence& s, std::ostream* os) {
    *os << s.name;
}

class JitterSequence : public ::testing::TestWithParam<Sequence> {};

TEST_P(JitterSequence, StatesFillAndDelay) {
    JitterBuffer jb;
    Feeder feed;
    jitterLog.take();
    int index = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++) + " " + step.op + std::to_string(step.count));
        if (step.op == 'P') {
            auto p = feed.packet(step.count);
            jb.put(p.data(), step.count);
        } else {
            std::vector<int16_t> out(step.count, int16_t(777));
            EXPECT_EQ(step.result, jb.get(out.data(), step.count, step.op == 'F'));
            if (!step.result) {
                EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t s) { return s == 777; }))
                    << "a refused prefetch must leave the destination untouched";
            }
        }
        auto lines = jitterLog.take();
        EXPECT_EQ(step.state, jb.getState());
        EXPECT_EQ(step.fill, jb.getFill());
        EXPECT_EQ(step.minDelay, jb.getMinDelay());
        EXPECT_EQ(step.concealedGets, jb.getConcealedGets());
        if (step.log) {
            EXPECT_TRUE(contains(lines, step.log)) << "missing log line \"" << step.log << "\"";
        }
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Tables, JitterSequence,
    ::testing::Values(
        Sequence{"FirstPutPlaysAtOnce", {
            {'P', 10, true, 2, 10, 160, 0, "reset play state to normal"},
            // Too few samples: two frames are concealed behind the 10 buffered ones.
            {'G', 160, true, 1, 10, 320, 1, "increased minDelay to 320"},
        }},
        Sequence{"OverflowDropsTheOldest", {
            {'P', 160, true, 2, 160, 160, 0, nullptr},
            {'P', 160, true, 2, 320, 160, 0, nullptr},
            {'P', 160, true, 2, 480, 160, 0, nullptr},
            {'P', 80, true, 2, 560, 160, 0, nullptr},
            {'P', 160, true, 2, 560, 160, 0, "drop packet"},
            {'P', 80, true, 2, 640, 160, 0, nullptr},
            {'P', 1, true, 2, 640, 160, 0, "drop packet"},
            {'G', 160, true, 2, 480, 160, 0, nullptr},
        }},
        Sequence{"LossThenLatePacketsBufferToMinDelay", {
            {'P', 160, true, 2, 160, 160, 0, nullptr},
            {'G', 160, true, 2, 0, 160, 0, nullptr},
            {'G', 160, true, 1, 0, 320, 1, "generate packet"},
            {'F', 160, false, 1, 0, 320, 1, nullptr},
            // The late packet arrives: merged, then buffering until minDelay is reached.
            {'P', 160, true, 3, 160, 320, 1, "set play state to buffering"},
            {'F', 160, false, 3, 160, 320, 1, nullptr},
            // In buffering a get with enough samples plays them but counts as concealed.
            {'G', 160, true, 3, 0, 320, 2, nullptr},
            {'P', 160, true, 3, 160, 320, 2, nullptr},
            {'P', 160, true, 2, 320, 320, 2, "reset play state to normal"},
            {'F', 160, true, 2, 160, 320, 2, nullptr},
            {'G', 160, true, 2, 0, 320, 2, nullptr},
        }},
        Sequence{"BurstLossFallsToSilence", {
            {'P', 160, true, 2, 160, 160, 0, nullptr},
            {'G', 160, true, 2, 0, 160, 0, nullptr},
            {'G', 160, true, 1, 0, 320, 1, nullptr},
            {'G', 160, true, 1, 0, 320, 2, nullptr},
            {'G', 160, true, 1, 0, 320, 3, nullptr},
            {'G', 160, true, 1, 0, 320, 4, nullptr},
            {'G', 160, true, 0, 0, 160, 0, "set play state to silence in get"},
            {'G', 160, true, 0, 0, 160, 0, "return empty packet"},
            {'F', 160, false, 0, 0, 160, 0, nullptr},
            // After silence the first packet plays at once.
            {'P', 160, true, 2, 160, 160, 0, "reset play state to normal"},
            {'G', 160, true, 2, 0, 160, 0, nullptr},
        }},
        Sequence{"ShortGetInBufferingConceals", {
            {'P', 160, true, 2, 160, 160, 0, nullptr},
            {'G', 160, true, 2, 0, 160, 0, nullptr},
            {'G', 160, true, 1, 0, 320, 1, nullptr},
            {'P', 160, true, 3, 160, 320, 1, nullptr},
            {'G', 160, true, 3, 0, 320, 2, nullptr},
            {'G', 160, true, 3, 0, 320, 3, "generate packet"},
            {'P', 160, true, 3, 160, 320, 3, nullptr},
            {'P', 160, true, 2, 320, 320, 3, nullptr},
        }},
        Sequence{"ShortPutInConcealingStillBuffers", {
            {'P', 160, true, 2, 160, 160, 0, nullptr},
            {'G', 160, true, 2, 0, 160, 0, nullptr},
            {'G', 160, true, 1, 0, 320, 1, nullptr},
            {'P', 40, true, 3, 40, 320, 1, "set play state to buffering"},
            {'P', 280, true, 2, 320, 320, 1, nullptr},
        }},
        Sequence{"MinDelayGrowsTo480AndStops", {
            {'P', 160, true, 2, 160, 160, 0, nullptr},
            {'G', 160, true, 2, 0, 160, 0, nullptr},
            {'G', 160, true, 1, 0, 320, 1, "increased minDelay to 320"},
            {'P', 160, true, 3, 160, 320, 1, nullptr},
            {'P', 160, true, 2, 320, 320, 1, nullptr},
            {'G', 160, true, 2, 160, 320, 1, nullptr},
            {'G', 160, true, 2, 0, 320, 1, nullptr},
            {'G', 160, true, 1, 0, 480, 2, "increased minDelay to 480"},
            {'P', 160, true, 3, 160, 480, 2, nullptr},
            {'P', 160, true, 3, 320, 480, 2, nullptr},
            {'P', 160, true, 2, 480, 480, 2, nullptr},
            {'G', 160, true, 2, 320, 480, 2, nullptr},
            {'G', 160, true, 2, 160, 480, 2, nullptr},
            {'G', 160, true, 2, 0, 480, 2, nullptr},
            {'G', 160, true, 1, 0, 480, 3, nullptr},
        }},
        Sequence{"PrefetchInNormalPlay", {
            {'F', 160, false, 0, 0, 160, 0, nullptr},
            {'P', 80, true, 2, 80, 160, 0, nullptr},
            {'F', 160, false, 2, 80, 160, 0, nullptr},
            {'P', 80, true, 2, 160, 160, 0, nullptr},
            {'F', 160, true, 2, 0, 160, 0, nullptr},
        }}),
    [](const ::testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });
// clang-format on

TEST(JitterBufferLog, ResetLogsSilenceAndRaisingAtTheCapLogsNothing) {
    JitterBuffer jb;
    EXPECT_TRUE(contains(jitterLog.take(), "reset jitter buffer (state is silence)"));
    Feeder feed;
    // Three isolated losses: minDelay 320, 480, then no further increase and no line for it.
    for (int loss = 0; loss < 3; ++loss) {
        for (int i = 0; i < 3; ++i) {
            auto p = feed.packet(frame);
            jb.put(p.data(), frame);
        }
        while (jb.getFill() >= frame)
            getFrame(jb);
        jitterLog.take();
        getFrame(jb); // the loss
        auto lines = jitterLog.take();
        const bool raised = std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.rfind("increased minDelay to ", 0) == 0;
        });
        EXPECT_EQ(loss < 2, raised) << "loss " << loss;
        while (jb.getState() != JitterBuffer::stateNormal) {
            auto p = feed.packet(frame);
            jb.put(p.data(), frame);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Samples.

TEST(JitterBufferSamples, PassThroughIsExactAcrossTheRingWrap) {
    JitterBuffer jb;
    Feeder feed;
    std::vector<int16_t> in, out;
    // Packets of varying size, kept at least one frame ahead: 40000 samples wrap the ring twice.
    const int sizes[] = {160, 80, 240, 160, 160, 120, 200};
    auto first = feed.packet(160);
    jb.put(first.data(), 160);
    in.insert(in.end(), first.begin(), first.end());
    for (int i = 0; in.size() < 40000; ++i) {
        auto p = feed.packet(sizes[i % 7]);
        jb.put(p.data(), int(p.size()));
        in.insert(in.end(), p.begin(), p.end());
        while (jb.getFill() >= 2 * frame) {
            auto f = getFrame(jb);
            out.insert(out.end(), f.begin(), f.end());
        }
        ASSERT_EQ(JitterBuffer::stateNormal, jb.getState());
    }
    ASSERT_GT(out.size(), 39000u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), in.begin())) << "what goes in must come out unchanged";
}

TEST(JitterBufferSamples, OverflowKeepsTheNewestSamples) {
    JitterBuffer jb;
    Feeder feed;
    for (int i = 0; i < 6; ++i) {
        auto p = feed.packet(frame);
        jb.put(p.data(), frame);
    }
    // 960 samples went in; every put past 640 dropped the oldest 160.
    ASSERT_EQ(640, jb.getFill());
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(signalRange(320 + i * frame, frame), getFrame(jb)) << "frame " << i;
}

TEST(JitterBufferSamples, HugePacketLeavesOnlyTheNewestAndNothingBreaks) {
    JitterBuffer jb;
    Feeder feed;
    auto p = feed.packet(320);
    jb.put(p.data(), 320);
    // Larger than the ring: what was buffered and the oldest part of the packet give way, the
    // newest ring-full of the packet stays and plays in order.
    auto big = feed.packet(20000);
    jb.put(big.data(), 20000);
    const long bigEnd = 320 + 20000;
    EXPECT_EQ(JitterBuffer::ringSize, jb.getFill());
    EXPECT_EQ(signalRange(bigEnd - JitterBuffer::ringSize, frame), getFrame(jb));
    EXPECT_EQ(signalRange(bigEnd - JitterBuffer::ringSize + frame, frame), getFrame(jb));
    // The next packet makes room for itself at the old end and plays after the rest.
    auto next = feed.packet(frame);
    jb.put(next.data(), frame);
    EXPECT_EQ(JitterBuffer::ringSize - 2 * frame, jb.getFill());
    std::vector<int16_t> last;
    while (jb.getFill() >= frame)
        last = getFrame(jb);
    EXPECT_EQ(0, jb.getFill());
    EXPECT_EQ(signalRange(bigEnd, frame), last);
}

TEST(JitterBufferSamples, BadCountsAreRefusedAndChangeNothing) {
    JitterBuffer jb;
    Feeder feed;
    auto p = feed.packet(frame);
    jb.put(p.data(), frame);
    jitterLog.take();
    jb.put(p.data(), -1);
    jb.put(nullptr, 10);
    std::vector<int16_t> out(JitterBuffer::maxGetCount + 1, int16_t(5));
    EXPECT_FALSE(jb.get(out.data(), -1, false));
    EXPECT_FALSE(jb.get(out.data(), JitterBuffer::maxGetCount + 1, false));
    EXPECT_FALSE(jb.get(nullptr, frame, false));
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t s) { return s == 5; }));
    EXPECT_EQ(5u, jitterLog.take().size()) << "one log line for each refused call";
    EXPECT_EQ(JitterBuffer::stateNormal, jb.getState());
    EXPECT_EQ(frame, jb.getFill());
    EXPECT_EQ(signalRange(0, frame), getFrame(jb));
}

// A fixture that plays 480 samples of the periodic signal and drains the buffer, so that the next
// get starts a loss with the signal as its history.
class Concealment : public ::testing::Test {
protected:
    void SetUp() override { playSignal(); }

    void playSignal(double amplitude = 1.0) {
        feed.amplitude = amplitude;
        for (int i = 0; i < 3; ++i) {
            auto p = feed.packet(frame);
            jb.put(p.data(), frame);
        }
        while (jb.getFill() > 0) {
            auto expected = signalRange(feed.next - jb.getFill(), frame, amplitude);
            ASSERT_EQ(expected, getFrame(jb));
        }
        ASSERT_EQ(JitterBuffer::stateNormal, jb.getState());
    }

    // The signal the concealment continues: sample k after the start of the loss.
    std::vector<int16_t> continuation(int k, int count) {
        return signalRange(feed.next + k, count, feed.amplitude);
    }

    JitterBuffer jb;
    Feeder feed;
};

TEST_F(Concealment, BurstRepeatsThePitchPeriodFadesOutThenSilence) {
    auto f1 = getFrame(jb);
    auto f2 = getFrame(jb);
    auto f3 = getFrame(jb);
    auto f4 = getFrame(jb);
    // First 10 ms frame: the continuation unattenuated; then 1.0 falling to 0.8025, 0.8, 0.6, 0.4, 0.2.
    EXPECT_EQ(continuation(0, 80), slice(f1, 0, 80));
    EXPECT_EQ(attenuated(continuation(80, 80), 1.0f), slice(f1, 80, 80));
    EXPECT_EQ(int16_t(int(continuation(159, 1)[0] * (1.0f - 79 * (0.2f / 80)))), f1[159]);
    EXPECT_EQ(attenuated(continuation(160, 80), 0.8f), slice(f2, 0, 80));
    EXPECT_EQ(attenuated(continuation(240, 80), 0.6f), slice(f2, 80, 80));
    EXPECT_EQ(attenuated(continuation(320, 80), 0.4f), slice(f3, 0, 80));
    EXPECT_EQ(attenuated(continuation(400, 80), 0.2f), slice(f3, 80, 80));
    // From the seventh frame on (60 ms into the loss): zeros.
    EXPECT_EQ(std::vector<int16_t>(frame, 0), f4);
    EXPECT_EQ(JitterBuffer::stateConcealing, jb.getState());
    EXPECT_EQ(std::vector<int16_t>(frame, 0), getFrame(jb)); // fifth concealed get
    EXPECT_EQ(JitterBuffer::stateSilence, jb.getState());
    EXPECT_EQ(std::vector<int16_t>(frame, 0), getFrame(jb)); // silence
}

TEST_F(Concealment, LatePacketIsMergedWithTheContinuation) {
    getFrame(jb); // two frames concealed
    // The packet that returns: a quieter copy of the signal, so the cross-fade is visible.
    std::vector<int16_t> back = signalRange(feed.next + 160, frame, 0.5);
    jb.put(back.data(), frame);
    ASSERT_EQ(JitterBuffer::stateBuffering, jb.getState());
    auto played = getFrame(jb);

    // Overlap of 16 (a quarter of the 64-sample pitch) + 32 for the second erased frame; the
    // concealed side at gain 0.8 fading out, the new side fading in.
    const int olen = 48;
    auto concealed = continuation(160, olen);
    const float incr = 1.0f / olen, gain = 0.8f;
    float lw = (1.0f - incr) * gain, rw = incr;
    for (int i = 0; i < olen; ++i) {
        float t = lw * concealed[i] + rw * back[i];
        EXPECT_EQ(int16_t(int(t)), played[i]) << "sample " << i;
        lw -= incr * gain;
        rw += incr;
    }
    EXPECT_EQ(slice(back, olen, frame - olen), slice(played, olen, frame - olen));
}

TEST_F(Concealment, ShortPutIsMergedOverItsLength) {
    getFrame(jb); // two frames concealed
    // 40 samples come back, fewer than the overlap of 48 (16 + 32): the cross-fade is cut to them,
    // so that the last of them is the new audio itself and nothing jumps.
    std::vector<int16_t> back = signalRange(feed.next + 160, 40, 0.5);
    jb.put(back.data(), 40);
    EXPECT_EQ(JitterBuffer::stateBuffering, jb.getState());
    EXPECT_EQ(0, jb.getConcealerErasedFrames());
    // The rest of the frame follows unmerged.
    std::vector<int16_t> rest = signalRange(feed.next + 200, 120, 0.5);
    jb.put(rest.data(), 120);
    auto played = getFrame(jb);
    EXPECT_EQ(rest, slice(played, 40, 120));
    const int olen = 40;
    auto concealed = continuation(160, olen);
    const float incr = 1.0f / olen, gain = 0.8f;
    float lw = (1.0f - incr) * gain, rw = incr;
    for (int i = 0; i < olen; ++i) {
        float t = lw * concealed[i] + rw * back[i];
        EXPECT_EQ(int16_t(int(t)), played[i]) << "sample " << i;
        lw -= incr * gain;
        rw += incr;
    }
    EXPECT_NEAR(back[39], played[39], 1);
}

// Audio that returns after a get ran short while buffering is merged as well, and the next loss
// then starts from the new history instead of continuing the old one.
TEST_F(Concealment, ConcealmentWhileBufferingIsMergedAndEnded) {
    getFrame(jb); // a loss: two frames concealed
    std::vector<int16_t> back = signalRange(feed.next + 160, frame, 0.5);
    jb.put(back.data(), frame); // merged; buffering until 320
    getFrame(jb);               // plays it
    auto shortGet = getFrame(jb); // runs short while buffering: concealed afresh
    ASSERT_EQ(JitterBuffer::stateBuffering, jb.getState());
    ASSERT_EQ(2, jb.getConcealerErasedFrames());
    // The continuation of that concealment, read before the merge, is what the next packet is
    // cross-faded with.
    std::vector<int16_t> again = signalRange(feed.next + 480, frame, 0.5);
    jb.put(again.data(), frame);
    EXPECT_EQ(0, jb.getConcealerErasedFrames()) << "the loss ended with the merge";
    jb.put(again.data(), frame);
    ASSERT_EQ(JitterBuffer::stateNormal, jb.getState());
    auto played = getFrame(jb);
    EXPECT_NE(again[0], played[0]) << "the first sample is cross-faded";
    EXPECT_EQ(slice(again, 80, 80), slice(played, 80, 80)) << "past the overlap the packet plays as it came";
    EXPECT_LT(std::abs(int(played[0]) - int(shortGet[frame - 1])), 2500) << "no jump at the seam";
}

TEST_F(Concealment, LossAfterSilenceIsConcealedAfresh) {
    for (int i = 0; i < 6; ++i)
        getFrame(jb);
    ASSERT_EQ(JitterBuffer::stateSilence, jb.getState());
    playSignal(0.7);
    auto f = getFrame(jb);
    EXPECT_EQ(continuation(0, 80), slice(f, 0, 80)) << "a new loss repeats the new history, not silence";
}

TEST_F(Concealment, LossAfterResetIsConcealedAfresh) {
    getFrame(jb);
    getFrame(jb); // a loss in progress
    jb.reset();
    EXPECT_EQ(std::vector<int16_t>(frame, 0), getFrame(jb));
    playSignal(0.6);
    auto f = getFrame(jb);
    EXPECT_EQ(continuation(0, 80), slice(f, 0, 80));
    EXPECT_EQ(attenuated(continuation(80, 80), 1.0f), slice(f, 80, 80));
}

// The 32 KB ring is what a call's media holds most of: it comes with the first packet and goes
// with the call.
TEST(JitterBufferRing, ComesWithTheFirstPacketAndGoesWithRelease) {
    JitterBuffer jb;
    EXPECT_FALSE(jb.holdsRing()) << "a call that receives nothing holds no ring";
    Feeder feed;
    auto p = feed.packet(frame);
    jb.put(p.data(), frame);
    EXPECT_TRUE(jb.holdsRing());

    jb.release();
    EXPECT_FALSE(jb.holdsRing());
    EXPECT_EQ(JitterBuffer::stateSilence, jb.getState());
    bool played = false;
    getFrame(jb, true, &played);
    EXPECT_FALSE(played) << "nothing to prefetch";
    EXPECT_EQ(std::vector<int16_t>(frame, 0), getFrame(jb)) << "a released buffer plays silence";
    p = feed.packet(frame);
    jb.put(p.data(), frame);
    EXPECT_FALSE(jb.holdsRing()) << "a packet after the end of the call brings no ring back";
    EXPECT_EQ(0, jb.getFill());

    jb.reset();
    p = feed.packet(frame);
    jb.put(p.data(), frame);
    EXPECT_EQ(p, getFrame(jb)) << "a reset buffer takes packets again";
}

// Only the history a loss may reach before anything was written is cleared at a reset: a ring
// full of an earlier call's audio conceals a loss exactly as a new ring does.
TEST(JitterBufferRing, AReusedRingConcealsAsANewOne) {
    JitterBuffer reused;
    Feeder old;
    for (int i = 0; i < 200; ++i) {
        auto p = old.packet(frame);
        reused.put(p.data(), frame);
        getFrame(reused);
    }
    reused.reset();
    JitterBuffer fresh;
    for (JitterBuffer* jb : {&reused, &fresh}) {
        Feeder feed;
        feed.amplitude = 0.5;
        auto p = feed.packet(frame / 2);
        jb->put(p.data(), frame / 2);
    }
    // A short first packet, then the loss: the concealment reaches back into the ring's end.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(getFrame(fresh), getFrame(reused)) << "frame " << i;
}

TEST(JitterBufferThreads, PutAndGetOnTwoThreads) {
    JitterBuffer jb;
    std::atomic<bool> bad{false};
    std::thread receiver([&] {
        Feeder feed;
        for (int i = 0; i < 3000; ++i) {
            auto p = feed.packet(frame);
            jb.put(p.data(), frame);
            if (jb.getFill() > JitterBuffer::maxFill)
                bad = true;
        }
    });
    std::thread player([&] {
        std::vector<int16_t> out(frame);
        for (int i = 0; i < 3000; ++i)
            if (!jb.get(out.data(), frame, false))
                bad = true;
    });
    receiver.join();
    player.join();
    EXPECT_FALSE(bad.load());
    EXPECT_GE(jb.getFill(), 0);
    EXPECT_LE(jb.getFill(), JitterBuffer::maxFill);
}

// ---------------------------------------------------------------------------------------------
// The concealer on its own: the pitch search.

struct PitchCase {
    int period;
    int pitch;
};

class PitchSearch : public ::testing::TestWithParam<PitchCase> {};

TEST_P(PitchSearch, FindsThePeriodAndRepeatsIt) {
    const int p = GetParam().period;
    const int ringSize = 1000;
    std::vector<int16_t> ring(ringSize);
    auto value = [p](long n) {
        const double w = 2.0 * M_PI * double(n % p) / p;
        return int16_t(std::lround(5000.0 * std::sin(w) + 2000.0 * std::sin(2.0 * w + 0.7)));
    };
    // The history ends at write position 100, so it wraps around the end of the ring.
    const int writePosition = 100;
    for (int k = 0; k < 400; ++k)
        ring[(writePosition - 400 + k + ringSize) % ringSize] = value(k);
    PacketLossConcealer plc;
    int16_t out[80];
    plc.conceal(out, ring.data(), ringSize, writePosition);
    EXPECT_EQ(GetParam().pitch, plc.getPitch());
    EXPECT_EQ(GetParam().pitch / 4, plc.getOverlapLength());
    EXPECT_EQ(1, plc.getErasedFrames());
    for (int i = 0; i < 80; ++i)
        EXPECT_NEAR(value(400 + i), out[i], 1) << "sample " << i;
}

INSTANTIATE_TEST_SUITE_P(Periods, PitchSearch,
                         ::testing::Values(PitchCase{64, 64}, PitchCase{75, 75}, PitchCase{90, 90},
                                           PitchCase{101, 101}, PitchCase{120, 120}),
                         [](const ::testing::TestParamInfo<PitchCase>& info) {
                             return "Period" + std::to_string(info.param.period);
                         });

TEST(PitchSearchTies, FlatHistoryTakesTheLargestCoarseLagThenTheFirstFineLag) {
    // Every lag correlates equally: the coarse search keeps the last lag (80), the fine search
    // keeps its first (79), so the pitch is 120 - 79.
    for (int16_t level : {int16_t(0), int16_t(100)}) {
        std::vector<int16_t> ring(500, level);
        PacketLossConcealer plc;
        int16_t out[80];
        plc.conceal(out, ring.data(), 500, 450);
        EXPECT_EQ(41, plc.getPitch()) << "level " << level;
        EXPECT_EQ(10, plc.getOverlapLength());
    }
}

TEST(PacketLossConcealer, SecondFrameCrossFadesTheOldContinuationIntoTheLongerBuffer) {
    // A periodic history with a click in its second-to-last period: the first frame repeats the
    // last period, the second reads the two-period buffer (which holds the click) and fades in
    // from the continuation of the one-period buffer over a quarter period (16 samples).
    const int ringSize = 600, end = 500;
    std::vector<int16_t> ring(ringSize);
    for (int k = 0; k < ringSize; ++k)
        ring[k] = periodic(k);
    for (int k = end - 110; k < end - 100; ++k)
        ring[k] = int16_t(ring[k] + 3000);
    const std::vector<int16_t> history = ring;
    PacketLossConcealer plc;
    int16_t first[80], second[80];
    plc.conceal(first, ring.data(), ringSize, end);
    ASSERT_EQ(64, plc.getPitch());
    plc.conceal(second, ring.data(), ringSize, end);
    for (int i = 0; i < 80; ++i)
        EXPECT_EQ(history[end - 64 + i % 64], first[i]) << "first frame, sample " << i;
    std::vector<int16_t> expected(80);
    for (int i = 0; i < 80; ++i)
        expected[i] = history[end - 112 + i];
    for (int i = 0; i < 16; ++i) {
        const float lw = 1.0f - (i + 1) / 16.0f, rw = (i + 1) / 16.0f;
        expected[i] = int16_t(int(lw * history[end - 48 + i] + rw * expected[i]));
    }
    EXPECT_EQ(attenuated(expected, 1.0f), std::vector<int16_t>(second, second + 80));
}

TEST(PacketLossConcealer, MergeWithoutLossChangesNothing) {
    PacketLossConcealer plc;
    std::vector<int16_t> s = signalRange(0, 80);
    auto copy = s;
    plc.mergeAfterLoss(s.data());
    EXPECT_EQ(copy, s);
}

TEST(PacketLossConcealer, MergeAfterLongLossFadesInFromZero) {
    // After six or more erased frames the concealed side has gain 0 and the overlap is 80.
    std::vector<int16_t> ring(1000);
    for (int k = 0; k < 1000; ++k)
        ring[k] = periodic(k);
    PacketLossConcealer plc;
    int16_t out[80];
    for (int i = 0; i < 7; ++i)
        plc.conceal(out, ring.data(), 1000, 500);
    std::vector<int16_t> s(80, 8000);
    plc.mergeAfterLoss(s.data());
    EXPECT_EQ(0, plc.getErasedFrames());
    float rw = 1.0f / 80;
    for (int i = 0; i < 80; ++i) {
        EXPECT_EQ(int16_t(int(rw * 8000)), s[i]) << "sample " << i;
        rw += 1.0f / 80;
    }
}

} // namespace
