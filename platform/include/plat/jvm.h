// What a program needs to host a Java virtual machine: its own command line the Windows way
// (GetCommandLineW, CommandLineToArgvW), its own file and current folder, an endless alertable
// sleep, and the Java runtime of a JDK folder ("lib/server/libjvm.so" in place of the runtime's
// jvm.dll; ":" separates class-path entries).
#pragma once

#include "plat/types.h"

#include <string>
#include <vector>

namespace plat {

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD ERROR_DIRECTORY = 267;

// The process's command line as one UTF-16 text, built from its arguments the way a Windows
// program would have received it (each argument quoted where CommandLineToArgvW needs it), so that
// CommandLineToArgvW gives back exactly the arguments the process was started with.
LPCWSTR GetCommandLineW();

// Splits a command line by the Windows rules. The first argument (the program) ends at the first
// blank, or is the text between a pair of quotes; in the others 2n backslashes before a quote give
// n backslashes and the quote opens or closes a quoted part, 2n+1 give n backslashes and a literal
// quote, other backslashes are literal, and "" inside a quoted part is a literal quote. An empty
// line gives the program's own path. One block, freed with LocalFree; null with the last error set
// on failure.
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* numArgs);

// The path of the program file (module must be null). A path that does not fit is cut to size - 1
// characters and terminated, the result is size and the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

BOOL SetCurrentDirectoryA(LPCSTR path);

// Sleeps; INFINITE never returns. Nothing here queues asynchronous calls, so an alertable sleep
// is an ordinary one.
DWORD SleepEx(DWORD milliseconds, BOOL alertable);

// The Java runtime of a JDK folder.
constexpr char kClassPathSeparator = ':';
// The runtime library itself, to load by its full path.
std::string jvmLibraryPath(const std::string& javaFolder);
// The folder of the runtime's own libraries (the counterpart of the runtime's "bin").
std::string jvmRuntimeFolder(const std::string& javaFolder);
// JNI_CreateJavaVM of a loaded runtime (JavaVM**, JNIEnv**, JavaVMInitArgs*); null with the last
// error ERROR_PROC_NOT_FOUND when the library has no such export.
using CreateJavaVMProc = int32_t (*)(void** vm, void** env, void* initArgs);
CreateJavaVMProc bindCreateJavaVM(HMODULE runtime);

// The command-line text GetCommandLineW builds from these arguments (exposed for tests).
std::u16string commandLineFromArguments(const std::vector<std::u16string>& arguments);

} // namespace plat
