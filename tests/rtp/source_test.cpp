// Whose packets a call takes: the far end the session description names, a new sender only once the
// one followed has gone quiet and the new one sends in sequence (a far end behind NAT), never a
// sender that talks over the far end.
#include "RTPSession.h"
#include "RTPSourceFilter.h"
#include "RTPStream.h"
#include "rtp_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <thread>
#include <vector>

namespace {

using rtptest::UdpPeer;
using Bytes = std::vector<uint8_t>;

Bytes rtpPacket(uint16_t sequence, uint32_t ssrc, uint8_t fill) {
    Bytes b(12 + 160, fill);
    b[0] = 0x80;
    b[1] = 8;
    rtp::storeBE16(b.data() + 2, sequence);
    rtp::storeBE32(b.data() + 4, 160u * sequence);
    rtp::storeBE32(b.data() + 8, ssrc);
    return b;
}

kmt::SocketAddress host(const char* address, uint16_t port) {
    return kmt::SocketAddress::fromHost(address).withPort(port);
}

kmt::SocketAddress mappedV6(const char* v4, uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr.s6_addr[10] = 0xFF;
    a.sin6_addr.s6_addr[11] = 0xFF;
    inet_pton(AF_INET, v4, &a.sin6_addr.s6_addr[12]);
    return kmt::SocketAddress(reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// Packets of one sender: count packets every 20 ms from atMs (after the far end was named).
struct Burst {
    kmt::SocketAddress from;
    int atMs;
    int count;
    int taken;            // how many of them the call takes
    int sequenceStep = 1; // 1: in sequence
    bool newSsrcEach = false;
};

struct SourceCase {
    const char* name;
    std::vector<Burst> bursts; // merged by time
};

TEST(RTPSourceFilter, WhoMayTakeOverTheStream) {
    const kmt::SocketAddress far = host("192.0.2.10", 40000);
    const kmt::SocketAddress nat = host("198.51.100.7", 61000);
    const kmt::SocketAddress intruder = host("203.0.113.66", 5004);
    const kmt::SocketAddress farOtherPort = host("192.0.2.10", 40002);
    const int quiet = int(rtp::RTPSourceFilter::kQuietMs);
    const int run = rtp::RTPSourceFilter::kRunPackets;
    const SourceCase cases[] = {
        {"the far end", {{far, 0, 50, 50}}},
        {"the far end in IPv4-mapped form", {{mappedV6("192.0.2.10", 40000), 0, 50, 50}}},
        {"another sender talking over the far end", {{far, 0, 100, 100}, {intruder, 10, 90, 0}}},
        {"the far end's host on another port talking over it", {{far, 0, 100, 100}, {farOtherPort, 10, 90, 0}}},
        // Behind NAT the far end's packets never come from the named address: they are taken once
        // nothing came from it for the quiet time and the new sender has sent a run in sequence.
        {"behind NAT from the start", {{nat, 0, 50, 50 - quiet / 20}}},
        {"a new sender after the far end went quiet", {{far, 0, 50, 50}, {nat, 980 + quiet + 20, 30, 30 - (run - 1)}}},
        {"a new sender before the far end was quiet long enough", {{far, 0, 50, 50}, {nat, 1000, (quiet - 40) / 20, 0}}},
        {"a new sender out of sequence", {{far, 0, 10, 10}, {intruder, 1000, 40, 0, 2}}},
        {"a new sender with a new SSRC in every packet", {{far, 0, 10, 10}, {intruder, 1000, 40, 0, 1, true}}},
        // The named far end is always heard, and then it is the one followed again.
        {"the far end back after a new sender was followed",
         {{far, 0, 10, 10}, {nat, 1000, 20, 20 - (run - 1)}, {far, 1400, 20, 20}, {nat, 1410, 20, 0}}},
    };
    for (const SourceCase& c : cases) {
        SCOPED_TRACE(c.name);
        rtp::RTPSourceFilter filter;
        filter.expect(far, 10000);
        struct Packet {
            int atMs;
            size_t burst;
            int index;
        };
        std::vector<Packet> packets;
        for (size_t b = 0; b < c.bursts.size(); ++b)
            for (int i = 0; i < c.bursts[b].count; ++i)
                packets.push_back({c.bursts[b].atMs + 20 * i, b, i});
        std::stable_sort(packets.begin(), packets.end(),
                         [](const Packet& a, const Packet& b) { return a.atMs < b.atMs; });
        std::vector<int> taken(c.bursts.size());
        for (const Packet& p : packets) {
            const Burst& b = c.bursts[p.burst];
            rtp::RTPHeader h;
            h.sequenceNumber = uint16_t(1000 + b.sequenceStep * p.index);
            h.ssrc = 0x100u * uint32_t(p.burst + 1) + (b.newSsrcEach ? uint32_t(p.index) : 0u);
            taken[p.burst] += filter.accept(b.from, h, 10000 + p.atMs);
        }
        for (size_t b = 0; b < c.bursts.size(); ++b)
            EXPECT_EQ(taken[b], c.bursts[b].taken) << "burst " << b;
    }
}

// A second sender on the call's port with another SSRC, interleaved with the far end, over real
// sockets: neither its audio nor its sequence numbers reach the call.
TEST(RTPSourceFilter, AnIntruderNeitherPlaysNorSpoilsTheStatistics) {
    rtp::RTPSession session;
    UdpPeer far;
    UdpPeer intruder;
    session.start(far.address(), kmt::SocketAddress(), -1);
    const uint16_t port = session.getStream().rtpLocalAddress().port();
    const uint8_t farFill = 0xD5 ^ 0x3A, intruderFill = 0xD5 ^ 0x6C;
    const int packets = 200;
    for (int i = 0; i < packets; ++i) {
        Bytes f = rtpPacket(uint16_t(30000 + i), 0xFA, farFill);
        far.sendTo(port, f.data(), f.size());
        Bytes x = rtpPacket(uint16_t(5 * i), 0x1D + uint32_t(i / 50), intruderFill);
        intruder.sendTo(port, x.data(), x.size());
        if (i % 20 == 19)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Everything sent has been read once the far end's last packet is in.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (session.receiveStatistics().highestSequence != 30000 + packets - 1 &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const rtp::CallStatistics s = session.callStatistics();
    EXPECT_EQ(s.ssrc, 0xFAu);
    EXPECT_EQ(s.expected, packets);
    EXPECT_EQ(s.lost, 0);
    EXPECT_EQ(session.receiveStatistics().received, packets);
    EXPECT_EQ(session.getStream().followedSource(), far.address());
    // What plays is the far end's audio, never the intruder's.
    int16_t frame[160];
    int farSamples = 0, intruderSamples = 0;
    for (int f = 0; f < 40 && session.getFrame(uint32_t(f), frame, 160, false); ++f)
        for (int16_t v : frame) {
            farSamples += v == rtp::RTPSession::decodeALaw(farFill);
            intruderSamples += v == rtp::RTPSession::decodeALaw(intruderFill);
        }
    EXPECT_GT(farSamples, 0);
    EXPECT_EQ(intruderSamples, 0);
    session.stop();
}

} // namespace
