#include "kmt/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace {

struct IpMode {
    explicit IpMode(int m) : saved(kmt::ipMode) { kmt::ipMode = m; }
    ~IpMode() { kmt::ipMode = saved; }
    int saved;
};

kmt::SocketAddress v4(const char* text, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, text, &a.sin_addr);
    return kmt::SocketAddress(reinterpret_cast<sockaddr*>(&a), sizeof a);
}

kmt::SocketAddress v6(const char* text, uint16_t port, uint32_t scope = 0) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_scope_id = scope;
    inet_pton(AF_INET6, text, &a.sin6_addr);
    return kmt::SocketAddress(reinterpret_cast<sockaddr*>(&a), sizeof a);
}

TEST(SocketAddress, ComparisonTextAndPort) {
    kmt::SocketAddress none;
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.toString(), "");
    EXPECT_EQ(none.port(), 0);
    EXPECT_TRUE(none == kmt::SocketAddress());

    auto plain = v4("192.0.2.7", 5060);
    auto mapped = v6("::ffff:192.0.2.7", 5060);
    EXPECT_EQ(plain.ipv4(), 0xC0000207u);
    EXPECT_EQ(mapped.ipv4(), 0xC0000207u);
    EXPECT_FALSE(plain == mapped) << "different families never compare equal";
    EXPECT_EQ(v6("2001:db8::1", 5060).ipv4(), 0u);

    EXPECT_TRUE(plain == v4("192.0.2.7", 5060));
    EXPECT_FALSE(plain == v4("192.0.2.7", 5061));
    EXPECT_TRUE(v6("2001:db8::1", 9, 3) == v6("2001:db8::1", 9, 7)) << "scope is not compared";
    EXPECT_FALSE(v6("2001:db8::1", 9) == v6("2001:db8::2", 9));

    std::ostringstream os;
    os << plain << " " << v6("2001:db8::1", 9);
    EXPECT_EQ(os.str(), "192.0.2.7 [2001:db8::1]");
    EXPECT_EQ(plain.withPort(7078).port(), 7078);
    EXPECT_EQ(plain.withPort(7078).toString(), "192.0.2.7");

    sockaddr_storage unix_{};
    unix_.ss_family = AF_UNIX;
    kmt::SocketAddress odd(reinterpret_cast<sockaddr*>(&unix_), sizeof unix_);
    EXPECT_EQ(odd.withPort(5).port(), 0);
    try {
        (void)(odd == odd);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "comparing sockets only defined for ip and ipv6");
    }
}

TEST(SocketAddress, ResolveUnderIpModes) {
    IpMode mode(1);
    auto any = kmt::SocketAddress::fromHost(nullptr);
    EXPECT_EQ(any.family(), AF_INET);
    EXPECT_EQ(any.toString(), "0.0.0.0");
    auto lo = kmt::SocketAddress::fromHost("127.0.0.1");
    EXPECT_EQ(lo.toString(), "127.0.0.1");
    // A numeric port given as service and a port number both end up in the address.
    auto withService = kmt::SocketAddress::resolve(1, AF_INET, "127.0.0.1", "5070", 0, SOCK_DGRAM, 0);
    EXPECT_EQ(withService.port(), 5070);
    auto withPort = kmt::SocketAddress::resolve(1, AF_INET, "127.0.0.1", nullptr, 5080, SOCK_DGRAM, 0);
    EXPECT_EQ(withPort.port(), 5080);
    // An unknown service name is retried without it when a port was given.
    auto retried =
        kmt::SocketAddress::resolve(1, AF_INET, "127.0.0.1", "no-such-service-x", 5090, SOCK_DGRAM, 0);
    EXPECT_EQ(retried.port(), 5090);
    EXPECT_THROW(kmt::SocketAddress::resolve(1, AF_INET, "127.0.0.1", "no-such-service-x", 0, SOCK_DGRAM, 0),
                 kmt::SocketException);

    auto all = kmt::SocketAddress::allFromHost("127.0.0.1", nullptr, 6000);
    ASSERT_FALSE(all.empty());
    for (auto& a : all) {
        EXPECT_EQ(a.family(), AF_INET);
        EXPECT_EQ(a.port(), 6000);
    }
}

// Numeric IPv4 takes no lookup under IPv4 mode; whatever the short way takes must be what the
// resolver makes of it, and what it leaves must still reach the resolver.
TEST(SocketAddress, NumericHostsAreWhatTheResolverMakesOfThem) {
    IpMode mode(1);
    for (const char* host : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "10.20.30.40", "192.168.1.254",
                             "127.1", "010.0.0.1", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4",
                             "1..2.3", "1.2.3.", "1.2.3.1234", "localhost"}) {
        SCOPED_TRACE(host);
        std::string viaResolver, quick;
        try {
            viaResolver = kmt::SocketAddress::resolve(1, AF_INET, host, nullptr, 0, SOCK_DGRAM,
                                                      kmt::SocketAddress::flagsFor(1, false))
                              .toString();
        } catch (const kmt::SocketException&) {
            viaResolver = "(none)";
        }
        try {
            const kmt::SocketAddress a = kmt::SocketAddress::fromHost(host);
            EXPECT_EQ(a.family(), AF_INET);
            EXPECT_EQ(a.port(), 0);
            quick = a.toString();
        } catch (const kmt::SocketException&) {
            quick = "(none)";
        }
        EXPECT_EQ(quick, viaResolver);
    }
}

TEST(SocketAddress, IPv6OnlyHostUnderIpv4ModeThrowsResolverText) {
    IpMode mode(1);
    try {
        kmt::SocketAddress::fromHost("::1");
        FAIL() << "no exception";
    } catch (const kmt::SocketException& e) {
        EXPECT_STREQ(e.call(), "getaddrinfo");
        std::string what = e.what();
        std::string head = "socket exception (" + std::to_string(e.code()) + ") in getaddrinfo: ";
        EXPECT_EQ(what.rfind(head, 0), 0u) << what;
        EXPECT_EQ(what.substr(head.size()), plat::gai_strerrorA(e.code()));
    }
}

TEST(Socket, BindSendAndLocalAddress) {
    IpMode mode(1);
    int before = plat::testing::openSocketCount();
    {
        kmt::Socket a, b;
        a.bindUdp();
        auto local = a.localAddress();
        EXPECT_EQ(local.toString(), "0.0.0.0");
        EXPECT_NE(local.port(), 0);
        b.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
        auto target = kmt::SocketAddress::fromHost("127.0.0.1").withPort(local.port());
        EXPECT_EQ(b.sendTo(target, "ping", 4), 4);
        char buf[16];
        sockaddr_storage from{};
        int fromlen = sizeof from;
        int n = plat::recvfrom(a.handle(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
        EXPECT_EQ(n, 4);
        EXPECT_EQ(kmt::SocketAddress(reinterpret_cast<sockaddr*>(&from), fromlen), b.localAddress());
    }
    EXPECT_EQ(plat::testing::openSocketCount(), before) << "sockets close with their owners";
}

TEST(Socket, FailuresNameTheCallAndCarryTheSystemText) {
    IpMode mode(1);
    kmt::Socket a;
    a.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
    kmt::Socket b;
    try {
        b.bindUdp(a.localAddress());
        FAIL() << "bind to a used port succeeded";
    } catch (const kmt::SocketException& e) {
        EXPECT_STREQ(e.call(), "bind");
        EXPECT_EQ(e.code(), plat::WSAEADDRINUSE);
        std::string what = e.what();
        EXPECT_EQ(what.rfind("socket exception (10048) in bind: ", 0), 0u) << what;
        EXPECT_GT(what.size(), std::string("socket exception (10048) in bind: ").size());
    }
    EXPECT_TRUE(b.isOpen()) << "a failed bind leaves the new handle in the object";

    plat::testing::failNext("sendto", plat::WSAENETUNREACH);
    try {
        a.sendTo(a.localAddress(), "x", 1);
        FAIL();
    } catch (const kmt::SocketException& e) {
        EXPECT_STREQ(e.call(), "sendto");
        EXPECT_EQ(e.code(), plat::WSAENETUNREACH);
    }
    // A code without system text: the code, " formatmessage error: " and the lookup's error.
    kmt::SocketException unknown("socket", 4242);
    EXPECT_EQ(
        std::string(unknown.what()).rfind("socket exception (4242) in socket: 4242 formatmessage error: ", 0),
        0u)
        << unknown.what();
}

TEST(Socket, DestructorSwallowsCloseFailure) {
    testing::internal::CaptureStderr();
    {
        kmt::Socket s;
        s.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
        plat::testing::failNext("closesocket", plat::WSAENOTSOCK);
    }
    plat::testing::clearFailures();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ignore SocketException in closesocket10038\n");
}

TEST(Socket, HostNameOfAnyLength) {
    std::string name = kmt::hostName();
    EXPECT_FALSE(name.empty());
    char buf[1024];
    ASSERT_EQ(gethostname(buf, sizeof buf), 0);
    EXPECT_EQ(name, buf);
    // The buffer doubles while the call reports it too small.
    plat::testing::failNext("gethostname", plat::WSAEFAULT, 3);
    EXPECT_EQ(kmt::hostName(), name);
    std::string longName(300, 'h');
    plat::testing::setHostName(longName.c_str());
    EXPECT_EQ(kmt::hostName(), longName);
    plat::testing::setHostName(nullptr);
    plat::testing::failNext("gethostname", plat::WSAENETDOWN);
    EXPECT_THROW(kmt::hostName(), kmt::SocketException);
}

} // namespace
