// Winsock over POSIX sockets: the error codes, datagram and readiness behaviour the engine relies on.
#include "plat/net.h"
#include "plat/sync.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/ip.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace plat;

namespace {

SOCKADDR_STORAGE loopback(uint16_t port) {
    SOCKADDR_STORAGE storage{};
    auto* in = reinterpret_cast<SOCKADDR_IN*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return storage;
}

const SOCKADDR* asAddr(const SOCKADDR_STORAGE& s) {
    return reinterpret_cast<const SOCKADDR*>(&s);
}

// Winsock started for each test; every socket opened by a test is closed by its end.
class NetTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data{};
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
        socketsBefore_ = plat::testing::openSocketCount();
    }
    void TearDown() override {
        plat::testing::clearFailures();
        for (SOCKET s : sockets_) {
            closesocket(s);
        }
        for (HANDLE h : events_) {
            CloseHandle(h);
        }
        EXPECT_EQ(socketsBefore_, plat::testing::openSocketCount());
        EXPECT_EQ(0, WSACleanup());
    }
    // A UDP socket bound to 127.0.0.1 on a port the system chooses, bound with the 128-byte
    // address length the engine uses.
    SOCKET boundUdp(uint16_t* port = nullptr) {
        SOCKET s = plat::socket(AF_INET, SOCK_DGRAM, 0);
        EXPECT_NE(INVALID_SOCKET, s);
        sockets_.push_back(s);
        SOCKADDR_STORAGE local = loopback(0);
        EXPECT_EQ(0, plat::bind(s, asAddr(local), sizeof local));
        if (port) {
            *port = localPort(s);
        }
        return s;
    }
    uint16_t localPort(SOCKET s) {
        SOCKADDR_STORAGE local{};
        int len = sizeof local;
        EXPECT_EQ(0, plat::getsockname(s, reinterpret_cast<SOCKADDR*>(&local), &len));
        return ntohs(reinterpret_cast<SOCKADDR_IN*>(&local)->sin_port);
    }
    HANDLE autoEvent() {
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        events_.push_back(h);
        return h;
    }
    void sendTo(SOCKET from, uint16_t port, const std::string& data) {
        SOCKADDR_STORAGE to = loopback(port);
        ASSERT_EQ(int(data.size()),
                  plat::sendto(from, data.data(), int(data.size()), 0, asAddr(to), sizeof to));
    }
    void forget(SOCKET s) { sockets_.erase(std::find(sockets_.begin(), sockets_.end(), s)); }

    std::vector<SOCKET> sockets_;
    std::vector<HANDLE> events_;
    int socketsBefore_ = 0;
};

TEST_F(NetTest, ConnectedDatagramSocketLearnsItsLocalAddress) {
    uint16_t peerPort = 0;
    boundUdp(&peerPort);
    SOCKET probe = plat::socket(AF_INET, SOCK_DGRAM, 0);
    sockets_.push_back(probe);
    SOCKADDR_STORAGE peer = loopback(peerPort);
    ASSERT_EQ(0, plat::connect(probe, asAddr(peer), sizeof peer)) << "the 128-byte length is accepted";
    SOCKADDR_STORAGE local{};
    int len = sizeof local;
    ASSERT_EQ(0, plat::getsockname(probe, reinterpret_cast<SOCKADDR*>(&local), &len));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), reinterpret_cast<SOCKADDR_IN*>(&local)->sin_addr.s_addr);
    EXPECT_NE(0, localPort(probe));
    EXPECT_EQ(SOCKET_ERROR, plat::connect(probe, nullptr, 0));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

TEST_F(NetTest, BindFailuresCarryWinsockCodes) {
    uint16_t port = 0;
    boundUdp(&port);
    SOCKET second = plat::socket(AF_INET, SOCK_DGRAM, 0);
    sockets_.push_back(second);
    SOCKADDR_STORAGE used = loopback(port);
    EXPECT_EQ(SOCKET_ERROR, plat::bind(second, asAddr(used), sizeof used));
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());

    SOCKET already = boundUdp();
    SOCKADDR_STORAGE any = loopback(0);
    EXPECT_EQ(SOCKET_ERROR, plat::bind(already, asAddr(any), sizeof any));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
}

TEST_F(NetTest, UnknownSocketsAreNotSockets) {
    SOCKET s = boundUdp();
    ASSERT_EQ(0, closesocket(s));
    forget(s);
    SOCKADDR_STORAGE to = loopback(9);
    char buffer[4];
    int fromLen = 0;
    struct Case {
        const char* name;
        int result;
    } const cases[] = {
        {"closesocket", closesocket(s)},
        {"bind", plat::bind(s, asAddr(to), sizeof to)},
        {"sendto", plat::sendto(s, "x", 1, 0, asAddr(to), sizeof to)},
        {"recvfrom", plat::recvfrom(s, buffer, sizeof buffer, 0, nullptr, &fromLen)},
        {"WSAEventSelect", WSAEventSelect(INVALID_SOCKET, autoEvent(), FD_READ)},
        {"stdin", closesocket(0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SOCKET_ERROR, c.result);
    }
    WSASetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, plat::sendto(s, "x", 1, 0, asAddr(to), sizeof to));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(-1, socketFd(s));
    EXPECT_EQ(INVALID_SOCKET, plat::socket(12345, SOCK_DGRAM, 0));
    EXPECT_EQ(WSAEAFNOSUPPORT, WSAGetLastError());
}

TEST_F(NetTest, OversizeDatagramFailsWithMessageSizeAndDeliversItsStart) {
    uint16_t port = 0;
    SOCKET receiver = boundUdp(&port);
    SOCKET sender = boundUdp();
    const uint16_t senderPort = localPort(sender);
    std::string big(100, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = char('a' + i % 26);
    }
    sendTo(sender, port, big);
    sendTo(sender, port, "next");

    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    SOCKADDR_STORAGE from{};
    int fromLen = sizeof from;
    EXPECT_EQ(SOCKET_ERROR,
              plat::recvfrom(receiver, buffer, 40, 0, reinterpret_cast<SOCKADDR*>(&from), &fromLen));
    EXPECT_EQ(WSAEMSGSIZE, WSAGetLastError());
    EXPECT_EQ(big.substr(0, 40), std::string(buffer, 40));
    EXPECT_EQ('#', buffer[40]);
    EXPECT_EQ(senderPort, ntohs(reinterpret_cast<SOCKADDR_IN*>(&from)->sin_port));

    // The rest of the oversize datagram is gone; the next one arrives whole, also into an exact fit.
    fromLen = sizeof from;
    EXPECT_EQ(4, plat::recvfrom(receiver, buffer, 4, 0, reinterpret_cast<SOCKADDR*>(&from), &fromLen));
    EXPECT_EQ("next", std::string(buffer, 4));
    EXPECT_EQ(int(sizeof(SOCKADDR_IN)), fromLen);
}

TEST_F(NetTest, EventSelectSignalsWhileReadableAndMakesTheSocketNonBlocking) {
    uint16_t port = 0;
    SOCKET receiver = boundUdp(&port);
    SOCKET sender = boundUdp();
    HANDLE readable = autoEvent();
    HANDLE wake = autoEvent();
    ASSERT_EQ(0, WSAEventSelect(receiver, readable, FD_READ | FD_ACCEPT | FD_CLOSE));

    char buffer[16];
    EXPECT_EQ(SOCKET_ERROR, plat::recvfrom(receiver, buffer, sizeof buffer, 0, nullptr, nullptr));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());

    HANDLE h[2] = {readable, wake};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, h, FALSE, 0));
    sendTo(sender, port, "ping");
    SetEvent(wake);
    // The socket's event comes first and wins; it stays signalled while the datagram is unread.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, h, FALSE, 5000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, h, FALSE, 5000));
    EXPECT_EQ(4, plat::recvfrom(receiver, buffer, sizeof buffer, 0, nullptr, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, h, FALSE, 5000));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, h, FALSE, 0));
}

TEST_F(NetTest, LowestReadableSocketWins) {
    uint16_t port[3] = {};
    SOCKET s[3] = {boundUdp(&port[0]), boundUdp(&port[1]), boundUdp(&port[2])};
    HANDLE h[3] = {autoEvent(), autoEvent(), autoEvent()};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, WSAEventSelect(s[i], h[i], FD_READ | FD_ACCEPT | FD_CLOSE));
    }
    SOCKET sender = boundUdp();
    sendTo(sender, port[2], "c");
    sendTo(sender, port[1], "b");
    // Loopback delivers in order: once the second datagram is readable, both are.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h[1], 5000));
    char buffer[4];
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, h, FALSE, 5000));
    EXPECT_EQ(1, plat::recvfrom(s[1], buffer, sizeof buffer, 0, nullptr, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, h, FALSE, 5000));
}

TEST_F(NetTest, DatagramFromAnotherThreadEndsTheWait) {
    uint16_t port = 0;
    SOCKET receiver = boundUdp(&port);
    HANDLE readable = autoEvent();
    ASSERT_EQ(0, WSAEventSelect(receiver, readable, FD_READ | FD_ACCEPT | FD_CLOSE));
    struct Arg {
        SOCKET sender;
        uint16_t port;
    } arg{boundUdp(), port};
    auto body = [](void* p) -> unsigned {
        auto* a = static_cast<Arg*>(p);
        Sleep(20);
        SOCKADDR_STORAGE to = loopback(a->port);
        plat::sendto(a->sender, "x", 1, 0, asAddr(to), sizeof to);
        return 0;
    };
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, &arg, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(readable, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    CloseHandle(thread);
}

TEST_F(NetTest, ClosingTheSocketEndsItsEventBinding) {
    uint16_t port = 0;
    SOCKET receiver = boundUdp(&port);
    HANDLE readable = autoEvent();
    ASSERT_EQ(0, WSAEventSelect(receiver, readable, FD_READ));
    sendTo(boundUdp(), port, "unread");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(readable, 5000));
    ASSERT_EQ(0, closesocket(receiver));
    forget(receiver);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(readable, 20));
}

TEST_F(NetTest, EventSelectFailures) {
    SOCKET s = boundUdp();
    HANDLE closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(closed);
    EXPECT_EQ(SOCKET_ERROR, WSAEventSelect(s, closed, FD_READ));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    plat::testing::failNext("WSAEventSelect", WSAENOBUFS);
    EXPECT_EQ(SOCKET_ERROR, WSAEventSelect(s, autoEvent(), FD_READ));
    EXPECT_EQ(WSAENOBUFS, WSAGetLastError());
    EXPECT_EQ(0, WSAEventSelect(s, autoEvent(), FD_READ));
}

TEST_F(NetTest, ForcedFailuresCountDown) {
    uint16_t port = 0;
    SOCKET s = boundUdp(&port);
    SOCKADDR_STORAGE to = loopback(port);
    plat::testing::failNext("sendto", WSAENETUNREACH, 2);
    for (int i = 0; i < 2; ++i) {
        WSASetLastError(0);
        EXPECT_EQ(SOCKET_ERROR, plat::sendto(s, "x", 1, 0, asAddr(to), sizeof to));
        EXPECT_EQ(WSAENETUNREACH, WSAGetLastError());
    }
    EXPECT_EQ(1, plat::sendto(s, "x", 1, 0, asAddr(to), sizeof to));
    plat::testing::failNext("bind", WSAEACCES, 5);
    plat::testing::clearFailures();
    boundUdp();
}

TEST_F(NetTest, GetaddrinfoReturnsWinsockCodes) {
    struct Case {
        const char* name;
        const char* node;
        const char* service;
        int family;
        int expected;
    } const cases[] = {
        {"numeric loopback", "127.0.0.1", "5060", AF_INET, 0},
        {"unknown service", "127.0.0.1", "no-such-service-kbr", AF_INET, WSATYPE_NOT_FOUND},
        {"unknown numeric family", "127.0.0.1", "5060", 12345, WSAEAFNOSUPPORT},
        {"neither node nor service", nullptr, nullptr, AF_INET, WSAHOST_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ADDRINFOA hints{};
        hints.ai_family = c.family;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_NUMERICHOST;
        ADDRINFOA* result = reinterpret_cast<ADDRINFOA*>(1);
        WSASetLastError(0);
        EXPECT_EQ(c.expected, plat::getaddrinfo(c.node, c.service, &hints, &result));
        if (c.expected == 0) {
            ASSERT_NE(nullptr, result);
            EXPECT_EQ(AF_INET, result->ai_family);
            EXPECT_EQ(5060, ntohs(reinterpret_cast<SOCKADDR_IN*>(result->ai_addr)->sin_port));
            plat::freeaddrinfo(result);
        } else {
            EXPECT_EQ(nullptr, result);
            EXPECT_EQ(c.expected, WSAGetLastError());
        }
    }
}

TEST(Resolver, GaiStrerrorIsTheSystemTextWithoutLineEnd) {
    EXPECT_STREQ("No such host is known.", gai_strerrorA(WSAHOST_NOT_FOUND));
    EXPECT_STREQ("The specified class was not found.", gai_strerrorA(WSATYPE_NOT_FOUND));
    EXPECT_STREQ("An address incompatible with the requested protocol was used.",
                 gai_strerrorA(WSAEAFNOSUPPORT));
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_STREQ("", gai_strerrorA(-8));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << "the text lookup changed the last error";
}

// In a network namespace with only loopback, the resolver's AI_ADDRCONFIG hides 127.0.0.1 itself;
// the layer then retries without the flag. Runs in a child process that owns the namespace.
TEST(Resolver, AddrconfigOnALoopbackOnlyHostIsRetriedWithoutIt) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            _exit(2);
        }
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
        if (fd < 0 || ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) {
            _exit(2);
        }
        ::close(fd);
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_flags = AI_ADDRCONFIG;
        addrinfo* raw = nullptr;
        if (::getaddrinfo("127.0.0.1", "5060", &hints, &raw) == 0) {
            ::freeaddrinfo(raw);
            _exit(3); // this resolver does not hide loopback: nothing to show
        }
        ADDRINFOA* result = nullptr;
        const int rc = plat::getaddrinfo("127.0.0.1", "5060", &hints, &result);
        const bool ok = rc == 0 && result && result->ai_family == AF_INET;
        plat::freeaddrinfo(result);
        hints.ai_flags = AI_ADDRCONFIG | AI_PASSIVE;
        const bool wildcardOk = plat::getaddrinfo(nullptr, "0", &hints, &result) == 0;
        plat::freeaddrinfo(result);
        _exit(ok && wildcardOk ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "no permission to create a network namespace";
    }
    if (WEXITSTATUS(status) == 3) {
        GTEST_SKIP() << "the resolver does not hide loopback under AI_ADDRCONFIG";
    }
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(Resolver, NumericNameOfAnAddressGivenWith128Bytes) {
    SOCKADDR_STORAGE a = loopback(5060);
    char host[1025];
    ASSERT_EQ(0, plat::getnameinfo(asAddr(a), sizeof a, host, sizeof host, nullptr, 0, NI_NUMERICHOST));
    EXPECT_STREQ("127.0.0.1", host);
}

TEST(HostName, TooSmallBufferFailsWithFault) {
    utsname u{};
    ASSERT_EQ(0, uname(&u));
    char name[1024];
    ASSERT_EQ(0, plat::gethostname(name, sizeof name));
    EXPECT_STREQ(u.nodename, name);

    const std::string longName(300, 'h');
    plat::testing::setHostName(longName.c_str());
    EXPECT_EQ(SOCKET_ERROR, plat::gethostname(name, 256));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, plat::gethostname(name, 300)); // no room for the terminator
    EXPECT_EQ(0, plat::gethostname(name, 301));
    EXPECT_EQ(longName, name);
    plat::testing::setHostName(nullptr);
    ASSERT_EQ(0, plat::gethostname(name, sizeof name));
    EXPECT_STREQ(u.nodename, name);
}

TEST(Startup, ReportsVersionAndBalancesCleanup) {
    WSADATA data{};
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);
    EXPECT_EQ(MAKEWORD(2, 2), data.wHighVersion);
    EXPECT_EQ(WSAEFAULT, WSAStartup(MAKEWORD(2, 2), nullptr));
    EXPECT_EQ(0, WSACleanup());
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

} // namespace
