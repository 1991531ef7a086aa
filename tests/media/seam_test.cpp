// Received audio as a listener hears it: a buffer driven by a packet stream with losses, late
// bursts, short and long packets, judged on what it plays. Concealment and the return of audio
// must not click: the largest step between two played samples stays within a small multiple of
// the signal's own largest step. Signals whose period does not divide the frame are used, so
// that repeating a period is never seamless by construction.
#include "JitterBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int frame = 160;
constexpr double rate = 8000.0;

using Signal = std::function<int16_t(long)>;

Signal sine(double hz, double amplitude = 10000.0) {
    return [=](long n) { return int16_t(std::lround(amplitude * std::sin(2.0 * M_PI * hz * double(n) / rate))); };
}

// A tone sweeping from 110 Hz up to 330 Hz and back every four seconds, so that the pitch found
// at one loss is wrong by the next.
Signal sweep() {
    static const std::vector<int16_t> table = [] {
        std::vector<int16_t> v(32000);
        double phase = 0.0;
        for (size_t n = 0; n < v.size(); ++n) {
            const double up = n < 16000 ? double(n) / 16000.0 : double(32000 - n) / 16000.0;
            phase += 2.0 * M_PI * (110.0 + 220.0 * up) / rate;
            v[n] = int16_t(std::lround(9000.0 * std::sin(phase)));
        }
        return v;
    }();
    return [](long n) { return table[size_t(n) % table.size()]; };
}

// Speech-like: a pulse train with a period of 61.7 samples (130 Hz) through two resonators (a
// vowel's first two formants) plus a little noise. Deterministic: computed once into a table.
Signal voiced() {
    static const std::vector<int16_t> table = [] {
        std::vector<int16_t> v(40000);
        double y1a = 0, y2a = 0, y1b = 0, y2b = 0;
        const auto coefficients = [](double hz, double bandwidth, double& c1, double& c2) {
            const double r = std::exp(-M_PI * bandwidth / rate);
            c1 = 2.0 * r * std::cos(2.0 * M_PI * hz / rate);
            c2 = -r * r;
        };
        double a1, a2, b1, b2;
        coefficients(700.0, 110.0, a1, a2);
        coefficients(1200.0, 140.0, b1, b2);
        uint32_t noise = 99;
        double nextPulse = 0.0;
        for (size_t n = 0; n < v.size(); ++n) {
            double x = 0.0;
            if (double(n) >= nextPulse) {
                x = 1.0;
                nextPulse += 61.7;
            }
            noise = noise * 1103515245u + 12345u;
            x += (double(int(noise >> 16) % 2001) - 1000.0) * 2e-5;
            const double ya = x + a1 * y1a + a2 * y2a;
            y2a = y1a;
            y1a = ya;
            const double yb = ya + b1 * y1b + b2 * y2b;
            y2b = y1b;
            y1b = yb;
            v[n] = int16_t(std::lround(std::max(-30000.0, std::min(30000.0, yb * 180.0))));
        }
        return v;
    }();
    return [](long n) { return table[size_t(n) % table.size()]; };
}

// Largest step between neighbouring samples of the signal itself over the time it plays.
int naturalStep(const Signal& s, long length) {
    int worst = 0;
    for (long n = 1; n < length; ++n)
        worst = std::max(worst, std::abs(int(s(n)) - int(s(n - 1))));
    return worst;
}

struct Step {
    int at;   // index in the played audio
    int size; // absolute difference to the sample before
};

Step largestStep(const std::vector<int16_t>& played, int from) {
    Step worst{0, 0};
    for (size_t n = size_t(std::max(from, 1)); n < played.size(); ++n) {
        const int d = std::abs(int(played[n]) - int(played[n - 1]));
        if (d > worst.size)
            worst = Step{int(n), d};
    }
    return worst;
}

// Plays a script against a buffer. The sender's packets follow each other in time; each op:
// 'P' delivers the next packet, 'L' loses it (its time passes unheard), 'G' takes one frame.
struct Player {
    JitterBuffer jb;
    Signal signal;
    int packetSize;
    long next = 0;
    std::vector<int16_t> played;

    Player(Signal s, int size) : signal(std::move(s)), packetSize(size) {}

    void run(const std::string& script) {
        for (char op : script) {
            if (op == 'P' || op == 'L') {
                std::vector<int16_t> p(static_cast<size_t>(packetSize));
                for (int i = 0; i < packetSize; ++i)
                    p[size_t(i)] = signal(next + i);
                next += packetSize;
                if (op == 'P')
                    jb.put(p.data(), packetSize);
            } else if (op == 'G') {
                int16_t out[frame];
                ASSERT_TRUE(jb.get(out, frame, false));
                played.insert(played.end(), out, out + frame);
            }
        }
    }
};

struct SeamCase {
    const char* name;
    int packetSize;
    std::string script;
};

struct SignalCase {
    const char* name;
    Signal signal;
};

void PrintTo(const SeamCase& c, std::ostream* os) {
    *os << c.name;
}
void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

// Before the losses, a few frames play so that every concealment has a full history behind it.
const std::string warmUp = "PGPGPGPG";

// clang-format off
const SeamCase seamCases[] = {
    // One packet lost in a steady stream: concealed in normal play, then a get runs short while
    // the buffer waits for its new delay, so a second concealment follows the merge.
    {"OneLossInASteadyStream", 160, "LGPGPGPGPGPGPGPGPG"},
    // Audio returns, plays, and runs short again while buffering; each return is merged.
    {"ShortAgainWhileBuffering", 160, "LGPGGPPGPGGPPGPGPGPGPG"},
    // A delay spike: two gets with nothing, then the late packets in a burst.
    {"LateBurst", 160, "GGPPPGPGPGPGPGPG"},
    // Three losses in a row, fading, then audio returns.
    {"BurstLoss", 160, "LLLGGGPPGPGPGPGPGPG"},
    // 5 ms packets: returning audio comes in pieces shorter than a concealment frame.
    {"ShortPacketsAfterLoss", 40,
     "PPPPGPPPPGLLLLGPGPPPGPPPPGPPPPGPPPPGPPPPGPPPPGPPPPG"},
    // 10 ms packets.
    {"HalfFramePackets", 80, "PPGLLGPGPPGPGGPPPPGPPGPPGPPGPPG"},
};
// clang-format on

class Seams : public ::testing::TestWithParam<std::tuple<SeamCase, SignalCase>> {};

TEST_P(Seams, NoClickWhereConcealmentMeetsReceivedAudio) {
    const SeamCase& c = std::get<0>(GetParam());
    const SignalCase& s = std::get<1>(GetParam());
    const int small = c.packetSize < frame ? frame / c.packetSize : 1;
    std::string warm;
    for (char op : warmUp)
        warm += op == 'P' ? std::string(size_t(small), 'P') : std::string(1, op);
    // The script runs three times over, at different points of the signal.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Player player(s.signal, c.packetSize);
        player.next = 1237L * round;
        player.run(warm + c.script);
        const int natural = naturalStep(s.signal, player.next + 2000);
        // The first frame starts from silence: steps are judged after it.
        const Step worst = largestStep(player.played, frame);
        EXPECT_LE(worst.size, 2 * natural)
            << "step of " << worst.size << " at sample " << worst.at << " (frame " << worst.at / frame
            << ", offset " << worst.at % frame << "); the signal's own largest step is " << natural
            << ", ratio " << double(worst.size) / natural;
    }
}

std::string seamName(const ::testing::TestParamInfo<std::tuple<SeamCase, SignalCase>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Audio, Seams,
                         ::testing::Combine(::testing::ValuesIn(seamCases),
                                            ::testing::Values(SignalCase{"Sine137Hz", sine(137.0)},
                                                              SignalCase{"Sine173Hz", sine(173.0)},
                                                              SignalCase{"Sweep", sweep()},
                                                              SignalCase{"Voiced", voiced()})),
                         seamName);

// A loss concealed while buffering must not leave its pitch period behind: the next loss, on a
// tone of another pitch, conceals from its own history.
TEST(SeamState, NextLossStartsFromItsOwnHistory) {
    const Signal first = sine(137.0); // period 58.4 samples
    const Signal second = sine(90.0); // period 88.9 samples
    const long change = 8 * frame;
    Player player([&](long n) { return n < change ? first(n) : second(n); }, frame);
    // A loss in normal play, audio back, short again while buffering, audio back: eight packets.
    player.run("PGPGPGPGLGPGGPP");
    ASSERT_EQ(change, player.next);
    ASSERT_EQ(JitterBuffer::stateNormal, player.jb.getState());
    // Ten packets of the other tone play, the buffer drains and the next get finds nothing.
    player.run("PGPGPGPGPGPGPGPGPGPGGG");
    ASSERT_EQ(0, player.jb.getFill());
    player.run("G");
    const std::vector<int16_t> concealed(player.played.end() - frame, player.played.end());
    // Its first 10 ms repeat the last period of the 90 Hz history: close to the tone itself.
    int worst = 0;
    for (int i = 0; i < 80; ++i)
        worst = std::max(worst, std::abs(int(concealed[size_t(i)]) - int(second(player.next + i))));
    EXPECT_LE(worst, 400) << "the concealment does not continue the tone before the loss";
}

// ---------------------------------------------------------------------------------------------
// Long packets: how much of the received audio is played. A packet longer than the buffer's
// limit is the newest audio there is; it must not be thrown away.

// Distinct pseudo-random samples: a pair of neighbours identifies its place in the stream.
int16_t noiseSample(long n) {
    uint32_t x = uint32_t(n) * 2654435761u + 0x9E3779B9u;
    x ^= x >> 15;
    x *= 2246822519u;
    x ^= x >> 13;
    return int16_t(x & 0xFFFF);
}

struct PtimeCase {
    int ptimeMs;
    double minShare;
};

void PrintTo(const PtimeCase& c, std::ostream* os) {
    *os << c.ptimeMs << " ms";
}

class LongPackets : public ::testing::TestWithParam<PtimeCase> {};

TEST_P(LongPackets, ShareOfReceivedAudioPlayed) {
    const int packet = GetParam().ptimeMs * 8;
    const long total = 3L * 8000; // three seconds
    JitterBuffer jb;
    std::vector<int16_t> played;
    // Each packet is delivered when its last sample has been sent; the audio thread takes a frame
    // every 20 ms. At equal times the packet comes first.
    long sent = 0, taken = 0;
    while (taken < total + 2 * packet) {
        const long packetTime = sent + packet;
        const long getTime = taken + frame;
        if (sent < total && packetTime <= getTime) {
            std::vector<int16_t> p(static_cast<size_t>(packet));
            for (int i = 0; i < packet; ++i)
                p[size_t(i)] = noiseSample(sent + i);
            jb.put(p.data(), packet);
            sent += packet;
        } else {
            int16_t out[frame];
            ASSERT_TRUE(jb.get(out, frame, false));
            played.insert(played.end(), out, out + frame);
            taken += frame;
        }
    }
    std::map<uint32_t, long> where;
    for (long n = 0; n + 1 < sent; ++n)
        where[uint32_t(uint16_t(noiseSample(n))) << 16 | uint16_t(noiseSample(n + 1))] = n;
    std::vector<bool> heard(size_t(sent), false);
    for (size_t k = 0; k + 1 < played.size(); ++k) {
        auto it = where.find(uint32_t(uint16_t(played[k])) << 16 | uint16_t(played[k + 1]));
        if (it != where.end()) {
            heard[size_t(it->second)] = true;
            heard[size_t(it->second + 1)] = true;
        }
    }
    const double share = double(std::count(heard.begin(), heard.end(), true)) / double(sent);
    RecordProperty("share_played_percent", std::to_string(int(share * 100.0)));
    EXPECT_GE(share, GetParam().minShare) << GetParam().ptimeMs << " ms packets: " << share * 100.0
                                          << "% of the received audio played";
}

INSTANTIATE_TEST_SUITE_P(Ptime, LongPackets,
                         ::testing::Values(PtimeCase{20, 0.99}, PtimeCase{60, 0.99}, PtimeCase{80, 0.95},
                                           PtimeCase{90, 0.95}, PtimeCase{100, 0.95}, PtimeCase{120, 0.95}),
                         [](const ::testing::TestParamInfo<PtimeCase>& info) {
                             return std::to_string(info.param.ptimeMs) + "ms";
                         });

} // namespace
