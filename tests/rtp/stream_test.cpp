// The RTP stream: the receive thread and its handler, remote addresses, QoS marking, bad datagrams
// on both sockets and the packet-log files.
#include "RTPSession.h"
#include "RTPStream.h"
#include "plat/dl.h"
#include "plat/sync.h"
#include "plat/time.h"
#include "rtp_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <netinet/ip.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using rtptest::CaptureLog;
using rtptest::UdpPeer;
using Bytes = std::vector<uint8_t>;

Bytes rtpPacket(uint16_t sequence, int payloadType, size_t payloadBytes, uint8_t fill = 0xD5) {
    Bytes b = {0x80, static_cast<uint8_t>(payloadType), 0, 0, 0, 0, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D};
    rtp::storeBE16(b.data() + 2, sequence);
    rtp::storeBE32(b.data() + 4, 160u * sequence);
    b.insert(b.end(), payloadBytes, fill);
    return b;
}

template <class Pred> bool waitUntil(Pred pred, int timeoutMs = 2000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

TEST(RTPStream, HandlerRunsOnTheReceiveThreadAsProAudio) {
    rtp::RTPStream stream;
    UdpPeer peer;
    std::mutex m;
    std::vector<rtp::RTPHeader> headers;
    std::vector<size_t> lengths;
    int priority = -1;
    plat::DWORD execution = 0;
    std::string task;
    std::thread::id handlerThread;
    stream.setPayloadHandler([&](rtp::RTPHeader h, void*, size_t length) {
        std::lock_guard<std::mutex> guard(m);
        headers.push_back(h);
        lengths.push_back(length);
        priority = plat::testing::currentThreadPriority();
        execution = plat::testing::currentExecutionState();
        handlerThread = std::this_thread::get_id();
        if (plat::HMODULE avrt = plat::LoadLibraryA("avrt.dll")) {
            using CurrentTask = const char* (*)();
            if (auto current =
                    reinterpret_cast<CurrentTask>(plat::GetProcAddress(avrt, "plat_avrt_current_task")))
                task = current() ? current() : "";
            plat::FreeLibrary(avrt);
        }
    });
    stream.start(peer.address(), kmt::SocketAddress());
    EXPECT_TRUE(stream.isRunning());
    Bytes p = rtpPacket(77, 0x80 | 8, 160);
    peer.sendTo(stream.rtpLocalAddress().port(), p.data(), p.size());
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> guard(m);
        return !headers.empty();
    }));
    std::lock_guard<std::mutex> guard(m);
    EXPECT_EQ(headers[0].sequenceNumber, 77);
    EXPECT_EQ(headers[0].marker, 1);
    EXPECT_EQ(headers[0].payloadType, 8);
    EXPECT_EQ(headers[0].ssrc, 0x0A0B0C0Du);
    EXPECT_EQ(lengths[0], 160u);
    EXPECT_EQ(priority, plat::THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_EQ(task, "Pro Audio");
    EXPECT_EQ(execution, plat::ES_CONTINUOUS | plat::ES_SYSTEM_REQUIRED) << "the receive thread keeps the system awake";
    EXPECT_NE(handlerThread, std::this_thread::get_id());
}

TEST(RTPStream, SocketsAndRemoteAddresses) {
    rtp::RTPStream stream;
    const uint16_t rtpPort = stream.rtpLocalAddress().port();
    const uint16_t rtcpPort = stream.rtcpLocalAddress().port();
    EXPECT_NE(rtpPort, 0);
    EXPECT_NE(rtcpPort, 0);
    EXPECT_NE(rtpPort, rtcpPort);

    // Before start there is no remote address: send does nothing.
    EXPECT_FALSE(stream.hasRemoteRtp());
    const uint8_t data[12] = {0x80};
    EXPECT_NO_THROW(stream.send(1, data, sizeof data));
    EXPECT_FALSE(stream.sendControl(data, sizeof data));

    const struct {
        const char* name;
        kmt::SocketAddress rtcp;
        uint16_t rtpPortGiven;
        uint16_t expectedRtcpPort;
        const char* expectedRtcpHost;
    } cases[] = {
        {"no RTCP address", kmt::SocketAddress(), 40000, 40001, "127.0.0.5"},
        {"all-zero RTCP address", kmt::SocketAddress::fromHost("0.0.0.0"), 40000, 40001, "127.0.0.5"},
        {"port wraps in 16 bits", kmt::SocketAddress(), 65535, 0, "127.0.0.5"},
        {"explicit RTCP address", rtptest::loopback(50123), 40000, 50123, "127.0.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kmt::SocketAddress remote = kmt::SocketAddress::fromHost("127.0.0.5").withPort(c.rtpPortGiven);
        stream.start(remote, c.rtcp);
        EXPECT_TRUE(stream.hasRemoteRtp());
        EXPECT_EQ(stream.remoteRtpAddress(), remote);
        EXPECT_EQ(stream.remoteRtcpAddress().port(), c.expectedRtcpPort);
        EXPECT_EQ(stream.remoteRtcpAddress().toString(), c.expectedRtcpHost);
    }
    stream.stop();
    stream.stop(); // a second stop does nothing
    EXPECT_FALSE(stream.isRunning());
}

TEST(RTPStream, RtpFlowIsMarkedAsVoice) {
    rtp::RTPStream stream;
    UdpPeer peer;
    stream.start(peer.address(), kmt::SocketAddress());
    int tos = -1;
    int len = sizeof tos;
    plat::getsockopt(stream.rtpSocketHandle(), IPPROTO_IP, IP_TOS, reinterpret_cast<char*>(&tos), &len);
    EXPECT_EQ(tos, 0xB8);
}

// A bad datagram costs a level-1 line, under a bound of the process per kind of line: the first,
// then one per interval. Nothing else of the call is lost: the session plays the next good packet.
// The bounds outlive the test (a second run in the process, or another test's bad datagram, would
// find them taken): they start as new here and are left so.
struct FreshProcessLogBounds {
    FreshProcessLogBounds() { rtp::testing::resetProcessLogBounds(); }
    ~FreshProcessLogBounds() { rtp::testing::resetProcessLogBounds(); }
};

TEST(RTPStream, BadDatagramsOnEitherSocketCostOneLogLinePerKindAndInterval) {
    FreshProcessLogBounds bounds;
    rtp::RTPSession session;
    UdpPeer peer;
    session.start(peer.address(), kmt::SocketAddress(), 101);
    const uint16_t rtpPort = session.getStream().rtpLocalAddress().port();
    const uint16_t rtcpPort = session.getStream().rtcpLocalAddress().port();
    CaptureLog& log = CaptureLog::instance();
    log.clear();

    Bytes csrc = rtpPacket(1, 8, 0);
    csrc[0] = 0x8F; // 15 CSRCs need 60 bytes; 20 follow
    csrc.insert(csrc.end(), 20, 0);
    Bytes ext0 = rtpPacket(1, 8, 0);
    ext0[0] = 0x90;
    ext0.insert(ext0.end(), {0xBE, 0xDE, 0, 0, 1, 2, 3, 4});
    Bytes extLong = rtpPacket(1, 8, 0);
    extLong[0] = 0x90;
    extLong.insert(extLong.end(), {0xBE, 0xDE, 0x10, 0x00, 1, 2, 3, 4});
    Bytes padding = rtpPacket(1, 8, 10);
    padding[0] = 0xA0;
    padding.back() = 200; // more padding than payload: an empty payload
    Bytes wrongType = rtpPacket(2, 0, 160);
    auto version = [](uint8_t first) {
        Bytes b = rtpPacket(2, 8, 160);
        b[0] = first;
        return b;
    };

    const struct {
        const char* name;
        Bytes datagram;
        bool toRtcp;
        const char* line; // the level-1 line it costs when it is the first of its kind, null for none
        const char* kind; // the datagrams whose lines share one bound
    } cases[] = {
        {"empty", {}, false, "caught exception: EndianBuffer overflow", "malformed"},
        {"short", Bytes(5, 0x80), false, "caught exception: EndianBuffer overflow", "malformed"},
        {"bad CSRC count", csrc, false, "caught exception: EndianBuffer overflow", "malformed"},
        {"extension length 0", ext0, false, "caught exception: decodeRTP illegal header extension", "malformed"},
        {"extension past the end", extLong, false, "caught exception: decodeRTP illegal header extension",
         "malformed"},
        {"larger than the buffer", Bytes(5000, 0x80), false, "caught socket exception in recvfromerror: 10040",
         "rtp read"},
        {"huge", Bytes(65000, 0x80), false, "caught socket exception in recvfromerror: 10040", "rtp read"},
        {"version 0", version(0x00), false, "dropped rtp datagram of version 0", "version"},
        {"version 1", version(0x40), false, "dropped rtp datagram of version 1", "version"},
        {"version 3", version(0xC0), false, "dropped rtp datagram of version 3", "version"},
        {"padding larger than payload", padding, false, nullptr, ""},
        {"wrong payload type", wrongType, false, nullptr, ""},
        {"RTCP empty", {}, true, nullptr, ""},
        {"RTCP garbage", Bytes(100, 0xFF), true, nullptr, ""},
        {"RTCP huge", Bytes(5000, 0x80), true, "caught socket exception in recverror: 10040", "rtcp read"},
    };
    std::vector<std::string> kinds;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool first = c.line && std::find(kinds.begin(), kinds.end(), c.kind) == kinds.end();
        const size_t before = log.count("rtp", 1);
        peer.sendTo(c.toRtcp ? rtcpPort : rtpPort, c.datagram.data(), c.datagram.size());
        if (first) {
            kinds.push_back(c.kind);
            EXPECT_EQ(log.waitFor(before + 1, "rtp", 1, "", 2000), before + 1);
            EXPECT_EQ(log.count("rtp", 1, c.line), 1u);
        }
    }

    // A good packet after all of it plays sample for sample.
    uint8_t payload[160];
    for (int i = 0; i < 160; ++i)
        payload[i] = static_cast<uint8_t>(i);
    Bytes good = rtpPacket(3, 8, 0);
    good.insert(good.end(), payload, payload + 160);
    peer.sendTo(rtpPort, good.data(), good.size());
    std::vector<int16_t> frame(160);
    ASSERT_TRUE(waitUntil([&] { return session.getFrame(0, frame.data(), 160, true); }));
    for (int i = 0; i < 160; ++i)
        ASSERT_EQ(frame[size_t(i)], rtp::RTPSession::decodeALaw(payload[i])) << i;

    // Nine more rounds of the datagrams that cost a line add none. Each round ends with a good
    // packet, and the next round goes once it counts: what was sent before it has been read.
    for (int round = 0; round < 9; ++round) {
        for (const auto& c : cases)
            if (c.line)
                peer.sendTo(c.toRtcp ? rtcpPort : rtpPort, c.datagram.data(), c.datagram.size());
        const int before = session.receiveStatistics().received;
        Bytes next = rtpPacket(uint16_t(4 + round), 8, 160);
        peer.sendTo(rtpPort, next.data(), next.size());
        ASSERT_TRUE(waitUntil([&] { return session.receiveStatistics().received == before + 1; }, 5000));
    }
    EXPECT_EQ(log.count("rtp", 1), kinds.size()) << "one line per kind of bad datagram, nothing more";
    rtp::CallStatistics st = session.callStatistics();
    EXPECT_EQ(st.expected, 12) << "decodable packets count, the rest never reached the session";
    EXPECT_EQ(st.lost, 0);
}

Bytes readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct TempDir {
    TempDir() {
        char name[] = "/tmp/rtplogsXXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
    std::string path;
};

TEST(RTPStream, PacketLogsInTheirBinaryFormat) {
    TempDir dir;
    setenv("KBR_RTP_LOGDIR", dir.path.c_str(), 1);
    UdpPeer peer;
    const int n = rtp::testing::packetLogCounter();
    const uint64_t t0 = static_cast<uint64_t>(plat::wallClockMs());
    uint16_t rtcpPort;
    Bytes sent(172);
    Bytes received = rtpPacket(5, 8, 160, 0x2A);
    {
        rtp::RTPSession session;
        rtcpPort = session.getStream().rtcpLocalAddress().port();
        session.start(peer.address(), kmt::SocketAddress(), -1);
        std::vector<int16_t> samples(160, 1234);
        session.putFrame(0x12345, samples.data(), 160);
        ASSERT_TRUE(peer.receive(sent, 2000));
        peer.sendTo(session.getStream().rtpLocalAddress().port(), received.data(), received.size());
        std::vector<int16_t> frame(160);
        ASSERT_TRUE(waitUntil([&] { return session.getFrame(0, frame.data(), 160, true); }));
        session.stop(); // the receive thread closes the files
    }
    const uint64_t t1 = static_cast<uint64_t>(plat::wallClockMs());
    unsetenv("KBR_RTP_LOGDIR");
    EXPECT_EQ(rtp::testing::packetLogCounter(), (n + 1) % 10);

    const std::string base = dir.path + "/packets" + std::to_string(n);
    for (int kind = 1; kind <= 2; ++kind) {
        SCOPED_TRACE(kind);
        Bytes f = readFile(base + (kind == 1 ? "_in.log" : "_out.log"));
        ASSERT_GE(f.size(), 21u);
        EXPECT_EQ(Bytes(f.begin(), f.begin() + 4), (Bytes{0xE1, 0x1E, 0x00, 0x03}));
        EXPECT_EQ(rtp::loadBE16(&f[4]), kind);
        const uint64_t ms = (uint64_t(rtp::loadBE32(&f[6])) << 32) | rtp::loadBE32(&f[10]);
        EXPECT_GE(ms, t0);
        EXPECT_LE(ms, t1);
        EXPECT_EQ(f[14], 2) << "IPv4";
        EXPECT_EQ(Bytes(f.begin() + 15, f.begin() + 19), (Bytes{0, 0, 0, 0})) << "the RTCP socket's wildcard";
        EXPECT_EQ(rtp::loadBE16(&f[19]), rtcpPort);

        const Bytes& datagram = kind == 1 ? received : sent;
        ASSERT_EQ(f.size(), 21u + 19u + datagram.size());
        const uint8_t* r = &f[21];
        EXPECT_EQ(r[0], kind);
        EXPECT_EQ(r[1], 0);
        EXPECT_EQ(rtp::loadBE16(r + 2), kind == 1 ? 0 : 0x2345) << "the low 16 bits of the frame number";
        const uint32_t low = rtp::loadBE32(r + 4);
        EXPECT_GE(low - uint32_t(t0), 0u);
        EXPECT_LE(low - uint32_t(t0), uint32_t(t1 - t0));
        EXPECT_EQ(r[8], 2);
        EXPECT_EQ(Bytes(r + 9, r + 13), (Bytes{127, 0, 0, 1}));
        EXPECT_EQ(rtp::loadBE16(r + 13), peer.port()) << "sender of received, destination of sent";
        EXPECT_EQ(rtp::loadBE32(r + 15), datagram.size());
        EXPECT_EQ(Bytes(r + 19, r + 19 + datagram.size()), datagram);
    }
}

TEST(RTPStream, PacketLogNamesCycleThroughTen) {
    TempDir dir;
    setenv("KBR_RTP_LOGDIR", dir.path.c_str(), 1);
    UdpPeer peer;
    const int n = rtp::testing::packetLogCounter();
    {
        rtp::RTPStream stream;
        // A start on a running stream opens the next pair and closes the one it replaces.
        for (int i = 0; i < 11; ++i)
            stream.start(peer.address(), kmt::SocketAddress());
    }
    unsetenv("KBR_RTP_LOGDIR");
    EXPECT_EQ(rtp::testing::packetLogCounter(), (n + 11) % 10);
    for (int i = 0; i < 10; ++i) {
        Bytes f = readFile(dir.path + "/packets" + std::to_string(i) + "_out.log");
        EXPECT_EQ(f.size(), 21u) << "pair " << i << " holds its session record";
    }
}

} // namespace

namespace {

// With IPv6 the session record carries 16 address bytes and a packet record only the first 8.
TEST(RTPStream, PacketLogsOverIPv6) {
    int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    peer.sin6_addr = in6addr_loopback;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        if (fd >= 0)
            ::close(fd);
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    socklen_t len = sizeof peer;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&peer), &len);
    const uint16_t peerPort = ntohs(peer.sin6_port);

    TempDir dir;
    setenv("KBR_RTP_LOGDIR", dir.path.c_str(), 1);
    const int savedMode = kmt::ipMode;
    kmt::ipMode = 2;
    const int n = rtp::testing::packetLogCounter();
    const Bytes datagram = rtpPacket(9, 8, 20);
    uint16_t rtcpPort;
    {
        rtp::RTPStream stream;
        rtcpPort = stream.rtcpLocalAddress().port();
        stream.start(kmt::SocketAddress(reinterpret_cast<sockaddr*>(&peer), sizeof peer),
                     kmt::SocketAddress());
        stream.send(-3, datagram.data(), datagram.size());
    }
    kmt::ipMode = savedMode;
    unsetenv("KBR_RTP_LOGDIR");
    uint8_t buf[100];
    EXPECT_EQ(::recv(fd, buf, sizeof buf, MSG_DONTWAIT), ssize_t(datagram.size()));
    ::close(fd);

    Bytes f = readFile(dir.path + "/packets" + std::to_string(n) + "_out.log");
    ASSERT_EQ(f.size(), 33u + 23u + datagram.size());
    EXPECT_EQ(f[14], 23) << "IPv6";
    EXPECT_EQ(Bytes(f.begin() + 15, f.begin() + 31), Bytes(16, 0)) << "the wildcard ::";
    EXPECT_EQ(rtp::loadBE16(&f[31]), rtcpPort);
    const uint8_t* r = &f[33];
    EXPECT_EQ(r[0], 2);
    EXPECT_EQ(rtp::loadBE16(r + 2), 0xFFFD) << "tag -3";
    EXPECT_EQ(r[8], 23);
    EXPECT_EQ(Bytes(r + 9, r + 17), Bytes(8, 0)) << "the first half of ::1";
    EXPECT_EQ(rtp::loadBE16(r + 17), peerPort);
    EXPECT_EQ(rtp::loadBE32(r + 19), datagram.size());
    EXPECT_EQ(Bytes(r + 23, r + 23 + datagram.size()), datagram);
}

} // namespace

// A released session has closed its sockets and its scheduler: a later start or send does nothing,
// and the ports it offered are still known.
TEST(RTPStream, ReleaseClosesEverythingAndLaterUseDoesNothing) {
    auto countFiles = [] {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            (void)entry;
            ++n;
        }
        return n;
    };
    rtptest::UdpPeer far;
    rtp::RTPSession session;
    const uint16_t rtpPort = session.getStream().rtpLocalAddress().port();
    session.start(far.address(), kmt::SocketAddress(), 101);
    EXPECT_TRUE(session.getStream().isRunning());
    const size_t running = countFiles();

    session.release();
    EXPECT_TRUE(session.getStream().isReleased());
    EXPECT_FALSE(session.getStream().isRunning());
    // The receive thread, stopped without a wait, closes the sockets as its last act.
    session.getStream().awaitThreadEnd();
    const size_t released = countFiles();
    EXPECT_GE(running, released + 4) << "at least the two sockets and their two events";
    EXPECT_EQ(session.getStream().rtpLocalAddress().port(), rtpPort);

    session.start(far.address(), kmt::SocketAddress(), 101);
    EXPECT_FALSE(session.getStream().isRunning());
    EXPECT_EQ(countFiles(), released);
    const uint8_t data[12] = {0x80};
    EXPECT_NO_THROW(session.getStream().send(1, data, sizeof data));
    EXPECT_FALSE(session.getStream().sendControl(data, sizeof data));
    session.release();
    session.stop();
}

namespace {
// A UDP port still bound by some socket of this process (the streams bind the wildcard address).
bool portHeld(uint16_t port) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    const bool held = ::bind(probe, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 && errno == EADDRINUSE;
    ::close(probe);
    return held;
}
} // namespace

// Stopping a call's media does not wait for its receive thread: stop returns while the thread is
// still in a handler; the thread then ends on its own, closes the sockets of a released stream as
// its last act, and whoever must outlast it (a restart, the destructor) waits for that.
TEST(RTPStream, StopDoesNotWaitForTheReceiveThreadWhichClosesAReleasedStreamItself) {
    // Whether the stream's sockets are still open, told by their ports: the process's descriptor
    // count is no measure while threads of earlier streams may still be closing theirs.
    auto portsHeld = [](const rtp::RTPStream& s) {
        return portHeld(s.rtpLocalAddress().port()) || portHeld(s.rtcpLocalAddress().port());
    };
    rtptest::UdpPeer far;
    auto stream = std::make_unique<rtp::RTPStream>();
    std::atomic<bool> entered{false}, letGo{false}, stillInHandlerAtStop{false};
    stream->setPayloadHandler([&](rtp::RTPHeader, void*, size_t) {
        entered = true;
        // Bounded: a stop that waited for the thread would return only after these 5 s.
        for (int i = 0; i < 5000 && !letGo; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    stream->start(far.address(), kmt::SocketAddress());
    Bytes p = rtpPacket(1, 8, 160);
    far.sendTo(stream->rtpLocalAddress().port(), p.data(), p.size());
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));

    stream->stop();
    stillInHandlerAtStop = !letGo;
    EXPECT_TRUE(stillInHandlerAtStop) << "stop waited for the receive thread";
    EXPECT_FALSE(stream->isRunning());
    stream->release();
    EXPECT_TRUE(stream->isReleased());
    EXPECT_TRUE(portsHeld(*stream)) << "the sockets stay while the thread may still read them";

    letGo = true;
    stream->awaitThreadEnd();
    EXPECT_FALSE(portsHeld(*stream)) << "the ended thread closed the released stream's sockets";
    stream.reset();

    // A stream stopped and destroyed at once waits in its destructor for the thread it stopped.
    entered = false;
    letGo = false;
    stream = std::make_unique<rtp::RTPStream>();
    stream->setPayloadHandler([&](rtp::RTPHeader, void*, size_t) {
        entered = true;
        for (int i = 0; i < 5000 && !letGo; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    stream->start(far.address(), kmt::SocketAddress());
    far.sendTo(stream->rtpLocalAddress().port(), p.data(), p.size());
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    const uint16_t rtpPort = stream->rtpLocalAddress().port();
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        letGo = true;
    });
    stream.reset();
    EXPECT_TRUE(letGo) << "the destructor returned while the thread was in the handler";
    releaser.join();
    EXPECT_FALSE(portHeld(rtpPort)) << "closed by the time the destructor returned";
}
