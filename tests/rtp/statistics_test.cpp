// Receive statistics: which packets are played, the resynchronisation on a sequence jump, the
// wrap of the sequence number, the jitter estimate and the end-of-call figures.
#include "CallStatistics.h"
#include "RTPSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <vector>

namespace {

rtp::RTPHeader header(uint16_t sequence, uint32_t timestamp = 0, uint32_t ssrc = 0x5555) {
    rtp::RTPHeader h;
    h.sequenceNumber = sequence;
    h.timestamp = timestamp;
    h.ssrc = ssrc;
    h.payloadType = 8;
    return h;
}

struct SequenceCase {
    const char* name;
    std::vector<uint16_t> sequence;
    std::vector<bool> accepted;
    uint16_t highest;
    int discarded;
    int cycles;
    uint16_t base;
};

TEST(ReceiveStatistics, SequenceRules) {
    const SequenceCase cases[] = {
        {"in order", {100, 101, 102}, {true, true, true}, 102, 0, 0, 100},
        {"gaps up to nine", {100, 101, 105, 114, 124}, {true, true, true, true, false}, 114, 1, 0, 100},
        {"a jump is followed after three in a row",
         {100, 101, 105, 200, 201, 202, 203},
         {true, true, true, false, false, true, true},
         203,
         0,
         0,
         100},
        // A packet from before the first one, within the reorder window, was expected too.
        {"duplicates and old packets", {100, 101, 101, 99, 102}, {true, true, false, false, true}, 102, 2, 0, 99},
        {"old packets across the wrap", {1, 0, 65535, 2}, {true, false, false, true}, 2, 2, 65536, 65535},
        {"older than the reorder window", {200, 201, 100, 202}, {true, true, false, true}, 202, 1, 0, 200},
        {"a broken run starts over",
         {100, 300, 301, 500, 501, 502},
         {true, false, false, false, false, true},
         502,
         2,
         0,
         100},
        {"wrap", {65534, 65535, 0, 1}, {true, true, true, true}, 1, 0, 65536, 65534},
        {"wrap with a gap of nine", {65530, 3}, {true, true}, 3, 0, 65536, 65530},
        {"wrap with a gap of ten", {65530, 4}, {true, false}, 65530, 1, 0, 65530},
        // A run behind the highest is a new stream: counting starts again at its first packet.
        {"backward jump followed", {5000, 7, 8, 9}, {true, false, false, true}, 9, 0, 0, 7},
        {"jump beyond the dropout limit", {100, 3100, 3101, 3102}, {true, false, false, true}, 3102, 0, 0, 3100},
        {"jump within the dropout limit", {100, 3099, 3100, 3101}, {true, false, false, true}, 3101, 0, 0, 100},
        {"jump followed across the wrap", {65000, 1000, 1001, 1002}, {true, false, false, true}, 1002, 0, 65536,
         65000},
    };
    for (const SequenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        rtp::ReceiveStatistics s;
        for (size_t i = 0; i < c.sequence.size(); ++i)
            EXPECT_EQ(s.update(1000 + 20 * uint32_t(i), header(c.sequence[i], 160 * uint32_t(i))),
                      c.accepted[i])
                << "packet " << i << " (" << c.sequence[i] << ")";
        EXPECT_EQ(s.highestSequence, c.highest);
        EXPECT_EQ(s.discarded, c.discarded);
        EXPECT_EQ(s.cycles, c.cycles);
        EXPECT_EQ(s.received, int(c.sequence.size()));
        EXPECT_EQ(s.baseSequence, c.base);
    }
}

struct ArrivalCase {
    const char* name;
    std::vector<uint32_t> arrivalMs;
    std::vector<uint32_t> timestamps;
    int jumps80, jumps160, jumps240, jitter16;
};

TEST(ReceiveStatistics, ArrivalJumpsAndJitter) {
    const ArrivalCase cases[] = {
        {"steady", {0, 20, 40, 60}, {0, 160, 320, 480}, 0, 0, 0, 0},
        // 10 ms late: |D| = 80, then back on time: |D| = 80 again.
        {"one late packet", {0, 30, 40}, {0, 160, 320}, 2, 0, 0, 80 + 80 - 5},
        {"forty ms late", {0, 60}, {0, 160}, 1, 1, 1, 320},
        {"twenty ms late", {0, 40}, {0, 160}, 1, 1, 0, 160},
        // The arrival clock wraps between the packets: still 20 ms apart.
        {"arrival clock wraps", {0xFFFFFFF0u, 4}, {1000, 1160}, 0, 0, 0, 0},
        {"timestamp wraps", {0, 20}, {0xFFFFFFA0u, 0x40}, 0, 0, 0, 0},
        // Far apart in both clocks: the estimate saturates instead of overflowing.
        {"huge gap", {0, 0x7FFFFFFF, 0}, {0, 0, 0x7FFFFFFF}, 2, 2, 2, INT_MAX},
    };
    for (const ArrivalCase& c : cases) {
        SCOPED_TRACE(c.name);
        rtp::ReceiveStatistics s;
        for (size_t i = 0; i < c.arrivalMs.size(); ++i)
            s.update(c.arrivalMs[i], header(uint16_t(10 + i), c.timestamps[i]));
        EXPECT_EQ(s.jumps80, c.jumps80);
        EXPECT_EQ(s.jumps160, c.jumps160);
        EXPECT_EQ(s.jumps240, c.jumps240);
        EXPECT_EQ(s.jitter16, c.jitter16);
    }
}

TEST(ReceiveStatistics, FirstPacketSetsTheBase) {
    rtp::ReceiveStatistics s;
    EXPECT_TRUE(s.update(500, header(40000, 1234, 0xCAFE)));
    EXPECT_EQ(s.ssrc, 0xCAFEu);
    EXPECT_EQ(s.baseSequence, 40000);
    EXPECT_EQ(s.highestSequence, 40000);
    EXPECT_EQ(s.lastTimestamp, 1234u);
    EXPECT_EQ(s.lastArrivalMs, 500u);
    EXPECT_EQ(s.received, 1);
    // A later packet from another source does not change the recorded one.
    s.update(520, header(40001, 1394, 0xBEEF));
    EXPECT_EQ(s.ssrc, 0xCAFEu);
}

TEST(CallStatistics, ExpectedAndLost) {
    rtp::RTPSession session;
    rtp::CallStatistics none = session.callStatistics();
    EXPECT_EQ(none.expected, 0) << "a call that received nothing expected nothing";
    EXPECT_EQ(none.lost, 0);

    uint8_t payload[160];
    std::fill(std::begin(payload), std::end(payload), 0xD5);
    for (uint16_t seq : {65530, 65531, 65534, 65535, 0, 2, 3})
        session.receivePacket(header(seq, 160u * seq, 0x77), payload, sizeof payload);
    rtp::CallStatistics s = session.callStatistics();
    EXPECT_EQ(s.ssrc, 0x77u);
    EXPECT_EQ(s.expected, 10);
    EXPECT_EQ(s.lost, 3);
    EXPECT_GE(s.jitter, 0);
}

// ---------------------------------------------------------------------------------------------
// The figures handed to Java when the far end's stream changes under a call, and when it carries
// telephone events. Packets arrive on a perfect network: one every 20 ms.

struct SourceRun {
    uint32_t ssrc;
    uint16_t firstSequence;
    int packets;
    uint32_t firstTimestamp;
    std::vector<int> lostAt; // indices within the run that never arrive
    uint32_t gapMs = 0;      // time before its first packet, beyond the usual 20 ms
};

struct RestartCase {
    const char* name;
    std::vector<SourceRun> runs;
    int expected;
    int lost;
};

TEST(CallStatisticsForJava, StreamRestartsAreFollowed) {
    const RestartCase cases[] = {
        {"one stream", {{0x11, 30000, 100, 0, {}}}, 100, 0},
        {"restart lower, same source", {{0x11, 30000, 100, 0, {}}, {0x11, 1000, 100, 90000, {}}}, 200, 0},
        {"restart lower, new source", {{0x11, 30000, 100, 0, {}}, {0x22, 1000, 100, 555, {}}}, 200, 0},
        {"new source higher up", {{0x11, 30000, 100, 0, {}}, {0x22, 50000, 100, 555, {}}}, 200, 0},
        {"new source across the wrap", {{0x11, 65500, 100, 0, {}}, {0x22, 20, 100, 555, {}}}, 200, 0},
        {"large forward jump, same source", {{0x11, 100, 100, 0, {}}, {0x11, 20000, 100, 777, {}}}, 200, 0},
        // A gap of a few hundred is loss, not a restart.
        {"forward gap is loss", {{0x11, 100, 100, 0, {}}, {0x11, 500, 100, 64000, {}, 6000}}, 500, 300},
        {"losses on both sides of a restart",
         {{0x11, 30000, 100, 0, {10, 11, 50}}, {0x22, 1000, 100, 555, {7, 60, 61, 62}}},
         200,
         7},
        {"three sources", {{0x11, 9000, 50, 0, {}}, {0x22, 100, 50, 5, {}}, {0x33, 40000, 50, 9, {}}}, 150, 0},
    };
    for (const RestartCase& c : cases) {
        SCOPED_TRACE(c.name);
        rtp::RTPSession session;
        uint8_t payload[160];
        std::fill(std::begin(payload), std::end(payload), 0xD5);
        uint32_t arrival = 1000;
        for (const SourceRun& run : c.runs) {
            arrival += run.gapMs;
            for (int i = 0; i < run.packets; ++i, arrival += 20) {
                if (std::find(run.lostAt.begin(), run.lostAt.end(), i) != run.lostAt.end())
                    continue;
                rtp::RTPHeader h = header(uint16_t(run.firstSequence + i), run.firstTimestamp + 160u * uint32_t(i),
                                          run.ssrc);
                session.receiveAt(arrival, h, payload, sizeof payload);
            }
        }
        const kbrphone::CallStatistics s = kbrphone::readCallStatistics(session);
        EXPECT_EQ(s.expected, c.expected);
        EXPECT_EQ(s.lost, c.lost);
        EXPECT_EQ(s.remoteSsrc, c.runs.front().ssrc) << "the first source is the one reported";
        EXPECT_EQ(s.late80, 0) << "a change of source is no late packet";
        EXPECT_EQ(s.jitter, 0);
    }
}

// A stream of 20 ms packets over a network that delays each packet by a random 0 to maxJitterMs and
// loses some: however the arrivals are shuffled, Java is told the loss there really was. The first
// and the last packet are never lost, so the span of the stream is known; where the first is late
// too, the packets after it that came before it count as expected, not as more than were sent.
struct NetworkCase {
    const char* name;
    uint16_t firstSequence;
    int packets;
    uint32_t maxJitterMs;
    int lossPerMille;           // independent loss
    std::vector<int> lostBurst; // first index and count of a burst that never arrives, or empty
    uint32_t seed;
    bool firstOnTime = true;
};

TEST(CallStatisticsForJava, ReorderingAndLossReportTheTrueLoss) {
    const NetworkCase cases[] = {
        {"in order", 1000, 1000, 0, 0, {}, 1},
        {"jitter 0-40 ms", 1000, 1000, 40, 0, {}, 2},
        {"jitter 0-100 ms", 1000, 1000, 100, 0, {}, 3},
        {"jitter 0-100 ms, another draw", 20000, 1000, 100, 0, {}, 4},
        {"5 % loss in order", 1000, 1000, 0, 50, {}, 5},
        {"5 % loss, jitter 0-100 ms", 1000, 1000, 100, 50, {}, 6},
        {"jitter 0-100 ms across the sequence wrap", 65000, 1000, 100, 0, {}, 7},
        {"5 % loss, jitter 0-100 ms across the wrap", 65300, 1000, 100, 50, {}, 8},
        {"a burst of 40 lost, jitter 0-100 ms", 1000, 1000, 100, 0, {500, 40}, 9},
        {"jitter 0-100 ms, the first packet late too", 1000, 1000, 100, 0, {}, 10, false},
        {"jitter 0-100 ms, the first late, across the wrap", 65534, 1000, 100, 0, {}, 11, false},
        {"5 % loss, jitter 0-100 ms, the first late", 1000, 1000, 100, 50, {}, 12, false},
    };
    for (const NetworkCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 rng(c.seed);
        struct Arrival {
            uint32_t ms;
            int index;
        };
        std::vector<Arrival> arrivals;
        for (int i = 0; i < c.packets; ++i) {
            const bool edge = i == 0 || i == c.packets - 1;
            const bool inBurst = !c.lostBurst.empty() && i >= c.lostBurst[0] && i < c.lostBurst[0] + c.lostBurst[1];
            if (!edge && (inBurst || int(rng() % 1000) < c.lossPerMille))
                continue;
            const bool onTime = edge && (i > 0 || c.firstOnTime);
            const uint32_t delay = onTime || c.maxJitterMs == 0 ? 0 : rng() % (c.maxJitterMs + 1);
            arrivals.push_back({uint32_t(20 * i) + delay, i});
        }
        std::stable_sort(arrivals.begin(), arrivals.end(),
                         [](const Arrival& a, const Arrival& b) { return a.ms < b.ms; });
        rtp::RTPSession session;
        uint8_t payload[160];
        std::fill(std::begin(payload), std::end(payload), 0xD5);
        for (const Arrival& a : arrivals)
            session.receiveAt(5000 + a.ms,
                              header(uint16_t(c.firstSequence + a.index), 160u * uint32_t(a.index), 0x99), payload,
                              sizeof payload);
        const int trueLoss = c.packets - int(arrivals.size());
        const kbrphone::CallStatistics s = kbrphone::readCallStatistics(session);
        EXPECT_EQ(s.expected, c.packets);
        EXPECT_EQ(s.lost, trueLoss);
    }
}

// One key sent as telephone events in the usual way: 14 event packets with durations 160 to 2240
// in place of audio frames, an end packet in place of the 15th, two more end packets beside the
// next two audio frames; all of them carry the timestamp of the event's start.
TEST(CallStatisticsForJava, TelephoneEventsDoNotCountAsJitterOrLate) {
    for (uint32_t extraDelayMs : {0u, 30u}) {
        SCOPED_TRACE("audio after the key delayed by " + std::to_string(extraDelayMs) + " ms");
        rtp::RTPSession session;
        uint8_t audio[160];
        std::fill(std::begin(audio), std::end(audio), 0xD5);
        const uint8_t event[4] = {5, 10, 0, 160};
        uint16_t sequence = 7000;
        uint32_t timestamp = 123456, arrival = 5000;
        auto sendAudio = [&](uint32_t delay) {
            rtp::RTPHeader h = header(sequence++, timestamp, 0x42);
            session.receiveAt(arrival + delay, h, audio, sizeof audio);
        };
        auto sendEvent = [&](uint32_t eventTimestamp) {
            rtp::RTPHeader h = header(sequence++, eventTimestamp, 0x42);
            h.payloadType = 101;
            session.receiveAt(arrival, h, event, sizeof event);
        };
        for (int i = 0; i < 10; ++i, timestamp += 160, arrival += 20)
            sendAudio(0);
        const uint32_t start = timestamp;
        for (int i = 0; i < 15; ++i, timestamp += 160, arrival += 20)
            sendEvent(start);
        for (int i = 0; i < 2; ++i, timestamp += 160, arrival += 20) {
            sendEvent(start);
            sendAudio(i == 0 ? extraDelayMs : 0);
        }
        for (int i = 0; i < 10; ++i, timestamp += 160, arrival += 20)
            sendAudio(0);
        const kbrphone::CallStatistics s = kbrphone::readCallStatistics(session);
        EXPECT_EQ(s.expected, 10 + 15 + 4 + 10);
        EXPECT_EQ(s.lost, 0);
        // On time, nothing is late; 30 ms late once, the one late audio packet and the one after it.
        const int late = extraDelayMs ? 2 : 0;
        EXPECT_EQ(s.late80, late);
        EXPECT_EQ(s.late160, late);
        EXPECT_EQ(s.late240, late);
        // The late packet is 240 units off (30 ms), the next one too; then ten on time.
        int jitter16 = 0;
        if (extraDelayMs) {
            jitter16 = 240;
            jitter16 += 240 - (jitter16 >> 4);
            for (int i = 0; i < 10; ++i)
                jitter16 -= jitter16 >> 4;
        }
        EXPECT_EQ(s.jitter, jitter16 >> 4);
    }
}

} // namespace
