// Costs of the RTP media path: a received packet into the jitter buffer, a 20 ms frame encoded and
// sent, and the whole media CPU of a call against the 20 ms frame period.
#include "RTPSession.h"
#include "kmt/socket.h"
#include "plat/net.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void setUp() {
    static bool done = [] {
        kmt::ipMode = 1;
        plat::WSADATA data{};
        plat::WSAStartup(plat::MAKEWORD(2, 2), &data);
        return true;
    }();
    (void)done;
}

kmt::SocketAddress loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return kmt::SocketAddress(reinterpret_cast<sockaddr*>(&a), sizeof a);
}

std::vector<int16_t> speechLike(int frame) {
    std::vector<int16_t> f(160);
    for (int i = 0; i < 160; ++i) {
        const double t = (frame * 160 + i) / 8000.0;
        f[size_t(i)] =
            static_cast<int16_t>(9000 * std::sin(2 * M_PI * 220 * t) + 3000 * std::sin(2 * M_PI * 1700 * t));
    }
    return f;
}

std::vector<uint8_t> pcmaPacket(uint16_t sequence) {
    std::vector<uint8_t> p(172);
    p[0] = 0x80;
    p[1] = 8;
    rtp::storeBE16(&p[2], sequence);
    rtp::storeBE32(&p[4], 160u * sequence);
    rtp::storeBE32(&p[8], 0x1234);
    std::vector<int16_t> f = speechLike(sequence);
    for (int i = 0; i < 160; ++i)
        p[12 + size_t(i)] = rtp::RTPSession::encodeALaw(f[size_t(i)]);
    return p;
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// A received datagram: header decoding, statistics, A-law expansion and the jitter buffer's put,
// as the receive thread runs them once recvfrom has returned. Nothing is taken out, so after the
// first four packets every put first discards the oldest 160 samples: the same copying as in play.
void BM_ReceiveToJitterBuffer(benchmark::State& state) {
    setUp();
    rtp::RTPSession session;
    std::vector<uint8_t> p = pcmaPacket(0);
    uint16_t sequence = 0;
    for (auto _ : state) {
        rtp::storeBE16(&p[2], sequence++);
        session.getStream().deliverDatagram(p.data(), p.size());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReceiveToJitterBuffer);

// The same through the kernel and the receive thread: a peer sends one packet, the time until the
// frame is in the jitter buffer (wall time per packet, loopback).
void BM_LoopbackReceiveToJitterBuffer(benchmark::State& state) {
    setUp();
    rtp::RTPSession session;
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(session.getStream().rtpLocalAddress().port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    session.start(loopback(9), kmt::SocketAddress(), -1); // sends nothing in this benchmark
    int16_t frame[160];
    uint16_t sequence = 0;
    std::vector<uint8_t> p = pcmaPacket(0);
    for (auto _ : state) {
        rtp::storeBE16(&p[2], sequence++);
        ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        while (!session.getFrame(0, frame, 160, true)) {
        }
    }
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
    session.stop();
}
BENCHMARK(BM_LoopbackReceiveToJitterBuffer)->UseRealTime();

// One captured 20 ms frame: A-law encoding, the header and the send to a loopback peer.
void BM_EncodeAndSendFrame(benchmark::State& state) {
    setUp();
    rtp::RTPSession session;
    int sink = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(sink, reinterpret_cast<sockaddr*>(&a), &len);
    session.start(loopback(ntohs(a.sin_port)), kmt::SocketAddress(), -1);
    std::vector<int16_t> f = speechLike(3);
    uint32_t n = 0;
    for (auto _ : state)
        session.putFrame(n++, f.data(), 160);
    state.SetItemsProcessed(state.iterations());
    session.stop();
    ::close(sink);
}
BENCHMARK(BM_EncodeAndSendFrame);

// A call's whole media work per 20 ms frame: one frame encoded and sent, one packet received by
// the receive thread into the jitter buffer, one frame taken out. Two sessions talk to each other;
// the process CPU time (all threads) per frame and session is reported against the 20 ms period.
void BM_CallMediaCpuPerFrame(benchmark::State& state) {
    setUp();
    rtp::RTPSession a;
    rtp::RTPSession b;
    a.start(loopback(b.getStream().rtpLocalAddress().port()), kmt::SocketAddress(), 101);
    b.start(loopback(a.getStream().rtpLocalAddress().port()), kmt::SocketAddress(), 101);
    std::vector<int16_t> f = speechLike(5);
    int16_t frame[160];
    uint32_t n = 0;
    const double cpu0 = processCpuSeconds();
    for (auto _ : state) {
        a.putFrame(n, f.data(), 160);
        b.putFrame(n, f.data(), 160);
        ++n;
        // Sleeping waits, so that the waiting itself costs no CPU.
        while (!b.getFrame(n, frame, 160, true))
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        while (!a.getFrame(n, frame, 160, true))
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    const double cpu = processCpuSeconds() - cpu0;
    const double perCallFrame = cpu / double(state.iterations()) / 2.0;
    state.counters["cpu_us_per_call_frame"] = perCallFrame * 1e6;
    state.counters["ratio_to_20ms"] = perCallFrame / 0.020;
    a.stop();
    b.stop();
}
BENCHMARK(BM_CallMediaCpuPerFrame)->UseRealTime()->Iterations(5000);

} // namespace

BENCHMARK_MAIN();
