// The program's command line, file and folder, and the Java runtime of a JDK folder.
#include "internal.h"

#include "plat/dl.h"
#include "plat/jvm.h"
#include "plat/text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <time.h>
#include <unistd.h>

namespace plat {

namespace {

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string widen(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX) {
        return std::u16string();
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) {
        return std::u16string();
    }
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::string ownPath() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", &buffer[0], buffer.size());
        if (n < 0) {
            return std::string();
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Quotes one argument (not the first) so that the splitting rules give it back unchanged.
void appendQuoted(std::u16string& line, const std::u16string& argument) {
    bool needsQuotes = argument.empty();
    for (char16_t c : argument) {
        if (isBlank(c) || c == u'"' || c == u'\n' || c == u'\v') {
            needsQuotes = true;
            break;
        }
    }
    if (!needsQuotes) {
        line += argument;
        return;
    }
    line += u'"';
    size_t backslashes = 0;
    for (char16_t c : argument) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        if (c == u'"') {
            line.append(backslashes * 2 + 1, u'\\');
        } else {
            line.append(backslashes, u'\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, u'\\');
    line += u'"';
}

// Splits the arguments after the program's.
void splitArguments(const char16_t* p, std::vector<std::u16string>& out) {
    for (;;) {
        while (isBlank(*p)) {
            ++p;
        }
        if (*p == 0) {
            return;
        }
        std::u16string argument;
        bool quoted = false;
        while (*p != 0 && (quoted || !isBlank(*p))) {
            if (*p == u'\\') {
                size_t backslashes = 0;
                while (*p == u'\\') {
                    ++backslashes;
                    ++p;
                }
                if (*p == u'"') {
                    argument.append(backslashes / 2, u'\\');
                    if (backslashes % 2 == 1) {
                        argument += u'"';
                        ++p;
                    }
                } else {
                    argument.append(backslashes, u'\\');
                }
            } else if (*p == u'"') {
                if (quoted && p[1] == u'"') {
                    argument += u'"';
                    p += 2;
                } else {
                    quoted = !quoted;
                    ++p;
                }
            } else {
                argument += *p++;
            }
        }
        out.push_back(std::move(argument));
    }
}

} // namespace

std::u16string commandLineFromArguments(const std::vector<std::u16string>& arguments) {
    std::u16string line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) {
            line += u' ';
            appendQuoted(line, arguments[i]);
            continue;
        }
        // The program's path cannot hold a quote; a blank in it needs the quotes around it.
        std::u16string program;
        for (char16_t c : arguments[0]) {
            if (c != u'"') {
                program += c;
            }
        }
        bool blank = program.empty();
        for (char16_t c : program) {
            blank = blank || isBlank(c);
        }
        line += blank ? u"\"" + program + u"\"" : program;
    }
    return line;
}

LPCWSTR GetCommandLineW() {
    static const std::u16string* line = [] {
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::u16string> arguments;
        size_t start = 0;
        while (start < raw.size()) {
            size_t end = raw.find('\0', start);
            if (end == std::string::npos) {
                end = raw.size();
            }
            arguments.push_back(widen(raw.substr(start, end - start)));
            start = end + 1;
        }
        return new std::u16string(commandLineFromArguments(arguments));
    }();
    return line->c_str();
}

LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* numArgs) {
    if (!numArgs) {
        return detail::fail<LPWSTR*>(ERROR_INVALID_PARAMETER, nullptr);
    }
    std::vector<std::u16string> arguments;
    if (!commandLine || *commandLine == 0) {
        arguments.push_back(widen(ownPath()));
    } else {
        const char16_t* p = commandLine;
        std::u16string program;
        if (*p == u'"') {
            ++p;
            while (*p != 0 && *p != u'"') {
                program += *p++;
            }
            if (*p == u'"') {
                ++p;
            }
        } else {
            while (*p != 0 && !isBlank(*p)) {
                program += *p++;
            }
        }
        arguments.push_back(std::move(program));
        splitArguments(p, arguments);
    }
    if (arguments.size() > static_cast<size_t>(INT_MAX)) {
        return detail::fail<LPWSTR*>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    // One block: the pointer table (with a null after the last) and then the texts.
    size_t bytes = (arguments.size() + 1) * sizeof(LPWSTR);
    for (const auto& a : arguments) {
        bytes += (a.size() + 1) * sizeof(WCHAR);
    }
    auto* block = static_cast<unsigned char*>(std::malloc(bytes));
    if (!block) {
        return detail::fail<LPWSTR*>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    auto** table = reinterpret_cast<LPWSTR*>(block);
    auto* text = reinterpret_cast<WCHAR*>(block + (arguments.size() + 1) * sizeof(LPWSTR));
    for (size_t i = 0; i < arguments.size(); ++i) {
        table[i] = text;
        std::memcpy(text, arguments[i].data(), arguments[i].size() * sizeof(WCHAR));
        text[arguments[i].size()] = 0;
        text += arguments[i].size() + 1;
    }
    table[arguments.size()] = nullptr;
    *numArgs = static_cast<int>(arguments.size());
    return table;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (module != nullptr) {
        return detail::fail<DWORD>(ERROR_MOD_NOT_FOUND, 0);
    }
    const std::string path = ownPath();
    if (path.empty()) {
        return detail::fail<DWORD>(ERROR_FILE_NOT_FOUND, 0);
    }
    if (size == 0 || !fileName) {
        return detail::fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    if (path.size() >= size) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = 0;
        return detail::fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, size);
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
    if (!path || !*path) {
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (::chdir(path) == 0) {
        return TRUE;
    }
    switch (errno) {
    case ENOENT:
        return detail::fail<BOOL>(ERROR_FILE_NOT_FOUND, FALSE);
    case ENOTDIR:
        return detail::fail<BOOL>(ERROR_DIRECTORY, FALSE);
    case EACCES:
        return detail::fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    default:
        return detail::fail<BOOL>(ERROR_PATH_NOT_FOUND, FALSE);
    }
}

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
    if (milliseconds == INFINITE) {
        for (;;) {
            ::pause();
        }
    }
    timespec rest{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
    return 0;
}

std::string jvmLibraryPath(const std::string& javaFolder) {
    return javaFolder + "/lib/server/libjvm.so";
}

std::string jvmRuntimeFolder(const std::string& javaFolder) {
    return javaFolder + "/lib";
}

CreateJavaVMProc bindCreateJavaVM(HMODULE runtime) {
    return reinterpret_cast<CreateJavaVMProc>(GetProcAddress(runtime, "JNI_CreateJavaVM"));
}

} // namespace plat
