// UTF-8 / UTF-16 conversion with the Windows call shapes. The ANSI code page is UTF-8.
#pragma once

#include "plat/types.h"

namespace plat {

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

// cch/cb of -1 means NUL-terminated input (the terminator is converted and counted). An output
// size of 0 measures. Every write stays within the caller's buffer: too small fails with
// ERROR_INSUFFICIENT_BUFFER; invalid input fails with ERROR_NO_UNICODE_TRANSLATION only when
// flags ask for it (otherwise it becomes U+FFFD, as on Windows).
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int cch, char* out, int cb,
                        const char* defaultChar, BOOL* usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* mb, int cb, WCHAR* out, int cch);
constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

} // namespace plat
