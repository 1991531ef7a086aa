// UDP sockets, socket addresses and the socket exception.
#pragma once

#include "plat/net.h"

#include <cstdint>
#include <exception>
#include <ostream>
#include <string>
#include <vector>

namespace kmt {

// Process-wide IP mode: 1 IPv4 only, 2 IPv6, 3 IPv6 with IPv4-mapped addresses; 0 at load.
extern int ipMode;

class SocketException : public std::exception {
public:
    // Message from the system's text for a Winsock code.
    SocketException(const char* call, int code);
    // Message from a given text (resolver errors).
    SocketException(const char* call, int code, const std::string& text);

    const char* what() const noexcept override { return message.c_str(); }
    const char* call() const { return callName; }
    int code() const { return errorCode; }

private:
    const char* callName;
    std::string message;
    int errorCode;
};

// 128 bytes laid out as sockaddr_storage; family 0 means no address.
class SocketAddress {
public:
    SocketAddress();
    explicit SocketAddress(const plat::SOCKADDR* addr, size_t length);

    static SocketAddress resolve(int ipMode, int family, const char* host, const char* service, uint16_t port,
                                 int socketType, int flags);
    static std::vector<SocketAddress> resolveAll(int ipMode, int family, const char* host,
                                                 const char* service, uint16_t port, int socketType,
                                                 int flags);
    // One address for host under the IP mode (the wildcard when host is null).
    static SocketAddress fromHost(const char* host);
    static std::vector<SocketAddress> allFromHost(const char* host, const char* service, uint16_t port);
    // The family and flags that the IP mode gives (table of the IP modes).
    static int familyFor(int ipMode);
    static int flagsFor(int ipMode, bool forAll);

    void assign(const plat::ADDRINFOA* result, uint16_t port);
    SocketAddress withPort(uint16_t port) const;

    std::string toString() const;
    uint32_t ipv4() const;
    uint16_t port() const;
    int family() const { return storage.ss_family; }
    bool empty() const { return storage.ss_family == 0; }

    bool operator==(const SocketAddress& other) const;
    bool operator!=(const SocketAddress& other) const { return !(*this == other); }

    plat::SOCKADDR* sockaddr() { return reinterpret_cast<plat::SOCKADDR*>(&storage); }
    const plat::SOCKADDR* sockaddr() const { return reinterpret_cast<const plat::SOCKADDR*>(&storage); }
    static constexpr int length() { return static_cast<int>(sizeof(plat::SOCKADDR_STORAGE)); }

private:
    plat::SOCKADDR_STORAGE storage;
};
static_assert(sizeof(SocketAddress) == 128, "SocketAddress must be 128 bytes");

std::ostream& operator<<(std::ostream& os, const SocketAddress& address);

class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    void create(int family, int type, int protocol);
    // Binds a datagram socket to the address, or to the wildcard address of the IP mode when empty.
    void bindUdp(const SocketAddress& address = SocketAddress());
    void close();
    int sendTo(const SocketAddress& address, const void* data, int length);
    SocketAddress localAddress() const;

    plat::SOCKET handle() const { return sock; }
    bool isOpen() const { return sock != plat::INVALID_SOCKET; }

private:
    plat::SOCKET sock = plat::INVALID_SOCKET;
};

// The local host name, however long.
std::string hostName();

} // namespace kmt
