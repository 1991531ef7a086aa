// Last error and the system message texts behind the engine's exception messages.
#include "plat/net.h"
#include "plat/sync.h"
#include "plat/types.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace plat;

namespace {

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

std::string systemText(DWORD code) {
    char buffer[1024];
    const DWORD n = FormatMessageA(kSystem, nullptr, code, kDefaultLanguage, buffer, sizeof buffer, nullptr);
    return std::string(buffer, n);
}

TEST(LastError, IsPerThreadAndSharedWithWinsock) {
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(int(ERROR_ACCESS_DENIED), WSAGetLastError());
    WSASetLastError(WSAEADDRINUSE);
    EXPECT_EQ(DWORD(WSAEADDRINUSE), GetLastError());

    struct Seen {
        DWORD atStart = 1;
        DWORD afterSet = 0;
    } seen;
    auto body = [](void* p) -> unsigned {
        auto* s = static_cast<Seen*>(p);
        s->atStart = GetLastError();
        SetLastError(ERROR_TIMEOUT);
        s->afterSet = GetLastError();
        return 0;
    };
    HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, &seen, 0, nullptr));
    ASSERT_NE(nullptr, t);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
    CloseHandle(t);
    EXPECT_EQ(ERROR_SUCCESS, seen.atStart);
    EXPECT_EQ(ERROR_TIMEOUT, seen.afterSet);
    EXPECT_EQ(DWORD(WSAEADDRINUSE), GetLastError());
}

TEST(FormatMessage, SystemTextsAsWindowsGivesThem) {
    struct Case {
        DWORD code;
        const char* text;
    } const cases[] = {
        {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {WSAEADDRINUSE, "Only one usage of each socket address (protocol/network address/port) is normally "
                        "permitted.\r\n"},
        {WSAHOST_NOT_FOUND, "No such host is known.\r\n"},
        {WSATYPE_NOT_FOUND, "The specified class was not found.\r\n"},
        {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used.\r\n"},
        {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately.\r\n"},
        {static_cast<DWORD>(E_INVALIDARG), "The parameter is incorrect.\r\n"}, // HRESULT of a Win32 code
        {static_cast<DWORD>(E_FAIL), "Unspecified error\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(c.text, systemText(c.code));
    }
}

TEST(FormatMessage, EveryDeclaredCodeHasATextEndingInCrLf) {
    const DWORD codes[] = {
        ERROR_SUCCESS,
        ERROR_INVALID_FUNCTION,
        ERROR_FILE_NOT_FOUND,
        ERROR_PATH_NOT_FOUND,
        ERROR_ACCESS_DENIED,
        ERROR_INVALID_HANDLE,
        ERROR_NOT_ENOUGH_MEMORY,
        ERROR_OUTOFMEMORY,
        ERROR_NOT_SUPPORTED,
        ERROR_ADAP_HDW_ERR,
        ERROR_INVALID_PARAMETER,
        ERROR_INSUFFICIENT_BUFFER,
        ERROR_MOD_NOT_FOUND,
        ERROR_PROC_NOT_FOUND,
        ERROR_ALREADY_EXISTS,
        ERROR_MORE_DATA,
        ERROR_NO_MORE_ITEMS,
        WAIT_TIMEOUT_CODE,
        ERROR_MR_MID_NOT_FOUND,
        ERROR_IO_INCOMPLETE,
        ERROR_IO_PENDING,
        ERROR_NO_UNICODE_TRANSLATION,
        ERROR_IO_DEVICE,
        ERROR_CONNECTION_REFUSED,
        ERROR_HOST_UNREACHABLE,
        ERROR_NO_SYSTEM_RESOURCES,
        ERROR_TIMEOUT,
        ERROR_DEVICE_REINITIALIZATION_NEEDED,
        ERROR_DEVICE_NOT_CONNECTED,
        WSA_NOT_ENOUGH_MEMORY,
        WSA_INVALID_PARAMETER,
        WSAEINTR,
        WSAEBADF,
        WSAEACCES,
        WSAEFAULT,
        WSAEINVAL,
        WSAEMFILE,
        WSAEWOULDBLOCK,
        WSAEINPROGRESS,
        WSAENOTSOCK,
        WSAEDESTADDRREQ,
        WSAEMSGSIZE,
        WSAEPROTOTYPE,
        WSAENOPROTOOPT,
        WSAEPROTONOSUPPORT,
        WSAESOCKTNOSUPPORT,
        WSAEOPNOTSUPP,
        WSAEAFNOSUPPORT,
        WSAEADDRINUSE,
        WSAEADDRNOTAVAIL,
        WSAENETDOWN,
        WSAENETUNREACH,
        WSAECONNRESET,
        WSAENOBUFS,
        WSAENOTCONN,
        WSAETIMEDOUT,
        WSAECONNREFUSED,
        WSAEHOSTUNREACH,
        WSANOTINITIALISED,
        WSATYPE_NOT_FOUND,
        WSAHOST_NOT_FOUND,
        WSATRY_AGAIN,
        WSANO_RECOVERY,
        WSANO_DATA,
    };
    for (DWORD code : codes) {
        SCOPED_TRACE(code);
        const std::string text = systemText(code);
        ASSERT_GT(text.size(), 3u);
        EXPECT_EQ("\r\n", text.substr(text.size() - 2));
        EXPECT_EQ(text.size() - 2, text.find("\r\n")) << "one line end, at the end";
    }
}

TEST(FormatMessage, CodeWithoutTextFailsWithMessageNotFound) {
    for (DWORD code : {DWORD(10000), DWORD(1234567), DWORD(0x80071234u)}) {
        SCOPED_TRACE(code);
        char buffer[64] = "untouched";
        SetLastError(0);
        EXPECT_EQ(0u,
                  FormatMessageA(kSystem, nullptr, code, kDefaultLanguage, buffer, sizeof buffer, nullptr));
        EXPECT_EQ(ERROR_MR_MID_NOT_FOUND, GetLastError());
        EXPECT_STREQ("untouched", buffer);
    }
}

TEST(FormatMessage, BufferBounds) {
    const std::string text = systemText(ERROR_INVALID_HANDLE);
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    SetLastError(0);
    // One character short (no room for the terminator): fails, writes nothing.
    EXPECT_EQ(0u,
              FormatMessageA(kSystem, nullptr, ERROR_INVALID_HANDLE, 0, buffer, DWORD(text.size()), nullptr));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ('x', buffer[0]);
    EXPECT_EQ(text.size(), FormatMessageA(kSystem, nullptr, ERROR_INVALID_HANDLE, 0, buffer,
                                          DWORD(text.size() + 1), nullptr));
    EXPECT_STREQ(text.c_str(), buffer);
    EXPECT_EQ('x', buffer[text.size() + 1]);
}

TEST(FormatMessage, AllocatedBufferIsFreedWithLocalFree) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | kSystem, nullptr, WSAEMSGSIZE, 1033,
                                   reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(systemText(WSAEMSGSIZE), std::string(text, n));
    EXPECT_EQ(nullptr, LocalFree(text));
    EXPECT_EQ(nullptr, LocalFree(nullptr));
}

TEST(FormatMessage, InsertsNeedIgnoreInserts) {
    EXPECT_NE(std::string::npos, systemText(ERROR_MR_MID_NOT_FOUND).find("0x%1"));
    char buffer[256];
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, 0, buffer,
                                 sizeof buffer, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    // A text without inserts does not need the flag.
    EXPECT_LT(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_INVALID_HANDLE, 0, buffer,
                                 sizeof buffer, nullptr));
}

} // namespace

TEST(ProcessHeap, CompactReturnsFreeMemoryAndRefusesOtherHandles) {
    {
        // Freed blocks large enough to be worth giving back.
        std::vector<std::unique_ptr<char[]>> blocks;
        for (int i = 0; i < 256; ++i)
            blocks.emplace_back(new char[4096]());
    }
    EXPECT_GT(HeapCompact(GetProcessHeap(), 0), 0u);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(0u, HeapCompact(nullptr, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}
