// LoadLibrary over dlopen. DLL names the engine loads map to the stand-in libraries this build
// ships ("qwave.dll" -> libqwave.so, "avrt.dll" -> libavrt.so, ...), looked up in the folder of the
// platform library itself, then in $KBR_PLATFORM_LIBDIR, then on the ordinary search path.
#pragma once

#include "plat/types.h"

namespace plat {

using FARPROC = void (*)();

HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);
BOOL SetDllDirectoryA(LPCSTR path);

// The file this build loads for a DLL name (the mapping, without any search).
const char* mappedLibraryName(LPCSTR dllName);

namespace testing {
// Hide or show one DLL name, as if the library were not installed.
void setLibraryMissing(LPCSTR dllName, bool missing);
} // namespace testing

} // namespace plat
