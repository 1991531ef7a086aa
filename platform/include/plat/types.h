// Windows-width types, result codes and the last-error slot.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using UINT = uint32_t;
using LONG = int32_t;
using INT = int32_t;
using BOOL = int32_t;
using HRESULT = int32_t;
using WCHAR = char16_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPVOID = void*;
using ULONG_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;

struct HandleObject;
using HANDLE = HandleObject*;
struct HwndObject;
using HWND = HwndObject*;
struct HkeyObject;
using HKEY = HkeyObject*;
struct ModuleObject;
using HMODULE = ModuleObject*;
using HINSTANCE = HMODULE;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t(0));

// Win32 error codes used by the engine (winerror.h numbering).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_ADAP_HDW_ERR = 57;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD WAIT_TIMEOUT_CODE = 258;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_CONNECTION_REFUSED = 1225;
constexpr DWORD ERROR_HOST_UNREACHABLE = 1232;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_DEVICE_REINITIALIZATION_NEEDED = 1164;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

// The calling thread's last-error value (shared with WSAGetLastError).
DWORD GetLastError();
void SetLastError(DWORD code);

// FormatMessageA with the flags the engine passes.
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD LANG_NEUTRAL = 0x00;
constexpr DWORD SUBLANG_DEFAULT = 0x01;
constexpr DWORD MAKELANGID(DWORD p, DWORD s) { return (s << 10) | p; }

// Writes the system's English text for messageId (ending in "\r\n" as Windows does) into buffer.
// With FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer is really a char** that receives a LocalAlloc'd text.
// Returns the number of characters written, or 0 with the last error set (ERROR_MR_MID_NOT_FOUND
// for a code without text, ERROR_INSUFFICIENT_BUFFER when it does not fit).
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, void* arguments);
void* LocalFree(void* mem);

// The process heap. HeapCompact hands the heap's free memory back to the system where it can and
// returns the bytes left free inside the heap (0 with the last error set on failure).
HANDLE GetProcessHeap();
size_t HeapCompact(HANDLE heap, DWORD flags);

BOOL CloseHandle(HANDLE h);

// HRESULT helpers.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

} // namespace plat
