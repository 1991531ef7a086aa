// Winsock 2 over POSIX sockets. Failures return SOCKET_ERROR (or INVALID_SOCKET) and leave the
// WSA code (errno mapped) in WSAGetLastError, which shares the thread's last-error slot.
#pragma once

#include "plat/types.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace plat {

using SOCKET = uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;

using ADDRINFOA = ::addrinfo;
using SOCKADDR = ::sockaddr;
using SOCKADDR_STORAGE = ::sockaddr_storage;
using SOCKADDR_IN = ::sockaddr_in;
using SOCKADDR_IN6 = ::sockaddr_in6;
static_assert(sizeof(SOCKADDR_STORAGE) == 128, "socket address storage must be 128 bytes");

// WSA error codes (winsock2.h numbering).
constexpr int WSA_NOT_ENOUGH_MEMORY = 8;
constexpr int WSA_INVALID_PARAMETER = 87;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSATYPE_NOT_FOUND = 10109;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

int WSAGetLastError();
void WSASetLastError(int code);

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
};
constexpr WORD MAKEWORD(BYTE lo, BYTE hi) { return static_cast<WORD>(lo | (hi << 8)); }
int WSAStartup(WORD version, WSADATA* data);
int WSACleanup();

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const SOCKADDR* addr, int len);
int closesocket(SOCKET s);
int sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen);
// A datagram longer than len fails with WSAEMSGSIZE (its first len bytes are in buf), as on Windows.
int recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen);
int getsockname(SOCKET s, SOCKADDR* addr, int* len);
// On a datagram socket only fixes the peer (and so the route and local address); sends nothing.
int connect(SOCKET s, const SOCKADDR* addr, int len);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int gethostname(char* name, int namelen);

// getaddrinfo returns 0 or a WSA code (EAI_* mapped: WSAHOST_NOT_FOUND, WSATYPE_NOT_FOUND, ...).
// With AI_ADDRCONFIG on a host that has only loopback, a lookup that finds nothing is tried once
// more without that flag.
int getaddrinfo(const char* node, const char* service, const ADDRINFOA* hints, ADDRINFOA** result);
void freeaddrinfo(ADDRINFOA* ai);
int getnameinfo(const SOCKADDR* addr, int addrlen, char* host, DWORD hostlen, char* serv, DWORD servlen,
                int flags);
// The system's text for a getaddrinfo code (the FormatMessageA text, without the line end).
const char* gai_strerrorA(int code);

// Socket events: the event is signalled while the socket has data to read (FD_READ), and the
// socket is made non-blocking.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
int WSAEventSelect(SOCKET s, HANDLE event, long networkEvents);

// Underlying descriptor of a SOCKET (for tests and for the QoS stand-in).
int socketFd(SOCKET s);

namespace testing {
// Makes the next n calls of the named Winsock function ("bind", "sendto", "WSAEventSelect",
// "getaddrinfo", "closesocket", "gethostname", ...) fail with code on the calling thread's process.
void failNext(const char* function, int code, int n = 1);
void clearFailures();
// Number of sockets currently open through this layer (leak checks).
int openSocketCount();
// Makes gethostname report name (any length) instead of the system's; null restores the system's.
void setHostName(const char* name);
} // namespace testing

} // namespace plat
