// Whose packets a call takes: the far end the session description names, a new sender only once the
// one followed has gone quiet and the new one sends in sequence (a far end behind NAT), never a
// sender that talks over the far end.
#include "RTPSession.h"
#include "RTPSourceFilter.h"
#include "RTPStream.h"
#include "rtp_support.h"

#include "plat/time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <sys/ioctl.h>
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

// The receive thread stamps each datagram with the process clock: held, a busy machine that runs the
// test's sender late makes no pause of the far end, and a pause is what the test makes it.
struct HeldProcessClock {
    HeldProcessClock() { plat::testing::holdProcessClock(true); }
    ~HeldProcessClock() {
        plat::testing::holdProcessClock(false);
        plat::testing::setProcessClockOffsetMs(0);
    }
    void advance(int64_t ms) {
        plat::testing::setProcessClockOffsetMs(plat::testing::processClockOffsetMs() + ms);
    }
};

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
    bool newPortEach = false;
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
    const kmt::SocketAddress natOtherPort = host("198.51.100.7", 62000);
    const int quiet = int(rtp::RTPSourceFilter::kQuietMs);
    const int run = rtp::RTPSourceFilter::kRunPackets;
    // The packets the far end's own change loses when it follows at once on the source before.
    const int change = int(rtp::RTPSourceFilter::kChangeMs) / 20 - 1;
    const uint32_t farSsrc = 0xFA;
    const SourceCase cases[] = {
        {"the far end", {{far, 0, 50, 50}}},
        {"the far end in IPv4-mapped form", {{mappedV6("192.0.2.10", 40000), 0, 50, 50}}},
        {"another sender talking over the far end", {{far, 0, 100, 100}, {intruder, 10, 90, 0}}},
        {"the far end's host on another port talking over it", {{far, 0, 100, 100}, {farOtherPort, 10, 90, 0}}},
        // One SSRC at a time from the far end's address too: another waits until the one taken is
        // quiet for a few packet times, and then takes the stream at its first packet.
        {"another SSRC at the far end's address talking over it",
         {{far, 0, 100, 100, 1, false, farSsrc}, {far, 10, 90, 0, 1, false, 0x5EC}}},
        {"a new SSRC at the far end's address after the old one went quiet",
         {{far, 0, 50, 50, 1, false, farSsrc}, {far, 980 + quiet + 20, 30, 30, 1, false, 0x5EC}}},
        {"a new SSRC at the far end's address right after the old one",
         {{far, 0, 50, 50, 1, false, farSsrc}, {far, 1000, 30, 30 - change, 1, false, 0x5EC, 7}}},
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
        // on) while a few packets a second still come from the old one: the new port takes the stream
        // a few packet times after the old one's last packet, and the trickle is not played.
        {"a trickle from the old port of a far end that moved",
         {{nat, 0, 50, 50 - (run - 1), 1, false, farSsrc},
          {natMoved, 1000, 100, 100 - change, 1, false, farSsrc, 1050},
          {nat, 1200, 5, 0, 1, false, farSsrc, 2000, 400}}},
        // A third sender at half the stream's rate or at its rate, in sequence from before the far
        // end moved: the far end on its new port takes the stream a few packet times after the old
        // port's last packet, and the third sender (another SSRC) never does.
        {"a third sender at 25 a second beside a far end that moved",
         {{far, 0, 50, 50, 1, false, farSsrc},
          {intruder, 0, 75, 0, 1, false, 0x3D, 1000, 40},
          {natMoved, 1000, 100, 100 - change, 1, false, farSsrc, 1050}}},
        {"a third sender at 50 a second beside a far end that moved",
         {{far, 0, 50, 50, 1, false, farSsrc},
          {intruder, 0, 150, 0, 1, false, 0x3D},
          {natMoved, 1000, 100, 100 - change, 1, false, farSsrc, 1050}}},
        {"a flood of new senders beside a far end that moved",
         {{far, 0, 50, 50, 1, false, farSsrc},
          {intruder, 0, 150, 0, 1, true, 0, 1000, 10},
          {natMoved, 1000, 100, 100 - change, 1, false, farSsrc, 1050}}},
        // A spray of a fresh SSRC in every packet, 1000 a second, from one port or from a new port each
        // time: it pushes out its own entries, never the far end's that is still making its run.
        {"a spray from one port while the far end moves to a new port",
         {{far, 0, 50, 50, 1, false, farSsrc},
          {intruder, 500, 6000, 0, 7, true, 0, 1000, 1},
          {natMoved, 1000, 300, 300 - change, 1, false, farSsrc, 1050}}},
        {"behind NAT from the start with a spray from one port",
         {{intruder, 0, 5000, 0, 7, true, 0, 1000, 1}, {nat, 0, 250, 250 - (run - 1)}}},
        {"behind NAT from the start with a spray from another port of its host",
         {{natOtherPort, 0, 5000, 0, 7, true, 0, 1000, 1}, {nat, 0, 250, 250 - (run - 1)}}},
        {"behind NAT from the start with a spray from a new port each time",
         {{intruder, 0, 5000, 0, 7, true, 0, 1000, 1, true}, {nat, 0, 250, 250 - (run - 1)}}},
        // The named far end is always heard, and then it is the one followed again.
        {"the far end back after a new sender was followed",
         {{far, 0, 10, 10, 1, false, farSsrc}, {nat, 1000, 20, 20 - (run - 1)},
          {far, 1400, 20, 20, 1, false, farSsrc, 1010}, {nat, 1410, 20, 0, 1, false, 0, 1020}}},
        {"the far end heard first after a sender from elsewhere took the stream",
         {{nat, 0, 20, 20 - (run - 1)}, {far, 400, 20, 20}, {nat, 410, 20, 0}}},
        // The far end changed its SSRC: the one it had before comes back like any change of its own.
        {"the far end's first SSRC back at its address after it changed to another",
         {{far, 0, 10, 10, 1, false, farSsrc}, {far, 1000, 20, 20, 1, false, 0x5EC},
          {far, 1400, 20, 20 - change, 1, false, farSsrc}}},
        // A second SSRC at its address that took the stream in a pause is not the far end's own until
        // the far end's SSRC has been quiet for the quiet time: the far end's comes back at once, and
        // the other is not played again while the far end sends.
        {"the far end's SSRC back at its address soon after another SSRC took the stream",
         {{far, 0, 20, 20, 1, false, farSsrc}, {far, 480, 20, 1, 1, false, 0x5EC, 5000, 40},
          {far, 500, 20, 20, 1, false, farSsrc, 1020, 40}}},
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
            const kmt::SocketAddress from = b.newPortEach ? b.from.withPort(uint16_t(2000 + p.index)) : b.from;
            taken[p.burst] += filter.accept(from, h, 10000 + p.atMs);
        }
        for (size_t b = 0; b < c.bursts.size(); ++b)
            EXPECT_EQ(taken[b], c.bursts[b].taken) << "burst " << b;
    }
}

// What the speaker plays when the far end itself changes: a PBX that answers the early media of a 183
// with one SSRC and the 200 with another from the same port, an SSRC change in the middle of a call, a
// NAT that moves the far end to a new port. The filter and the call's jitter buffer on a simulated
// clock: packets every 20 ms, the audio thread taking a frame every 20 ms half way between them. The
// longest stretch of frames that are not the far end's audio counts from the change on.
struct Segment {
    kmt::SocketAddress from;
    uint32_t ssrc;
    uint16_t firstSequence;
    int atMs; // of its first packet; one every 20 ms from there
    int packets;
};

struct ChangeCase {
    const char* name;
    std::vector<Segment> segments;
    int changeMs;   // the gap is measured from here on
    int longestGap; // ms at most
};

TEST(RTPSourceFilter, TheFarEndsOwnChangesLeaveAtMostAFewPacketTimesOfSilence) {
    const kmt::SocketAddress far = host("192.0.2.10", 40000);
    const kmt::SocketAddress farMoved = host("192.0.2.10", 40100);
    const kmt::SocketAddress nat = host("198.51.100.7", 61000);
    const kmt::SocketAddress natMoved = host("198.51.100.7", 61044);
    const ChangeCase cases[] = {
        {"the 200 with another SSRC than the early media, from the same port",
         {{far, 0xA, 100, 0, 50}, {far, 0xB, 40000, 1000, 100}}, 1000, 100},
        {"an SSRC change in the middle of the call, its sequence going on",
         {{far, 0xA, 100, 0, 50}, {far, 0xB, 150, 1000, 100}}, 1000, 100},
        {"its SSRC from a new port, the old one silent", {{far, 0xA, 100, 0, 50}, {farMoved, 0xA, 150, 1000, 100}},
         1000, 100},
        {"behind NAT, its SSRC from a new port of the router",
         {{nat, 0xA, 100, 0, 50}, {natMoved, 0xA, 150, 1000, 100}}, 1000, 100},
        // Away from its port with a new SSRC it is a stranger and waits; back with the one it had, it is
        // taken at once.
        {"back at its port with its first SSRC after a stranger's turn",
         {{far, 0xA, 100, 0, 50}, {farMoved, 0xB, 5000, 1000, 50}, {far, 0xA, 150, 2000, 50}}, 1900, 100},
        {"back at its port with the SSRC it changed to",
         {{far, 0xA, 100, 0, 25}, {far, 0xB, 500, 500, 25}, {farMoved, 0xC, 5000, 1000, 50},
          {far, 0xB, 525, 2000, 50}},
         1900, 100},
    };
    for (const ChangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        rtp::RTPSourceFilter filter;
        filter.expect(far);
        rtp::RTPSession session;
        struct Packet {
            int atMs;
            size_t segment;
            int index;
        };
        std::vector<Packet> packets;
        int endMs = 0;
        for (size_t k = 0; k < c.segments.size(); ++k) {
            const Segment& g = c.segments[k];
            for (int i = 0; i < g.packets; ++i)
                packets.push_back({g.atMs + 20 * i, k, i});
            endMs = std::max(endMs, g.atMs + 20 * g.packets);
        }
        std::stable_sort(packets.begin(), packets.end(),
                         [](const Packet& a, const Packet& b) { return a.atMs < b.atMs; });
        // Each segment's payload is a level of its own, so that a frame tells whose audio it is.
        const auto fill = [](size_t segment) { return uint8_t(0xD5 ^ (0x30 + 0x10 * segment)); };
        size_t next = 0;
        int gapMs = 0, longestGap = 0;
        bool played = false;
        for (int t = 10; t < endMs; t += 20) {
            for (; next < packets.size() && packets[next].atMs < t; ++next) {
                const Packet& p = packets[next];
                const Segment& g = c.segments[p.segment];
                rtp::RTPHeader h;
                h.sequenceNumber = uint16_t(g.firstSequence + p.index);
                h.timestamp = 160u * uint32_t(g.firstSequence + p.index);
                h.ssrc = g.ssrc;
                h.payloadType = rtp::RTPSession::kPayloadTypePcma;
                const Bytes payload(160, fill(p.segment));
                if (filter.accept(g.from, h, 50000 + p.atMs))
                    session.receiveAt(uint32_t(50000 + p.atMs), h, payload.data(), payload.size());
            }
            int16_t frame[160];
            ASSERT_TRUE(session.getFrame(uint32_t(t / 20), frame, 160, false));
            bool audio = false;
            for (size_t k = 0; k < c.segments.size() && !audio; ++k)
                audio = std::all_of(frame, frame + 160, [&](int16_t v) {
                    return v == rtp::RTPSession::decodeALaw(fill(k));
                });
            played = played || audio;
            gapMs = audio ? 0 : gapMs + 20;
            if (played && t >= c.changeMs)
                longestGap = std::max(longestGap, gapMs);
        }
        EXPECT_LE(longestGap, c.longestGap);
    }
}

// A second sender on the call's port with another SSRC, interleaved with the far end, over real
// sockets, from another address or forged from the far end's own: neither its audio nor its
// sequence numbers reach the call.
TEST(RTPSourceFilter, AnIntruderNeitherPlaysNorSpoilsTheStatistics) {
    for (const bool fromFarEndsAddress : {false, true}) {
        SCOPED_TRACE(fromFarEndsAddress ? "from the far end's address" : "from another address");
        HeldProcessClock clock; // the far end never pauses
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

// Waits (at most 5 s) until the call's receive thread has taken every datagram off its socket and
// handled the last one (under the receive lock, which followedSource takes once it is free).
bool allRead(rtp::RTPSession& session) {
    const int fd = plat::socketFd(session.getStream().rtpSocketHandle());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int waiting = 1;
    while (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    session.getStream().followedSource();
    return waiting == 0;
}

// Rtp packets of one source, one at a time, each sent once the one before was counted by the call.
void sendCounted(rtp::RTPSession& session, UdpPeer& from, uint32_t ssrc, uint16_t firstSequence, int packets) {
    const uint16_t port = session.getStream().rtpLocalAddress().port();
    for (int i = 0; i < packets; ++i) {
        const int before = session.receiveStatistics().received;
        Bytes p = rtpPacket(uint16_t(firstSequence + i), ssrc, 0xD5);
        from.sendTo(port, p.data(), p.size());
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (session.receiveStatistics().received == before && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(session.receiveStatistics().received, before + 1) << "packet " << i << " taken";
    }
}

// The far end's own changes over real sockets, each a few packet times after the packets before it:
// a 200 with another SSRC than the early media from the same port, then that SSRC from a new port
// (NAT). Every packet is taken, and the statistics follow each new SSRC.
TEST(RTPSourceFilter, TheFarEndsOwnChangesAreTakenFromTheirFirstPacket) {
    HeldProcessClock clock;
    rtp::RTPSession session;
    UdpPeer far, moved;
    session.start(far.address(), kmt::SocketAddress(), -1);
    const struct {
        const char* what;
        UdpPeer& from;
        uint32_t ssrc;
        uint16_t firstSequence;
    } steps[] = {
        {"the early media", far, 0xA, 100},
        {"the 200's SSRC from the same port", far, 0xB, 40000},
        {"its SSRC from a new port", moved, 0xB, 40010},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        clock.advance(rtp::RTPSourceFilter::kChangeMs);
        sendCounted(session, step.from, step.ssrc, step.firstSequence, 10);
        EXPECT_EQ(session.getStream().followedSource(), step.from.address());
        EXPECT_EQ(session.receiveStatistics().sourceSsrc, step.ssrc);
    }
    const rtp::CallStatistics s = session.callStatistics();
    EXPECT_EQ(s.ssrc, 0xAu) << "the first source is the one reported";
    EXPECT_EQ(s.expected, 30);
    EXPECT_EQ(s.lost, 0);
    session.stop();
}

// A sender that sprays a fresh SSRC in every packet at the call's port, ten for each of the far end's,
// while a far end behind NAT (sending from another address than it names) makes its run: it is heard
// after the run all the same.
TEST(RTPSourceFilter, AFarEndBehindNatIsHeardThroughASprayOfFreshSsrcs) {
    HeldProcessClock clock;
    rtp::RTPSession session;
    UdpPeer far, sprayer;
    session.start(host("127.0.0.2", far.port()), kmt::SocketAddress(), -1);
    const uint16_t port = session.getStream().rtpLocalAddress().port();
    const int run = rtp::RTPSourceFilter::kRunPackets, rounds = 60, spray = 10;
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < spray; ++i) {
            Bytes p = rtpPacket(uint16_t(7 * (r * spray + i)), 0x50000u + uint32_t(r * spray + i), 0x55);
            sprayer.sendTo(port, p.data(), p.size());
        }
        if (r < run - 1) {
            // Not taken before its run is complete: the round goes once the call has read the one
            // before off its socket.
            Bytes p = rtpPacket(uint16_t(3000 + r), 0xFA, 0xD5);
            far.sendTo(port, p.data(), p.size());
            ASSERT_TRUE(allRead(session)) << "round " << r;
            continue;
        }
        ASSERT_NO_FATAL_FAILURE(sendCounted(session, far, 0xFA, uint16_t(3000 + r), 1)) << "round " << r;
    }
    EXPECT_EQ(session.receiveStatistics().received, rounds - (run - 1));
    EXPECT_EQ(session.getStream().followedSource(), far.address());
    const rtp::CallStatistics s = session.callStatistics();
    EXPECT_EQ(s.ssrc, 0xFAu);
    EXPECT_EQ(s.lost, 0);
    session.stop();
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
    // The far end's packets from its new port are taken once its old one has been quiet for a few
    // packet times.
    EXPECT_EQ(farTaken, 1000 - (int(rtp::RTPSourceFilter::kChangeMs) / 20 - 1));
    EXPECT_EQ(filter.followed(), moved);
    EXPECT_LE(log.count("rtp", 2, "ignoring rtp from "), 2u) << "the first, and one an interval later at most";
    EXPECT_GE(log.count("rtp", 2, "ignoring rtp from "), 1u);
    EXPECT_EQ(log.count("rtp", 1, "rtp source changed to 192.0.2.10:40100"), 1u);
}

} // namespace
