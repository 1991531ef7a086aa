// LoadLibrary over dlopen, with the map from DLL names to the stand-in libraries of this build.
#include "internal.h"

#include "plat/dl.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <dlfcn.h>
#include <map>
#include <set>
#include <string>
#include <unistd.h>

namespace plat {

namespace {

std::mutex dlLock;

// dlopen handles given out and not yet freed, with their counts.
std::map<void*, int>& openModules() {
    static auto* modules = new std::map<void*, int>();
    return *modules;
}
std::set<std::string>& missingLibraries() {
    static auto* missing = new std::set<std::string>();
    return *missing;
}
std::set<std::string>& mappedNames() {
    static auto* names = new std::set<std::string>();
    return *names;
}
std::string& dllDirectory() {
    static auto* directory = new std::string();
    return *directory;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool endsWithDll(const std::string& name) {
    return name.size() > 4 && lower(name.substr(name.size() - 4)) == ".dll";
}

// Maps one file name (no folder).
std::string mapFileName(const std::string& name) {
    static const std::pair<const char*, const char*> kKnown[] = {
        {"qwave.dll", "libqwave.so"},
        {"avrt.dll", "libavrt.so"},
        {"libjabra.dll", "libjabra.so"},
    };
    for (const auto& known : kKnown) {
        if (lower(name) == known.first) {
            return known.second;
        }
    }
    if (endsWithDll(name)) {
        return "lib" + name.substr(0, name.size() - 4) + ".so";
    }
    return name;
}

std::string mapName(const std::string& dllName) {
    std::string path = dllName;
    std::replace(path.begin(), path.end(), '\\', '/');
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    return folder + mapFileName(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::string fileNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder this library was loaded from.
std::string ownFolder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LoadLibraryA), &info) == 0 || !info.dli_fname) {
        return "";
    }
    const std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

void* openIn(const std::string& folder, const std::string& file) {
    if (folder.empty()) {
        return nullptr;
    }
    const std::string path = folder + "/" + file;
    if (::access(path.c_str(), F_OK) != 0) {
        return nullptr;
    }
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

} // namespace

const char* mappedLibraryName(LPCSTR dllName) {
    if (!dllName) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(dlLock);
    // Interned, so the text lives as long as the process.
    return mappedNames().insert(mapName(dllName)).first->c_str();
}

HMODULE LoadLibraryA(LPCSTR name) {
    if (!name || !*name) {
        return detail::fail<HMODULE>(ERROR_INVALID_PARAMETER, nullptr);
    }
    const std::string mapped = mapName(name);
    std::string firstFolder;
    {
        std::lock_guard<std::mutex> guard(dlLock);
        if (missingLibraries().count(lower(fileNameOf(mapped)))) {
            return detail::fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
        }
        firstFolder = dllDirectory();
    }
    void* handle = nullptr;
    if (mapped.find('/') != std::string::npos) {
        handle = ::dlopen(mapped.c_str(), RTLD_NOW | RTLD_LOCAL);
    } else {
        const char* envFolder = std::getenv("KBR_PLATFORM_LIBDIR");
        for (const std::string& folder :
             {firstFolder, ownFolder(), std::string(envFolder ? envFolder : "")}) {
            if ((handle = openIn(folder, mapped)) != nullptr) {
                break;
            }
        }
        if (!handle) {
            handle = ::dlopen(mapped.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
    }
    if (!handle) {
        return detail::fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
    }
    std::lock_guard<std::mutex> guard(dlLock);
    ++openModules()[handle];
    return reinterpret_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    void* handle = reinterpret_cast<void*>(module);
    {
        std::lock_guard<std::mutex> guard(dlLock);
        if (!openModules().count(handle)) {
            return detail::fail<FARPROC>(ERROR_INVALID_HANDLE, nullptr);
        }
    }
    // Ordinals (names below 0x10000) are not supported.
    if (!name || reinterpret_cast<uintptr_t>(name) < 0x10000) {
        return detail::fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
    }
    void* symbol = ::dlsym(handle, name);
    if (!symbol) {
        return detail::fail<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
    void* handle = reinterpret_cast<void*>(module);
    {
        std::lock_guard<std::mutex> guard(dlLock);
        auto it = openModules().find(handle);
        if (it == openModules().end()) {
            return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
        }
        if (--it->second == 0) {
            openModules().erase(it);
        }
    }
    ::dlclose(handle);
    return TRUE;
}

BOOL SetDllDirectoryA(LPCSTR path) {
    std::lock_guard<std::mutex> guard(dlLock);
    dllDirectory() = path ? path : "";
    return TRUE;
}

namespace testing {
void setLibraryMissing(LPCSTR dllName, bool missing) {
    if (!dllName) {
        return;
    }
    const std::string key = lower(fileNameOf(mapName(dllName)));
    std::lock_guard<std::mutex> guard(dlLock);
    if (missing) {
        missingLibraries().insert(key);
    } else {
        missingLibraries().erase(key);
    }
}
} // namespace testing

} // namespace plat
