// Winsock over POSIX sockets. A SOCKET is the descriptor's number; only sockets made by this layer
// are valid (anything else is WSAENOTSOCK).
#include "internal.h"

#include "plat/net.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <map>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>
#include <unordered_map>

namespace plat {

namespace {

constexpr int kWsaVerNotSupported = 10092;

struct SocketEntry {
    int fd;
    int type; // SOCK_DGRAM, SOCK_STREAM, ...
    std::weak_ptr<detail::EventObject> event;
};

std::mutex socketsLock;
std::unordered_map<SOCKET, SocketEntry>& socketTable() {
    static auto* table = new std::unordered_map<SOCKET, SocketEntry>();
    return *table;
}

struct Failure {
    int code;
    int remaining;
};
std::mutex failuresLock;
std::map<std::string, Failure>& failureTable() {
    static auto* table = new std::map<std::string, Failure>();
    return *table;
}

std::atomic<int> startups{0};

std::mutex hostNameLock;
bool hostNameOverridden = false;
std::string& hostNameOverride() {
    static auto* name = new std::string();
    return *name;
}

// A forced failure of the named function, or 0.
int takeFailure(const char* function) {
    std::lock_guard<std::mutex> guard(failuresLock);
    auto it = failureTable().find(function);
    if (it == failureTable().end()) {
        return 0;
    }
    const int code = it->second.code;
    if (--it->second.remaining <= 0) {
        failureTable().erase(it);
    }
    return code;
}

int wsaFromErrno(int e) {
    switch (e) {
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EAFNOSUPPORT:
    case EPFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case ENOTCONN:
        return WSAENOTCONN;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    default:
        return WSAEINVAL;
    }
}

int wsaFromEai(int rc, int savedErrno) {
    switch (rc) {
    case 0:
        return 0;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_BADFLAGS:
        return WSAEINVAL;
    case EAI_FAIL:
        return WSANO_RECOVERY;
    case EAI_FAMILY:
        return WSAEAFNOSUPPORT;
    case EAI_MEMORY:
        return WSA_NOT_ENOUGH_MEMORY;
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
    case EAI_SERVICE:
        return WSATYPE_NOT_FOUND;
    case EAI_SOCKTYPE:
        return WSAESOCKTNOSUPPORT;
    case EAI_OVERFLOW:
        return WSAEFAULT;
    case EAI_SYSTEM:
        return wsaFromErrno(savedErrno);
    default:
        return WSANO_RECOVERY;
    }
}

int failWith(int code) {
    WSASetLastError(code);
    return SOCKET_ERROR;
}

int failWithErrno() {
    return failWith(wsaFromErrno(errno));
}

bool lookup(SOCKET s, SocketEntry* entry) {
    std::lock_guard<std::mutex> guard(socketsLock);
    auto it = socketTable().find(s);
    if (it == socketTable().end()) {
        return false;
    }
    *entry = it->second;
    return true;
}

int fdOf(SOCKET s) {
    SocketEntry entry;
    return lookup(s, &entry) ? entry.fd : -1;
}

void unbind(const std::weak_ptr<detail::EventObject>& weakEvent, int fd) {
    std::shared_ptr<detail::EventObject> event = weakEvent.lock();
    if (!event) {
        return;
    }
    std::lock_guard<std::mutex> guard(event->bindingsLock);
    for (auto it = event->bindings.begin(); it != event->bindings.end();) {
        it = it->fd == fd ? event->bindings.erase(it) : it + 1;
    }
}

short pollEventsFor(long networkEvents) {
    short events = 0;
    if (networkEvents & (FD_READ | FD_ACCEPT | FD_OOB)) {
        events |= POLLIN;
    }
    if (networkEvents & FD_OOB) {
        events |= POLLPRI;
    }
    if (networkEvents & (FD_WRITE | FD_CONNECT)) {
        events |= POLLOUT;
    }
    if (networkEvents & FD_CLOSE) {
        events |= POLLRDHUP;
    }
    return events;
}

// True when the host has no address outside loopback (a test's private network namespace).
bool loopbackOnly() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    bool onlyLoopback = true;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (a->ifa_addr && (a->ifa_addr->sa_family == AF_INET || a->ifa_addr->sa_family == AF_INET6) &&
            !(a->ifa_flags & IFF_LOOPBACK)) {
            onlyLoopback = false;
            break;
        }
    }
    ::freeifaddrs(list);
    return onlyLoopback;
}

bool nothingFound(int rc, const addrinfo* result) {
    return rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_ADDRFAMILY || (rc == 0 && !result);
}

} // namespace

int WSAStartup(WORD version, WSADATA* data) {
    if (int code = takeFailure("WSAStartup")) {
        return code;
    }
    if (!data) {
        return WSAEFAULT;
    }
    if ((version & 0xFF) < 1) {
        return kWsaVerNotSupported;
    }
    const WORD highest = MAKEWORD(2, 2);
    const bool above = (version & 0xFF) > 2 || ((version & 0xFF) == 2 && (version >> 8) > 2);
    data->wVersion = above ? highest : version;
    data->wHighVersion = highest;
    std::strcpy(data->szDescription, "WinSock 2.0");
    std::strcpy(data->szSystemStatus, "Running");
    startups.fetch_add(1);
    return 0;
}

int WSACleanup() {
    if (int code = takeFailure("WSACleanup")) {
        return failWith(code);
    }
    int current = startups.load();
    while (current > 0 && !startups.compare_exchange_weak(current, current - 1)) {
    }
    return current > 0 ? 0 : failWith(WSANOTINITIALISED);
}

SOCKET socket(int af, int type, int protocol) {
    if (int code = takeFailure("socket")) {
        WSASetLastError(code);
        return INVALID_SOCKET;
    }
    const int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        WSASetLastError(wsaFromErrno(errno));
        return INVALID_SOCKET;
    }
    const SOCKET s = static_cast<SOCKET>(fd);
    std::lock_guard<std::mutex> guard(socketsLock);
    socketTable()[s] = SocketEntry{fd, type & 0xF, {}};
    return s;
}

int closesocket(SOCKET s) {
    if (int code = takeFailure("closesocket")) {
        return failWith(code);
    }
    SocketEntry entry;
    {
        std::lock_guard<std::mutex> guard(socketsLock);
        auto it = socketTable().find(s);
        if (it == socketTable().end()) {
            return failWith(WSAENOTSOCK);
        }
        entry = it->second;
        socketTable().erase(it);
        // Closing ends the event binding before the descriptor number can be reused.
        unbind(entry.event, entry.fd);
    }
    if (::close(entry.fd) != 0 && errno != EINTR) {
        return failWithErrno();
    }
    return 0;
}

int bind(SOCKET s, const SOCKADDR* addr, int len) {
    if (int code = takeFailure("bind")) {
        return failWith(code);
    }
    const int fd = fdOf(s);
    if (fd < 0) {
        return failWith(WSAENOTSOCK);
    }
    if (!addr || len <= 0) {
        return failWith(WSAEFAULT);
    }
    return ::bind(fd, addr, static_cast<socklen_t>(len)) == 0 ? 0 : failWithErrno();
}

int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
    if (int code = takeFailure("sendto")) {
        return failWith(code);
    }
    const int fd = fdOf(s);
    if (fd < 0) {
        return failWith(WSAENOTSOCK);
    }
    if (len < 0 || (len > 0 && !buf) || tolen < 0) {
        return failWith(WSAEFAULT);
    }
    const ssize_t n =
        ::sendto(fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to, static_cast<socklen_t>(tolen));
    return n < 0 ? failWithErrno() : static_cast<int>(n);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
    if (int code = takeFailure("recvfrom")) {
        return failWith(code);
    }
    SocketEntry entry;
    if (!lookup(s, &entry)) {
        return failWith(WSAENOTSOCK);
    }
    if (len < 0 || (len > 0 && !buf) || (from && !fromlen)) {
        return failWith(WSAEFAULT);
    }
    SOCKADDR_STORAGE source{};
    socklen_t sourceLen = sizeof source;
    // MSG_TRUNC makes a datagram socket report the datagram's real length.
    const int truncFlag = entry.type == SOCK_DGRAM ? MSG_TRUNC : 0;
    const ssize_t n = ::recvfrom(entry.fd, buf, static_cast<size_t>(len), flags | truncFlag,
                                 reinterpret_cast<SOCKADDR*>(&source), &sourceLen);
    if (n < 0) {
        return failWithErrno();
    }
    if (from) {
        if (*fromlen < 0 || static_cast<socklen_t>(*fromlen) < sourceLen) {
            return failWith(WSAEFAULT);
        }
        std::memcpy(from, &source, sourceLen);
        *fromlen = static_cast<int>(sourceLen);
    }
    if (n > len) {
        // As on Windows: the first len bytes are in buf, the rest of the datagram is gone.
        return failWith(WSAEMSGSIZE);
    }
    return static_cast<int>(n);
}

int connect(SOCKET s, const SOCKADDR* addr, int len) {
    if (int code = takeFailure("connect")) {
        return failWith(code);
    }
    const int fd = fdOf(s);
    if (fd < 0) {
        return failWith(WSAENOTSOCK);
    }
    if (!addr || len < static_cast<int>(sizeof(SOCKADDR))) {
        return failWith(WSAEFAULT);
    }
    // Windows takes the storage length; the kernel wants the family's own.
    socklen_t actual = static_cast<socklen_t>(len);
    if (addr->sa_family == AF_INET && actual > sizeof(SOCKADDR_IN)) {
        actual = sizeof(SOCKADDR_IN);
    } else if (addr->sa_family == AF_INET6 && actual > sizeof(SOCKADDR_IN6)) {
        actual = sizeof(SOCKADDR_IN6);
    }
    if (::connect(fd, addr, actual) != 0) {
        return failWithErrno();
    }
    return 0;
}

int getsockname(SOCKET s, SOCKADDR* addr, int* len) {
    if (int code = takeFailure("getsockname")) {
        return failWith(code);
    }
    const int fd = fdOf(s);
    if (fd < 0) {
        return failWith(WSAENOTSOCK);
    }
    if (!addr || !len || *len < 0) {
        return failWith(WSAEFAULT);
    }
    SOCKADDR_STORAGE local{};
    socklen_t localLen = sizeof local;
    if (::getsockname(fd, reinterpret_cast<SOCKADDR*>(&local), &localLen) != 0) {
        return failWithErrno();
    }
    if (static_cast<socklen_t>(*len) < localLen) {
        return failWith(WSAEFAULT);
    }
    std::memcpy(addr, &local, localLen);
    *len = static_cast<int>(localLen);
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    if (int code = takeFailure("setsockopt")) {
        return failWith(code);
    }
    const int fd = fdOf(s);
    if (fd < 0) {
        return failWith(WSAENOTSOCK);
    }
    if (optlen < 0) {
        return failWith(WSAEFAULT);
    }
    if (::setsockopt(fd, level, optname, optval, static_cast<socklen_t>(optlen)) != 0) {
        return failWithErrno();
    }
    // Windows grants a buffer size as asked; Linux caps it at a system limit that only a privileged
    // process may pass. Ask past the cap where we may; the size reported back tells what was granted.
    if (level == SOL_SOCKET && (optname == SO_RCVBUF || optname == SO_SNDBUF) &&
        optlen >= static_cast<int>(sizeof(int))) {
        int asked = 0;
        std::memcpy(&asked, optval, sizeof asked);
        int granted = 0;
        socklen_t l = sizeof granted;
        if (::getsockopt(fd, level, optname, &granted, &l) == 0 && granted / 2 < asked) {
            ::setsockopt(fd, level, optname == SO_RCVBUF ? SO_RCVBUFFORCE : SO_SNDBUFFORCE, optval,
                         static_cast<socklen_t>(optlen));
        }
    }
    return 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    if (int code = takeFailure("getsockopt")) {
        return failWith(code);
    }
    const int fd = fdOf(s);
    if (fd < 0) {
        return failWith(WSAENOTSOCK);
    }
    if (!optlen || *optlen < 0) {
        return failWith(WSAEFAULT);
    }
    socklen_t l = static_cast<socklen_t>(*optlen);
    if (::getsockopt(fd, level, optname, optval, &l) != 0) {
        return failWithErrno();
    }
    // Linux reports twice the buffer size asked for (its bookkeeping included); Windows the size.
    if (level == SOL_SOCKET && (optname == SO_RCVBUF || optname == SO_SNDBUF) && l >= sizeof(int)) {
        int size = 0;
        std::memcpy(&size, optval, sizeof size);
        size /= 2;
        std::memcpy(optval, &size, sizeof size);
    }
    *optlen = static_cast<int>(l);
    return 0;
}

int gethostname(char* name, int namelen) {
    if (int code = takeFailure("gethostname")) {
        return failWith(code);
    }
    if (!name || namelen <= 0) {
        return failWith(WSAEFAULT);
    }
    std::string host;
    bool overridden = false;
    {
        std::lock_guard<std::mutex> guard(hostNameLock);
        overridden = hostNameOverridden;
        host = hostNameOverride();
    }
    if (!overridden) {
        utsname u{};
        if (::uname(&u) != 0) {
            return failWithErrno();
        }
        host = u.nodename;
    }
    if (host.size() + 1 > static_cast<size_t>(namelen)) {
        return failWith(WSAEFAULT);
    }
    std::memcpy(name, host.c_str(), host.size() + 1);
    return 0;
}

int getaddrinfo(const char* node, const char* service, const ADDRINFOA* hints, ADDRINFOA** result) {
    if (int code = takeFailure("getaddrinfo")) {
        WSASetLastError(code);
        return code;
    }
    if (!result) {
        WSASetLastError(WSAEINVAL);
        return WSAEINVAL;
    }
    *result = nullptr;
    int rc = ::getaddrinfo(node, service, hints, result);
    int savedErrno = errno;
    if (hints && (hints->ai_flags & AI_ADDRCONFIG) && nothingFound(rc, *result) && loopbackOnly()) {
        // On a host with only loopback AI_ADDRCONFIG hides even the loopback addresses.
        if (rc == 0) {
            ::freeaddrinfo(*result);
            *result = nullptr;
        }
        addrinfo retry = *hints;
        retry.ai_flags &= ~AI_ADDRCONFIG;
        rc = ::getaddrinfo(node, service, &retry, result);
        savedErrno = errno;
    }
    const int code = wsaFromEai(rc, savedErrno);
    if (code != 0) {
        *result = nullptr;
        WSASetLastError(code);
    }
    return code;
}

void freeaddrinfo(ADDRINFOA* ai) {
    if (ai) {
        ::freeaddrinfo(ai);
    }
}

int getnameinfo(const SOCKADDR* addr, int addrlen, char* host, DWORD hostlen, char* serv, DWORD servlen,
                int flags) {
    if (int code = takeFailure("getnameinfo")) {
        WSASetLastError(code);
        return code;
    }
    if (!addr || addrlen <= 0) {
        WSASetLastError(WSAEFAULT);
        return WSAEFAULT;
    }
    const int rc = ::getnameinfo(addr, static_cast<socklen_t>(addrlen), host, hostlen, serv, servlen, flags);
    const int code = wsaFromEai(rc, errno);
    if (code != 0) {
        WSASetLastError(code);
    }
    return code;
}

const char* gai_strerrorA(int code) {
    thread_local char text[1024];
    const DWORD savedError = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                             sizeof text, nullptr);
    SetLastError(savedError);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) {
        --n;
    }
    text[n] = '\0';
    return text;
}

int WSAEventSelect(SOCKET s, HANDLE event, long networkEvents) {
    if (int code = takeFailure("WSAEventSelect")) {
        return failWith(code);
    }
    if (networkEvents & ~long(FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE)) {
        return failWith(WSAEINVAL);
    }
    std::shared_ptr<detail::EventObject> eventObject;
    if (networkEvents != 0) {
        eventObject = detail::findEvent(event);
        if (!eventObject) {
            return failWith(WSAEINVAL);
        }
    }
    std::lock_guard<std::mutex> guard(socketsLock);
    auto it = socketTable().find(s);
    if (it == socketTable().end()) {
        return failWith(WSAENOTSOCK);
    }
    SocketEntry& entry = it->second;
    const int flags = ::fcntl(entry.fd, F_GETFL);
    if (flags < 0 || ::fcntl(entry.fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return failWithErrno();
    }
    // A new selection replaces the previous one; an empty one only cancels it.
    unbind(entry.event, entry.fd);
    entry.event.reset();
    if (eventObject) {
        std::lock_guard<std::mutex> bindingsGuard(eventObject->bindingsLock);
        eventObject->bindings.push_back(detail::SocketBinding{entry.fd, pollEventsFor(networkEvents)});
        entry.event = eventObject;
    }
    return 0;
}

int socketFd(SOCKET s) {
    return fdOf(s);
}

namespace testing {

void failNext(const char* function, int code, int n) {
    std::lock_guard<std::mutex> guard(failuresLock);
    if (n <= 0 || code == 0) {
        failureTable().erase(function);
    } else {
        failureTable()[function] = Failure{code, n};
    }
}

void clearFailures() {
    std::lock_guard<std::mutex> guard(failuresLock);
    failureTable().clear();
}

int openSocketCount() {
    std::lock_guard<std::mutex> guard(socketsLock);
    return static_cast<int>(socketTable().size());
}

void setHostName(const char* name) {
    std::lock_guard<std::mutex> guard(hostNameLock);
    hostNameOverridden = name != nullptr;
    hostNameOverride() = name ? name : "";
}

} // namespace testing

} // namespace plat
