// Last error, system message texts, local memory and the handle table.
#include "internal.h"

#include "plat/file.h"
#include "plat/net.h"

#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <unistd.h>
#include <unordered_map>

namespace plat {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// Codes used inside this library that types.h does not list.
constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kNteFail = 0x80090020u;

struct MessageText {
    DWORD code;
    const char* text;
};

// The English system texts, as Windows gives them (each ends in CR LF).
const MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_ADAP_HDW_ERR, "A network adapter hardware error occurred.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {WAIT_TIMEOUT_CODE, "The wait operation timed out.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state.\r\n"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
    {kErrorInvalidFlags, "Invalid flags.\r\n"},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    {ERROR_DEVICE_REINITIALIZATION_NEEDED, "The indicated device requires reinitialization due to hardware "
                                           "errors. The application should attempt the operation again.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
    {ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection.\r\n"},
    {ERROR_HOST_UNREACHABLE, "The network location cannot be reached. For information about network "
                             "troubleshooting, see Windows Help.\r\n"},
    {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    // Registry and windows.
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1407, "Cannot find window class.\r\n"},
    {1410, "Class already exists.\r\n"},
    {1411, "Class does not exist.\r\n"},
    // Device files.
    {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
    {ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation.\r\n"},
    // Winsock.
    {WSAEINTR, "A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {WSAEBADF, "The file handle supplied is not valid.\r\n"},
    {WSAEACCES, "An attempt was made to access a socket in a way forbidden by its access permissions.\r\n"},
    {WSAEFAULT, "The system detected an invalid pointer address in attempting to use a pointer argument in a "
                "call.\r\n"},
    {WSAEINVAL, "An invalid argument was supplied.\r\n"},
    {WSAEMFILE, "Too many open sockets.\r\n"},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately.\r\n"},
    {WSAEINPROGRESS, "A blocking operation is currently executing.\r\n"},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket.\r\n"},
    {WSAEDESTADDRREQ, "A required address was omitted from an operation on a socket.\r\n"},
    {WSAEMSGSIZE, "A message sent on a datagram socket was larger than the internal message buffer or some "
                  "other network limit, or the buffer used to receive a datagram into was smaller than the "
                  "datagram itself.\r\n"},
    {WSAEPROTOTYPE,
     "A protocol was specified in the socket function call that does not support the semantics "
     "of the socket type requested.\r\n"},
    {WSAENOPROTOOPT, "An unknown, invalid, or unsupported option or level was specified in a getsockopt or "
                     "setsockopt call.\r\n"},
    {WSAEPROTONOSUPPORT, "The requested protocol has not been configured into the system, or no "
                         "implementation for it exists.\r\n"},
    {WSAESOCKTNOSUPPORT,
     "The support for the specified socket type does not exist in this address family.\r\n"},
    {WSAEOPNOTSUPP, "The attempted operation is not supported for the type of object referenced.\r\n"},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used.\r\n"},
    {WSAEADDRINUSE, "Only one usage of each socket address (protocol/network address/port) is normally "
                    "permitted.\r\n"},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context.\r\n"},
    {WSAENETDOWN, "A socket operation encountered a dead network.\r\n"},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network.\r\n"},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host.\r\n"},
    {WSAENOBUFS,
     "An operation on a socket could not be performed because the system lacked sufficient buffer "
     "space or because a queue was full.\r\n"},
    {WSAENOTCONN, "A request to send or receive data was disallowed because the socket is not connected and "
                  "(when sending on a datagram socket using a sendto call) no address was supplied.\r\n"},
    {WSAETIMEDOUT, "A connection attempt failed because the connected party did not properly respond after a "
                   "period of time, or established connection failed because connected host has failed to "
                   "respond.\r\n"},
    {WSAECONNREFUSED, "No connection could be made because the target machine actively refused it.\r\n"},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host.\r\n"},
    {WSANOTINITIALISED, "Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    {WSATYPE_NOT_FOUND, "The specified class was not found.\r\n"},
    {WSAHOST_NOT_FOUND, "No such host is known.\r\n"},
    {WSATRY_AGAIN, "This is usually a temporary error during hostname resolution and means that the local "
                   "server did not receive a response from an authoritative server.\r\n"},
    {WSANO_RECOVERY, "A non-recoverable error occurred during a database lookup.\r\n"},
    {WSANO_DATA, "The requested name is valid, but no data of the requested type was found.\r\n"},
    // COM results (HRESULTs of facility Win32 map to the Win32 text below).
    {static_cast<DWORD>(E_FAIL), "Unspecified error\r\n"},
    {static_cast<DWORD>(E_NOTIMPL), "Not implemented\r\n"},
    {static_cast<DWORD>(E_NOINTERFACE), "No such interface supported\r\n"},
    {static_cast<DWORD>(E_POINTER), "Invalid pointer\r\n"},
    {0x80040154u, "Class not registered\r\n"},
    {0x80040110u, "Class does not support aggregation (or class object is remote)\r\n"},
    {0x800401F0u, "CoInitialize has not been called.\r\n"},
    {0x80010106u, "Cannot change thread mode after it is set.\r\n"},
    {0x8000FFFFu, "Catastrophic failure\r\n"},
    {0x80004004u, "Operation aborted\r\n"},
    {kNteFail, "An internal error occurred.\r\n"},
};

const char* messageText(DWORD code) {
    for (const MessageText& m : kMessages) {
        if (m.code == code) {
            return m.text;
        }
    }
    // HRESULT_FROM_WIN32: severity 1, facility 7, the Win32 code in the low 16 bits.
    if ((code & 0xFFFF0000u) == 0x80070000u) {
        return messageText(code & 0xFFFFu);
    }
    return nullptr;
}

bool hasInserts(const char* text) {
    for (const char* p = std::strchr(text, '%'); p; p = std::strchr(p + 1, '%')) {
        if (p[1] >= '1' && p[1] <= '9') {
            return true;
        }
    }
    return false;
}

std::mutex handleTableLock;
std::unordered_map<HandleObject*, std::shared_ptr<HandleObject>>& handleTable() {
    static auto* table = new std::unordered_map<HandleObject*, std::shared_ptr<HandleObject>>();
    return *table;
}

} // namespace

HandleObject::~HandleObject() {
    if (fd >= 0) {
        ::close(fd);
    }
}

DWORD GetLastError() {
    return lastError;
}
void SetLastError(DWORD code) {
    lastError = code;
}
int WSAGetLastError() {
    return static_cast<int>(lastError);
}
void WSASetLastError(int code) {
    lastError = static_cast<DWORD>(code);
}

DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, void* arguments) {
    // Only the system table is available: messages from a module or a string are not supported.
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
        return detail::fail<DWORD>(ERROR_INVALID_PARAMETER, 0);
    }
    const char* text = messageText(messageId);
    if (!text) {
        return detail::fail<DWORD>(ERROR_MR_MID_NOT_FOUND, 0);
    }
    // Insert arguments are not supported; a text with inserts needs FORMAT_MESSAGE_IGNORE_INSERTS.
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && hasInserts(text)) {
        return detail::fail<DWORD>(ERROR_INVALID_PARAMETER, 0);
    }
    const size_t length = std::strlen(text);
    if (!buffer) {
        return detail::fail<DWORD>(ERROR_INVALID_PARAMETER, 0);
    }
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // size is the least number of characters to allocate.
        const size_t allocation = length + 1 > size ? length + 1 : size;
        char* text_copy = static_cast<char*>(std::malloc(allocation));
        if (!text_copy) {
            return detail::fail<DWORD>(ERROR_NOT_ENOUGH_MEMORY, 0);
        }
        std::memcpy(text_copy, text, length + 1);
        *reinterpret_cast<char**>(buffer) = text_copy;
        return static_cast<DWORD>(length);
    }
    if (size < length + 1) {
        return detail::fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

// Memory of FORMAT_MESSAGE_ALLOCATE_BUFFER comes from malloc.
void* LocalFree(void* mem) {
    std::free(mem);
    return nullptr;
}

HANDLE GetProcessHeap() {
    static HandleObject* const processHeap = reinterpret_cast<HandleObject*>(uintptr_t(0x4EA9));
    return processHeap;
}

size_t HeapCompact(HANDLE heap, DWORD) {
    if (heap != GetProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    ::malloc_trim(0);
    const struct mallinfo2 info = ::mallinfo2();
    return info.fordblks > 0 ? info.fordblks : 1;
}

BOOL CloseHandle(HANDLE h) {
    if (h == detail::currentThreadPseudoHandle()) {
        return TRUE; // closing the pseudo handle has no effect
    }
    std::shared_ptr<HandleObject> object = detail::removeHandle(h);
    if (!object) {
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    }
    if (object->kind == HandleObject::Kind::Event) {
        detail::eventClosed();
    }
    return TRUE;
}

namespace detail {

HANDLE addHandle(std::shared_ptr<HandleObject> object) {
    HandleObject* key = object.get();
    std::lock_guard<std::mutex> guard(handleTableLock);
    handleTable().emplace(key, std::move(object));
    return key;
}

std::shared_ptr<HandleObject> findHandle(HANDLE h) {
    std::lock_guard<std::mutex> guard(handleTableLock);
    auto it = handleTable().find(h);
    return it == handleTable().end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> removeHandle(HANDLE h) {
    std::lock_guard<std::mutex> guard(handleTableLock);
    auto it = handleTable().find(h);
    if (it == handleTable().end()) {
        return nullptr;
    }
    std::shared_ptr<HandleObject> object = std::move(it->second);
    handleTable().erase(it);
    return object;
}

std::shared_ptr<EventObject> findEvent(HANDLE h) {
    std::shared_ptr<HandleObject> object = findHandle(h);
    if (!object || object->kind != HandleObject::Kind::Event) {
        return nullptr;
    }
    return std::static_pointer_cast<EventObject>(object);
}

} // namespace detail
} // namespace plat
