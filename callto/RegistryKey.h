// A holder of one open registry key, with path-aware operations that report failures through the
// kmt::Registry* exceptions.
#pragma once

#include "kmt/registry.h"
#include "plat/registry.h"

#include <string>

namespace callto {

class RegistryKey {
public:
    explicit RegistryKey(plat::HKEY handle = nullptr) : handle_(handle) {}
    ~RegistryKey() { close(); }
    RegistryKey(RegistryKey&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    plat::HKEY handle() const { return handle_; }
    operator plat::HKEY() const { return handle_; }
    void close();

    // Opens path ('\'-separated) under parent: every component but the last with KEY_READ, the
    // last with rights. The empty path gives a holder of parent itself.
    static RegistryKey open(plat::HKEY parent, const std::string& path, plat::REGSAM rights);
    // Creates subkey (and missing intermediate keys); disposition, when given, tells whether the
    // key was new (REG_CREATED_NEW_KEY) or existed (REG_OPENED_EXISTING_KEY).
    static RegistryKey create(plat::HKEY parent, const std::string& subkey, plat::REGSAM rights,
                              plat::DWORD* disposition = nullptr);

    // Reads a text value; "a\b\name" reads name of key a\b, "a\" the default value of a.
    static std::string getString(plat::HKEY holder, const std::string& name);
    static std::string getStringOrEmpty(plat::HKEY holder, const std::string& name);
    // Writes into the holder itself: REG_EXPAND_SZ when expand, REG_SZ otherwise (stored UTF-16).
    static void setString(plat::HKEY holder, const std::string& name, const std::string& data, bool expand);
    static void setDword(plat::HKEY holder, const std::string& name, uint32_t value);
    // The name of the subkey at index, or empty past the last one.
    static std::string enumSubKey(plat::HKEY holder, plat::DWORD index);
    static void deleteTree(plat::HKEY holder, const std::string& path);
    static bool tryDeleteTree(plat::HKEY holder, const std::string& path);
    static void deleteKey(plat::HKEY holder, const std::string& path);

private:
    plat::HKEY handle_;
};

} // namespace callto
