// The shared helpers of the RTP tests and the test environment (IPv4 mode, Winsock started).
#include "rtp_support.h"

#include "plat/net.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace rtptest {

CaptureLog& CaptureLog::instance() {
    // Never freed: log records may still be written while the process exits.
    static CaptureLog* capture = [] {
        auto* c = new CaptureLog;
        kmt::DebugRoot::instance()->addOutput(c);
        return c;
    }();
    return *capture;
}

kmt::SocketAddress loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return kmt::SocketAddress(reinterpret_cast<sockaddr*>(&a), sizeof a);
}

UdpPeer::UdpPeer(uint16_t port) {
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    int size = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("bind failed");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    boundPort = ntohs(a.sin_port);
}

UdpPeer::~UdpPeer() {
    if (fd >= 0)
        ::close(fd);
}

void UdpPeer::sendTo(uint16_t port, const void* data, size_t length) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, data, length, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

bool UdpPeer::receive(std::vector<uint8_t>& out, int timeoutMs, uint16_t* from) {
    out.clear();
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    out.resize(65536);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t n = ::recvfrom(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&a), &len);
    if (n < 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n));
    if (from)
        *from = ntohs(a.sin_port);
    return true;
}

std::vector<std::vector<uint8_t>> UdpPeer::drain(int quietMs, int maxMs) {
    std::vector<std::vector<uint8_t>> all;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    std::vector<uint8_t> one;
    while (std::chrono::steady_clock::now() < end && receive(one, quietMs))
        all.push_back(one);
    return all;
}

uint16_t freeUdpPortPair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        UdpPeer first;
        uint16_t p = first.port();
        if (p == 65535)
            continue;
        try {
            UdpPeer second(static_cast<uint16_t>(p + 1));
            return p;
        } catch (const std::runtime_error&) {
        }
    }
    throw std::runtime_error("no free port pair");
}

namespace {

class RtpEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        kmt::ipMode = 1;
        plat::WSADATA data{};
        plat::WSAStartup(plat::MAKEWORD(2, 2), &data);
        CaptureLog::instance();
    }
};

// Registered before main: the "rtp" category resolves its level only at its first use, after this.
::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new RtpEnvironment);
const bool captureInstalled = (CaptureLog::instance(), true);

} // namespace

} // namespace rtptest
