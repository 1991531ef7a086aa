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

using rtptest::CaptureLog;
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

// Packets of one source: count packets every periodMs from atMs (after the far end was named).
struct Burst {
    kmt::SocketAddress from;
    int atMs;
    int count;
    int taken;            // how many of them the call takes
    int sequenceStep = 1; // 1: in sequence
    bool newSsrcEach = false;
    uint32_t ssrc = 0; // 0: one of the burst's own
    uint16_t firstSequence = 1000;
    int periodMs = 20;
};

struct SourceCase {
    const char* name;
    std::vector<Burst> bursts; // merged by time, in the order given at the same time
};

TEST(RTPSourceFilter, WhoMayTakeOverTheStream) {
    const kmt::SocketAddress far = host("192.0.2.10", 40000);
    const kmt::SocketAddress nat = host("198.51.100.7", 61000);
    const kmt::SocketAddress natMoved = host("198.51.100.7", 61044);
    const kmt::SocketAddress intruder = host("203.0.113.66", 5004);
    const kmt::SocketAddress farOtherPort = host("192.0.2.10", 40002);
    const int quiet = int(rtp::RTPSourceFilter::kQuietMs);
    const int run = rtp::RTPSourceFilter::kRunPackets;
    const uint32_t farSsrc = 0xFA;
    const SourceCase cases[] = {
        {"the far end", {{far, 0, 50, 50}}},
        {"the far end in IPv4-mapped form", {{mappedV6("192.0.2.10", 40000), 0, 50, 50}}},
        {"another sender talking over the far end", {{far, 0, 100, 100}, {intruder, 10, 90, 0}}},
        {"the far end's host on another port talking over it", {{far, 0, 100, 100}, {farOtherPort, 10, 90, 0}}},
        // One SSRC at a time from the far end's address too: another waits until the one taken is
        // quiet, as a new address does.
        {"another SSRC at the far end's address talking over it",
         {{far, 0, 100, 100, 1, false, farSsrc}, {far, 10, 90, 0, 1, false, 0x5EC}}},
        {"a new SSRC at the far end's address after the old one went quiet",
         {{far, 0, 50, 50, 1, false, farSsrc}, {far, 980 + quiet + 20, 30, 30 - (run - 1), 1, false, 0x5EC}}},
        // Until the far end has sent anything, a run is enough: a far end behind NAT, or one that
        // sends from another address than the one it names, loses only the run.
        {"behind NAT from the start", {{nat, 0, 50, 50 - (run - 1)}}},
        {"two senders from the start", {{nat, 0, 50, 50 - (run - 1)}, {intruder, 10, 50, 0}}},
        {"a new sender after the far end went quiet", {{far, 0, 50, 50}, {nat, 980 + quiet + 20, 30, 30 - (run - 1)}}},
        {"a new sender before the far end was quiet long enough", {{far, 0, 50, 50}, {nat, 1000, (quiet - 40) / 20, 0}}},
        // Each source has a run of its own: two senders do not spoil each other's.
        {"two alternating senders after the far end went quiet",
         {{far, 0, 10, 10}, {nat, 1000, 50, 50 - (run - 1)}, {intruder, 1010, 50, 0}}},
        {"a new sender out of sequence", {{far, 0, 10, 10}, {intruder, 1000, 40, 0, 2}}},
        {"a new sender with a new SSRC in every packet", {{far, 0, 10, 10}, {intruder, 1000, 40, 0, 1, true}}},
        // The far end behind NAT moves to a new port of its router (same SSRC, its sequence going
        // on) while a few packets a second still come from the old one: a trickle is no talker. The
        // old port is taken while its last packets came fast enough (the first two of the trickle).
        {"a trickle from the old port of a far end that moved",
         {{nat, 0, 50, 50 - (run - 1), 1, false, farSsrc},
          {natMoved, 1000, 100, 69, 1, false, farSsrc, 1050},
          {nat, 1200, 5, 2, 1, false, farSsrc, 2000, 400}}},
        // A third sender at half the stream's rate or at its rate, in sequence from before the far
        // end moved: the far end on its new port takes the stream once the old port has been quiet
        // for the quiet time, and the third sender (another SSRC) waits for it.
        {"a third sender at 25 a second beside a far end that moved",
         {{far, 0, 50, 50, 1, false, farSsrc},
          {intruder, 0, 75, 0, 1, false, 0x3D, 1000, 40},
          {natMoved, 1000, 100, 100 - (quiet - 20) / 20, 1, false, farSsrc, 1050}}},
        {"a third sender at 50 a second beside a far end that moved",
         {{far, 0, 50, 50, 1, false, farSsrc},
          {intruder, 0, 150, 0, 1, false, 0x3D},
          {natMoved, 1000, 100, 100 - (quiet - 20) / 20, 1, false, farSsrc, 1050}}},
        {"a flood of new senders beside a far end that moved",
         {{far, 0, 50, 50, 1, false, farSsrc},
          {intruder, 0, 150, 0, 1, true, 0, 1000, 10},
          {natMoved, 1000, 100, 100 - (quiet - 20) / 20, 1, false, farSsrc, 1050}}},
        // The named far end is always heard, and then it is the one followed again.
        {"the far end back after a new sender was followed",
         {{far, 0, 10, 10, 1, false, farSsrc}, {nat, 1000, 20, 20 - (run - 1)},
          {far, 1400, 20, 20, 1, false, farSsrc, 1010}, {nat, 1410, 20, 0, 1, false, 0, 1020}}},
        {"the far end heard first after a sender from elsewhere took the stream",
         {{nat, 0, 20, 20 - (run - 1)}, {far, 400, 20, 20}, {nat, 410, 20, 0}}},
        {"the far end's SSRC back at its address after another SSRC took the stream",
         {{far, 0, 10, 10, 1, false, farSsrc}, {far, 1000, 20, 20 - (run - 1), 1, false, 0x5EC},
          {far, 1400, 20, 0, 1, false, farSsrc}}},
    };
    for (const SourceCase& c : cases) {
        SCOPED_TRACE(c.name);
        rtp::RTPSourceFilter filter;
        filter.expect(far);
        struct Packet {
            int atMs;
            size_t burst;
            int index;
        };
        std::vector<Packet> packets;
        for (size_t b = 0; b < c.bursts.size(); ++b)
            for (int i = 0; i < c.bursts[b].count; ++i)
                packets.push_back({c.bursts[b].atMs + c.bursts[b].periodMs * i, b, i});
        std::stable_sort(packets.begin(), packets.end(),
                         [](const Packet& a, const Packet& b) { return a.atMs < b.atMs; });
        std::vector<int> taken(c.bursts.size());
        for (const Packet& p : packets) {
            const Burst& b = c.bursts[p.burst];
            rtp::RTPHeader h;
            h.sequenceNumber = uint16_t(b.firstSequence + b.sequenceStep * p.index);
            h.ssrc = (b.ssrc ? b.ssrc : 0x100u * uint32_t(p.burst + 1)) + (b.newSsrcEach ? uint32_t(p.index) : 0u);
            taken[p.burst] += filter.accept(b.from, h, 10000 + p.atMs);
        }
        for (size_t b = 0; b < c.bursts.size(); ++b)
            EXPECT_EQ(taken[b], c.bursts[b].taken) << "burst " << b;
    }
}

// A second sender on the call's port with another SSRC, interleaved with the far end, over real
// sockets, from another address or forged from the far end's own: neither its audio nor its
// sequence numbers reach the call.
TEST(RTPSourceFilter, AnIntruderNeitherPlaysNorSpoilsTheStatistics) {
    for (const bool fromFarEndsAddress : {false, true}) {
        SCOPED_TRACE(fromFarEndsAddress ? "from the far end's address" : "from another address");
        rtp::RTPSession session;
        UdpPeer far;
        UdpPeer other;
        UdpPeer& intruder = fromFarEndsAddress ? far : other;
        session.start(far.address(), kmt::SocketAddress(), -1);
        const uint16_t port = session.getStream().rtpLocalAddress().port();
        const uint8_t farFill = 0xD5 ^ 0x3A, intruderFill = 0xD5 ^ 0x6C;
        const int packets = 200, batch = 10;
        // Paced by what the call has read: each batch goes once the one before is in. The far end
        // speaks first (its address's first SSRC is the one taken); after that the intruder's packet
        // of a pair goes first, so that the far end's packets read tell that it was read too.
        int sent = 0;
        for (int i = 0; i < packets; ++i) {
            Bytes x = rtpPacket(uint16_t(5 * i), 0x1D + uint32_t(i / 50), intruderFill);
            Bytes f = rtpPacket(uint16_t(30000 + i), 0xFA, farFill);
            if (i == 0)
                far.sendTo(port, f.data(), f.size());
            intruder.sendTo(port, x.data(), x.size());
            if (i > 0)
                far.sendTo(port, f.data(), f.size());
            ++sent;
            if (sent % batch == 0 || sent == packets) {
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (session.receiveStatistics().highestSequence != 30000 + sent - 1 &&
                       std::chrono::steady_clock::now() < end)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ASSERT_EQ(session.receiveStatistics().highestSequence, 30000 + sent - 1) << "read so far";
            }
        }
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
}

// A far end whose session description names another address than the one it sends from (behind
// NAT; linphone naming its ICE address) has sent nothing from the named one yet: its packets are
// taken after a short run, over real sockets, with nothing counted lost.
TEST(RTPSourceFilter, AFarEndSendingFromAnotherAddressAtCallStartLosesOnlyItsFirstRun) {
    rtp::RTPSession session;
    UdpPeer far;
    // The address it names: another loopback address, where nothing of the test listens.
    session.start(host("127.0.0.2", far.port()), kmt::SocketAddress(), -1);
    const uint16_t port = session.getStream().rtpLocalAddress().port();
    const int packets = 50, run = rtp::RTPSourceFilter::kRunPackets, batch = 10;
    for (int sent = 0; sent < packets;) {
        for (int i = 0; i < batch; ++i, ++sent) {
            Bytes p = rtpPacket(uint16_t(7000 + sent), 0xBEE, 0xD5);
            far.sendTo(port, p.data(), p.size());
        }
        // Paced by what the call has read: all but the run's first packets are taken.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (session.receiveStatistics().received < sent - (run - 1) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(session.receiveStatistics().received, sent - (run - 1));
    }
    const rtp::CallStatistics s = session.callStatistics();
    EXPECT_EQ(s.expected, packets - (run - 1));
    EXPECT_EQ(s.lost, 0);
    EXPECT_EQ(session.getStream().followedSource(), far.address());
    session.stop();
}

// A sender that makes up a new source with every packet (a new SSRC each, or a new port) is
// refused in one line for the call, then one per interval: it neither fills the log nor pushes out
// the far end, which moves to a new port of its NAT in the middle of it.
TEST(RTPSourceFilter, AFloodOfNewSourcesCostsOneLogLineAndKeepsNoMovedFarEndOut) {
    CaptureLog& log = CaptureLog::instance();
    log.clear();
    rtp::RTPSourceFilter filter;
    const kmt::SocketAddress far = host("192.0.2.10", 40000);
    const kmt::SocketAddress moved = host("192.0.2.10", 40100);
    filter.expect(far);
    int farTaken = 0, floodTaken = 0;
    for (int i = 0; i < 2000; ++i) {
        const int64_t at = 10000 + 10 * i;
        rtp::RTPHeader h;
        if (i % 2 == 0) {
            h.ssrc = 0xFA;
            h.sequenceNumber = uint16_t(100 + i / 2);
            farTaken += filter.accept(i < 1000 ? far : moved, h, at);
        }
        h.ssrc = 0x10000u + uint32_t(i);
        h.sequenceNumber = uint16_t(7 * i);
        floodTaken += filter.accept(host("203.0.113.66", uint16_t(5000 + i % 3000)), h, at);
        h.ssrc = 0x1D;
        floodTaken += filter.accept(host("203.0.113.67", uint16_t(5000 + i)), h, at);
    }
    EXPECT_EQ(floodTaken, 0);
    // The far end's packets from its new port are taken once its old one has been quiet.
    EXPECT_EQ(farTaken, 1000 - int(rtp::RTPSourceFilter::kQuietMs - 20) / 20);
    EXPECT_EQ(filter.followed(), moved);
    EXPECT_LE(log.count("rtp", 2, "ignoring rtp from "), 2u) << "the first, and one an interval later at most";
    EXPECT_GE(log.count("rtp", 2, "ignoring rtp from "), 1u);
    EXPECT_EQ(log.count("rtp", 1, "rtp source changed to 192.0.2.10:40100"), 1u);
}

} // namespace
