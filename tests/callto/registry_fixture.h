// A registry file of the test's own, and reading values back through the platform calls.
#pragma once

#include "plat/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

class RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kbr-callto-test-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        dir = pattern;
        ::setenv("KBR_REGISTRY_FILE", (dir + "/registry").c_str(), 1);
        // The desktop entries of the shell keys go to a home of the test's own.
        home = dir + "/home";
        ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    }
    void TearDown() override {
        EXPECT_EQ(0, plat::testing::openRegistryKeyCount()) << "registry handles left open";
        ::unsetenv("KBR_REGISTRY_FILE");
        ::unsetenv("KBR_PROFILE_TYPE");
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("XDG_DATA_HOME");
        std::system(("rm -rf " + dir).c_str());
    }

    // The value as text (one terminating NUL dropped) and its type; "<absent>" when missing.
    static std::string read(const std::string& key, const char* name, plat::DWORD* type = nullptr) {
        plat::HKEY k = nullptr;
        if (plat::RegOpenKeyExA(plat::HKEY_CURRENT_USER, key.c_str(), 0, plat::KEY_READ, &k) != 0) {
            return "<absent>";
        }
        plat::DWORD size = 0;
        std::string out = "<absent>";
        if (plat::RegQueryValueExA(k, name, nullptr, type, nullptr, &size) == 0) {
            out.assign(size, '\0');
            plat::RegQueryValueExA(k, name, nullptr, type, reinterpret_cast<plat::BYTE*>(out.data()), &size);
            if (!out.empty() && out.back() == '\0') out.pop_back();
        }
        plat::RegCloseKey(k);
        return out;
    }
    static bool keyExists(const std::string& key) {
        plat::HKEY k = nullptr;
        if (plat::RegOpenKeyExA(plat::HKEY_CURRENT_USER, key.c_str(), 0, plat::KEY_READ, &k) != 0) return false;
        plat::RegCloseKey(k);
        return true;
    }
    // Writes a REG_SZ (with its NUL) or, for a null text, nothing but the key.
    static void put(const std::string& key, const char* name, const char* text, plat::DWORD type = plat::REG_SZ) {
        plat::HKEY k = nullptr;
        ASSERT_EQ(0, plat::RegCreateKeyExA(plat::HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, plat::KEY_ALL_ACCESS,
                                           nullptr, &k, nullptr));
        if (text) {
            ASSERT_EQ(0, plat::RegSetValueExA(k, name, 0, type, reinterpret_cast<const plat::BYTE*>(text),
                                              plat::DWORD(std::char_traits<char>::length(text) + 1)));
        }
        plat::RegCloseKey(k);
    }
    std::string fileText() const {
        std::ifstream in(dir + "/registry", std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir;
    std::string home;
};
