// Other processes of the machine: open one by id and ask for its executable's path.
#pragma once

#include "plat/types.h"

namespace plat {

constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_VM_READ = 0x0010;
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;

// Fails with ERROR_INVALID_PARAMETER for a process that does not exist and ERROR_ACCESS_DENIED for
// one of another user (unless this process may look at every process). Closed with CloseHandle.
HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);
// The executable's path (module null only). The result is cut to the buffer (NUL-terminated) with
// ERROR_INSUFFICIENT_BUFFER; returns the number of characters copied, 0 on failure.
DWORD K32GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR fileName, DWORD size);
DWORD GetCurrentProcessId();

} // namespace plat
