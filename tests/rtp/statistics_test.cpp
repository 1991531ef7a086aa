// Receive statistics: which packets are played, the resynchronisation on a sequence jump, the
// wrap of the sequence number, the jitter estimate and the end-of-call figures.
#include "RTPSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
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
};

TEST(ReceiveStatistics, SequenceRules) {
    const SequenceCase cases[] = {
        {"in order", {100, 101, 102}, {true, true, true}, 102, 0, 0},
        {"gaps up to nine", {100, 101, 105, 114, 124}, {true, true, true, true, false}, 114, 1, 0},
        {"a jump is followed after three in a row",
         {100, 101, 105, 200, 201, 202, 203},
         {true, true, true, false, false, true, true},
         203,
         0,
         0},
        {"duplicates and old packets", {100, 101, 101, 99, 102}, {true, true, false, false, true}, 102, 2, 0},
        {"a broken run starts over",
         {100, 300, 301, 500, 501, 502},
         {true, false, false, false, false, true},
         502,
         2,
         0},
        {"wrap", {65534, 65535, 0, 1}, {true, true, true, true}, 1, 0, 65536},
        {"wrap with a gap of nine", {65530, 3}, {true, true}, 3, 0, 65536},
        {"wrap with a gap of ten", {65530, 4}, {true, false}, 65530, 1, 0},
        {"backward jump followed", {5000, 7, 8, 9}, {true, false, false, true}, 9, 0, 0},
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
        EXPECT_EQ(s.baseSequence, c.sequence[0]);
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

} // namespace
