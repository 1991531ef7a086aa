#include "kmt/socket.h"

#include "plat/types.h"

#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace kmt {

int ipMode = 0;

namespace {

std::string systemText(int code) {
    char buf[512];
    plat::DWORD n = plat::FormatMessageA(
        plat::FORMAT_MESSAGE_FROM_SYSTEM | plat::FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<plat::DWORD>(code), plat::MAKELANGID(plat::LANG_NEUTRAL, plat::SUBLANG_DEFAULT), buf,
        sizeof buf, nullptr);
    if (n == 0) {
        std::ostringstream os;
        os << code << " formatmessage error: " << plat::GetLastError();
        return os.str();
    }
    return std::string(buf, n);
}

std::string messageFor(const char* call, int code, const std::string& text) {
    std::ostringstream os;
    os << "socket exception (" << code << ") in " << call << ": " << text;
    return os.str();
}

} // namespace

SocketException::SocketException(const char* call, int code)
    : callName(call), message(messageFor(call, code, systemText(code))), errorCode(code) {}

SocketException::SocketException(const char* call, int code, const std::string& text)
    : callName(call), message(messageFor(call, code, text)), errorCode(code) {}

SocketAddress::SocketAddress() {
    std::memset(&storage, 0, sizeof storage);
}

SocketAddress::SocketAddress(const plat::SOCKADDR* addr, size_t length) {
    std::memset(&storage, 0, sizeof storage);
    if (addr)
        std::memcpy(&storage, addr, length < sizeof storage ? length : sizeof storage);
}

int SocketAddress::familyFor(int mode) {
    switch (mode) {
    case 1:
        return AF_INET;
    case 2:
    case 3:
        return AF_INET6;
    default:
        return AF_UNSPEC;
    }
}

int SocketAddress::flagsFor(int mode, bool forAll) {
    if (mode == 3)
        return forAll ? (AI_ADDRCONFIG | AI_V4MAPPED | AI_ALL) : (AI_ADDRCONFIG | AI_V4MAPPED);
    return AI_ADDRCONFIG;
}

namespace {

plat::ADDRINFOA* lookup(int family, const char* host, const char* service, uint16_t port, int socketType,
                        int flags) {
    plat::ADDRINFOA hints{};
    hints.ai_flags = flags;
    hints.ai_family = family;
    hints.ai_socktype = socketType;
    hints.ai_protocol = 0;
    if (!host && !service)
        service = "0";
    plat::ADDRINFOA* result = nullptr;
    int rc = plat::getaddrinfo(host, service, &hints, &result);
    if (rc == plat::WSATYPE_NOT_FOUND && host && port != 0) {
        result = nullptr;
        rc = plat::getaddrinfo(host, nullptr, &hints, &result);
    }
    if (rc != 0)
        throw SocketException("getaddrinfo", rc, plat::gai_strerrorA(rc));
    return result;
}

bool acceptable(const plat::ADDRINFOA* ai, int family, int mode) {
    return family != AF_UNSPEC || mode == 0 || ai->ai_family == AF_INET || ai->ai_family == AF_INET6;
}

} // namespace

SocketAddress SocketAddress::resolve(int mode, int family, const char* host, const char* service,
                                     uint16_t port, int socketType, int flags) {
    plat::ADDRINFOA* list = lookup(family, host, service, port, socketType, flags);
    const plat::ADDRINFOA* choice = nullptr;
    for (const plat::ADDRINFOA* ai = list; ai && !choice; ai = ai->ai_next) {
        if (!acceptable(ai, family, mode))
            continue;
        if (host || family != AF_UNSPEC || ai->ai_family == AF_INET)
            choice = ai;
    }
    if (!choice) {
        plat::freeaddrinfo(list);
        if (mode == 1 && family == AF_INET)
            throw SocketException("getaddrinfo", plat::WSAHOST_NOT_FOUND,
                                  plat::gai_strerrorA(plat::WSAHOST_NOT_FOUND));
        return resolve(1, AF_INET, host, service, port, socketType, flags);
    }
    SocketAddress address;
    address.assign(choice, port);
    plat::freeaddrinfo(list);
    return address;
}

std::vector<SocketAddress> SocketAddress::resolveAll(int mode, int family, const char* host,
                                                     const char* service, uint16_t port, int socketType,
                                                     int flags) {
    plat::ADDRINFOA* list = lookup(family, host, service, port, socketType, flags);
    std::vector<SocketAddress> out;
    for (const plat::ADDRINFOA* ai = list; ai; ai = ai->ai_next) {
        if (!acceptable(ai, family, mode))
            continue;
        SocketAddress a;
        a.assign(ai, port);
        out.push_back(a);
    }
    plat::freeaddrinfo(list);
    return out;
}

namespace {

// Dotted-decimal IPv4 (four decimal parts of at most three digits, each at most 255), as SDP and
// SIP carry it; anything else is left to the resolver.
bool parseDottedQuad(const char* text, uint8_t out[4]) {
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *text++ != '.')
            return false;
        // A leading zero (octal to the resolver) is left to the resolver.
        if (text[0] == '0' && text[1] >= '0' && text[1] <= '9')
            return false;
        int value = 0, digits = 0;
        for (; *text >= '0' && *text <= '9' && digits < 4; ++text, ++digits)
            value = value * 10 + (*text - '0');
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        out[part] = static_cast<uint8_t>(value);
    }
    return *text == '\0';
}

} // namespace

SocketAddress SocketAddress::fromHost(const char* host) {
    // IPv4 only, a numeric address needs no lookup (which would ask the system for its interfaces).
    uint8_t quad[4];
    if (host && ipMode == 1 && parseDottedQuad(host, quad)) {
        plat::SOCKADDR_IN in{};
        in.sin_family = AF_INET;
        std::memcpy(&in.sin_addr, quad, sizeof quad);
        return SocketAddress(reinterpret_cast<const plat::SOCKADDR*>(&in), sizeof in);
    }
    int flags = flagsFor(ipMode, false) | (host ? 0 : AI_PASSIVE);
    return resolve(ipMode, familyFor(ipMode), host, nullptr, 0, SOCK_DGRAM, flags);
}

std::vector<SocketAddress> SocketAddress::allFromHost(const char* host, const char* service, uint16_t port) {
    int flags = flagsFor(ipMode, true) | (host ? 0 : AI_PASSIVE);
    return resolveAll(ipMode, familyFor(ipMode), host, service, port, 0, flags);
}

void SocketAddress::assign(const plat::ADDRINFOA* result, uint16_t port) {
    std::memset(&storage, 0, sizeof storage);
    size_t len = result->ai_addrlen < sizeof storage ? result->ai_addrlen : sizeof storage;
    std::memcpy(&storage, result->ai_addr, len);
    if (port != 0 && (storage.ss_family == AF_INET || storage.ss_family == AF_INET6) && this->port() == 0)
        *this = withPort(port);
}

SocketAddress SocketAddress::withPort(uint16_t port) const {
    SocketAddress copy(*this);
    if (storage.ss_family == AF_INET)
        reinterpret_cast<plat::SOCKADDR_IN*>(&copy.storage)->sin_port = htons(port);
    else if (storage.ss_family == AF_INET6)
        reinterpret_cast<plat::SOCKADDR_IN6*>(&copy.storage)->sin6_port = htons(port);
    return copy;
}

std::string SocketAddress::toString() const {
    if (storage.ss_family == 0)
        return std::string();
    char host[1025];
    int rc = plat::getnameinfo(sockaddr(), length(), host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    if (rc != 0)
        throw SocketException("getnameinfo", rc, plat::gai_strerrorA(rc));
    return host;
}

uint32_t SocketAddress::ipv4() const {
    if (storage.ss_family == AF_INET)
        return ntohl(reinterpret_cast<const plat::SOCKADDR_IN*>(&storage)->sin_addr.s_addr);
    if (storage.ss_family == AF_INET6) {
        const unsigned char* b = reinterpret_cast<const plat::SOCKADDR_IN6*>(&storage)->sin6_addr.s6_addr;
        for (int i = 0; i < 10; ++i)
            if (b[i] != 0)
                return 0;
        if (b[10] != 0xFF || b[11] != 0xFF)
            return 0;
        return (uint32_t(b[12]) << 24) | (uint32_t(b[13]) << 16) | (uint32_t(b[14]) << 8) | b[15];
    }
    return 0;
}

uint16_t SocketAddress::port() const {
    if (storage.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const plat::SOCKADDR_IN*>(&storage)->sin_port);
    if (storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const plat::SOCKADDR_IN6*>(&storage)->sin6_port);
    return 0;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    if (storage.ss_family != other.storage.ss_family)
        return false;
    switch (storage.ss_family) {
    case 0:
        return true;
    case AF_INET:
        return ipv4() == other.ipv4() && port() == other.port();
    case AF_INET6:
        return std::memcmp(reinterpret_cast<const plat::SOCKADDR_IN6*>(&storage)->sin6_addr.s6_addr,
                           reinterpret_cast<const plat::SOCKADDR_IN6*>(&other.storage)->sin6_addr.s6_addr,
                           16) == 0 &&
               port() == other.port();
    default:
        throw std::runtime_error("comparing sockets only defined for ip and ipv6");
    }
}

std::ostream& operator<<(std::ostream& os, const SocketAddress& address) {
    if (address.family() == AF_INET6)
        return os << "[" << address.toString() << "]";
    return os << address.toString();
}

Socket::~Socket() {
    try {
        close();
    } catch (const SocketException& e) {
        std::cerr << "ignore SocketException in " << e.call() << e.code() << std::endl;
    }
}

void Socket::create(int family, int type, int protocol) {
    close();
    sock = plat::socket(family, type, protocol);
    if (sock == plat::INVALID_SOCKET)
        throw SocketException("socket", plat::WSAGetLastError());
}

void Socket::bindUdp(const SocketAddress& address) {
    SocketAddress local = address;
    if (local.empty()) {
        int flags = SocketAddress::flagsFor(ipMode, false) | AI_PASSIVE;
        local = SocketAddress::resolve(ipMode, SocketAddress::familyFor(ipMode), nullptr, "0", 0, SOCK_DGRAM,
                                       flags);
    }
    create(local.family(), SOCK_DGRAM, 0);
    if (plat::bind(sock, local.sockaddr(), SocketAddress::length()) == plat::SOCKET_ERROR)
        throw SocketException("bind", plat::WSAGetLastError());
}

void Socket::close() {
    if (sock == plat::INVALID_SOCKET)
        return;
    if (plat::closesocket(sock) == plat::SOCKET_ERROR)
        throw SocketException("closesocket", plat::WSAGetLastError());
    sock = plat::INVALID_SOCKET;
}

int Socket::sendTo(const SocketAddress& address, const void* data, int length) {
    int n = plat::sendto(sock, static_cast<const char*>(data), length, 0, address.sockaddr(),
                         SocketAddress::length());
    if (n == plat::SOCKET_ERROR)
        throw SocketException("sendto", plat::WSAGetLastError());
    return n;
}

SocketAddress Socket::localAddress() const {
    SocketAddress address;
    int len = SocketAddress::length();
    if (plat::getsockname(sock, address.sockaddr(), &len) == plat::SOCKET_ERROR)
        throw SocketException("getsockname", plat::WSAGetLastError());
    return address;
}

std::string hostName() {
    std::vector<char> buf(256);
    for (;;) {
        if (plat::gethostname(buf.data(), static_cast<int>(buf.size())) == 0)
            return std::string(buf.data());
        int code = plat::WSAGetLastError();
        if (code != plat::WSAEFAULT || buf.size() > (1u << 20))
            throw SocketException("gethostname", code);
        buf.resize(buf.size() * 2);
    }
}

} // namespace kmt
