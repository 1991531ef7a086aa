// Files opened by path with overlapped reads and writes. The only files this layer opens are HID
// device interfaces (plat/hid.h); any other path fails with ERROR_FILE_NOT_FOUND.
#pragma once

#include "plat/types.h"

namespace plat {

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
constexpr DWORD ERROR_BAD_LENGTH = 24;

// Internal holds the operation's status: STATUS_PENDING while it runs, then 0 or the Win32 error it
// ended with; InternalHigh the number of bytes transferred.
constexpr ULONG_PTR STATUS_PENDING = 0x103;

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
// With an OVERLAPPED: FALSE and ERROR_IO_PENDING while the read waits for an input report; the event is
// set when it completes (also when it fails or is cancelled). Without one (a handle opened without
// FILE_FLAG_OVERLAPPED) the call waits for the report.
BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* bytesRead, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* bytesWritten, OVERLAPPED* overlapped);
// Cancels the handle's pending read: it completes with ERROR_OPERATION_ABORTED and its buffer is not
// written after this returns.
BOOL CancelIo(HANDLE file);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait);

} // namespace plat
