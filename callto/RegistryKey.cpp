#include "RegistryKey.h"

#include "ModifiedUtf8.h"

#include <cstring>
#include <vector>

namespace callto {

using namespace plat;

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

void RegistryKey::close() {
    if (handle_) {
        RegCloseKey(handle_);
        handle_ = nullptr;
    }
}

RegistryKey RegistryKey::open(HKEY parent, const std::string& path, REGSAM rights) {
    const size_t p = path.find('\\');
    if (p != std::string::npos) {
        RegistryKey first = open(parent, path.substr(0, p), KEY_READ);
        return open(first, path.substr(p + 1), rights);
    }
    HKEY h = nullptr;
    const LSTATUS r = RegOpenKeyExA(parent, path.c_str(), 0, rights, &h);
    if (r != ERROR_SUCCESS) {
        throw kmt::RegistryKeyNotFound(static_cast<uint32_t>(r));
    }
    return RegistryKey(h);
}

RegistryKey RegistryKey::create(HKEY parent, const std::string& subkey, REGSAM rights, DWORD* disposition) {
    HKEY h = nullptr;
    const LSTATUS r = RegCreateKeyExA(parent, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, rights, nullptr,
                                      &h, disposition);
    if (r != ERROR_SUCCESS) {
        throw kmt::RegistryKeyCreationFailed(static_cast<uint32_t>(r));
    }
    return RegistryKey(h);
}

std::string RegistryKey::getString(HKEY holder, const std::string& name) {
    const size_t p = name.rfind('\\');
    if (p != std::string::npos) {
        RegistryKey key = open(holder, name.substr(0, p), KEY_READ);
        return getString(key, name.substr(p + 1));
    }
    DWORD size = 0;
    LSTATUS r = RegQueryValueExA(holder, name.c_str(), nullptr, nullptr, nullptr, &size);
    if (r != ERROR_SUCCESS) {
        throw kmt::RegistryValueNotFound(static_cast<uint32_t>(r));
    }
    if (size == 0) {
        return std::string();
    }
    std::vector<char> buffer(size, '\0');
    r = RegQueryValueExA(holder, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (r != ERROR_SUCCESS) {
        throw kmt::RegistryValueNotFound(static_cast<uint32_t>(r));
    }
    // A value stored without a terminating NUL fills the buffer: stop at its end, not past it.
    const size_t limit = size < buffer.size() ? size : buffer.size();
    const void* nul = std::memchr(buffer.data(), '\0', limit);
    return std::string(buffer.data(), nul ? static_cast<const char*>(nul) - buffer.data() : limit);
}

std::string RegistryKey::getStringOrEmpty(HKEY holder, const std::string& name) {
    try {
        return getString(holder, name);
    } catch (const kmt::RegistryException&) {
        return std::string();
    }
}

void RegistryKey::setString(HKEY holder, const std::string& name, const std::string& data, bool expand) {
    // Texts from Java are modified UTF-8: characters beyond U+FFFF arrive as encoded surrogates.
    const kmt::wstring wideName = fromModifiedUtf8(name);
    const kmt::wstring wideData = fromModifiedUtf8(data);
    const LSTATUS r = RegSetValueExW(holder, wideName.c_str(), 0, expand ? REG_EXPAND_SZ : REG_SZ,
                                     reinterpret_cast<const BYTE*>(wideData.c_str()),
                                     static_cast<DWORD>(wideData.size() * 2 + 2));
    if (r != ERROR_SUCCESS) {
        throw kmt::RegistryValueNotFound(static_cast<uint32_t>(r));
    }
}

void RegistryKey::setDword(HKEY holder, const std::string& name, uint32_t value) {
    const LSTATUS r =
        RegSetValueExA(holder, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (r != ERROR_SUCCESS) {
        throw kmt::RegistryValueNotFound(static_cast<uint32_t>(r));
    }
}

std::string RegistryKey::enumSubKey(HKEY holder, DWORD index) {
    DWORD size = 256;
    std::vector<char> buffer(size, '\0');
    for (;;) {
        const LSTATUS r = RegEnumKeyExA(holder, index, buffer.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (r == static_cast<LSTATUS>(ERROR_MORE_DATA)) {
            size *= 2;
            buffer.assign(size, '\0');
            continue;
        }
        if (r == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS)) {
            return std::string();
        }
        if (r != ERROR_SUCCESS) {
            throw kmt::RegistryException("RegEnumKeyEx", std::string(), static_cast<uint32_t>(r));
        }
        const void* nul = std::memchr(buffer.data(), '\0', buffer.size());
        return std::string(buffer.data(), nul ? static_cast<const char*>(nul) - buffer.data() : buffer.size());
    }
}

void RegistryKey::deleteTree(HKEY holder, const std::string& path) {
    const size_t p = path.rfind('\\');
    if (p != std::string::npos) {
        RegistryKey parent = open(holder, path.substr(0, p), KEY_ALL_ACCESS);
        deleteTree(parent, path.substr(p + 1));
        return;
    }
    {
        RegistryKey key = open(holder, path, KEY_ALL_ACCESS);
        for (std::string sub = enumSubKey(key, 0); !sub.empty(); sub = enumSubKey(key, 0)) {
            deleteTree(key, sub);
        }
    }
    deleteKey(holder, path);
}

bool RegistryKey::tryDeleteTree(HKEY holder, const std::string& path) {
    try {
        deleteTree(holder, path);
        return true;
    } catch (const kmt::RegistryException&) {
        return false;
    }
}

void RegistryKey::deleteKey(HKEY holder, const std::string& path) {
    const size_t p = path.rfind('\\');
    if (p != std::string::npos) {
        RegistryKey parent = open(holder, path.substr(0, p), KEY_READ);
        deleteKey(parent, path.substr(p + 1));
        return;
    }
    const LSTATUS r = RegDeleteKeyA(holder, path.c_str());
    if (r != ERROR_SUCCESS) {
        throw kmt::RegistryException("RegDeleteKey", path, static_cast<uint32_t>(r));
    }
}

} // namespace callto
