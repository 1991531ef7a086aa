// The registry kept in a file: the calls and codes, durability between processes, damaged files.
#include "plat/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace plat;

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kbr-registry-test-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        dir = pattern;
        file = dir + "/sub/registry";
        ::setenv("KBR_REGISTRY_FILE", file.c_str(), 1);
        openAtStart = plat::testing::openRegistryKeyCount();
    }
    void TearDown() override {
        EXPECT_EQ(openAtStart, plat::testing::openRegistryKeyCount()) << "registry handles left open";
        ::unsetenv("KBR_REGISTRY_FILE");
        std::system(("rm -rf " + dir).c_str());
    }

    HKEY create(HKEY parent, const char* path, DWORD* disposition = nullptr, REGSAM rights = KEY_ALL_ACCESS) {
        HKEY k = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, DWORD(RegCreateKeyExA(parent, path, 0, nullptr, 0, rights, nullptr, &k, disposition)));
        return k;
    }
    // The value as the ANSI call gives it, with its type; empty with type REG_NONE when missing.
    std::string query(HKEY key, const char* name, DWORD* type = nullptr) {
        DWORD size = 0;
        if (RegQueryValueExA(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) {
            return "<missing>";
        }
        std::string out(size, '\0');
        EXPECT_EQ(ERROR_SUCCESS, DWORD(RegQueryValueExA(key, name, nullptr, type,
                                                        reinterpret_cast<BYTE*>(out.data()), &size)));
        out.resize(size);
        return out;
    }
    std::string fileText() {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir;
    std::string file;
    int openAtStart = 0;
};

TEST_F(Registry, CreateMakesIntermediateKeysAndReportsNewOrExisting) {
    DWORD disposition = 0;
    HKEY k = create(HKEY_CURRENT_USER, "Software\\A\\B\\C", &disposition);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    RegCloseKey(k);
    k = create(HKEY_CURRENT_USER, "software\\a\\b\\c", &disposition); // names ignore case
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    RegCloseKey(k);

    HKEY opened = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\A\\B", 0, KEY_READ, &opened)));
    RegCloseKey(opened);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\A\\X", 0, KEY_READ, &opened)));
    EXPECT_EQ(nullptr, opened);
    EXPECT_EQ(ERROR_BADKEY, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\\\A", 0, KEY_READ, &opened)));
    // The empty path opens the root itself.
    EXPECT_EQ(ERROR_SUCCESS, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &opened)));
    RegCloseKey(opened);
}

TEST_F(Registry, NewUserTreeHoldsTheKeysEveryProfileHas) {
    for (const char* path : {"Software", "Software\\Classes", "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                             "Software\\Microsoft\\Windows\\Shell"}) {
        HKEY k = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &k))) << path;
        RegCloseKey(k);
    }
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Office", 0, KEY_READ, &k)));
}

TEST_F(Registry, TextWrittenWideIsReadAnsiWithItsTerminator) {
    HKEY k = create(HKEY_CURRENT_USER, "Software\\T");
    const std::u16string text = u"\u00e9!";
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegSetValueExW(k, u"", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                                  DWORD(text.size() * 2 + 2))));
    DWORD type = 0;
    EXPECT_EQ(std::string("\xc3\xa9!\0", 4), query(k, nullptr, &type)); // the default value
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(std::string("\xc3\xa9!\0", 4), query(k, "", &type));

    // Too small a buffer: ERROR_MORE_DATA and the size needed; nothing written past it.
    char small[3] = {'x', 'x', 'x'};
    DWORD size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, DWORD(RegQueryValueExA(k, "", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size)));
    EXPECT_EQ(4u, size);
    EXPECT_EQ('x', small[2]);

    // An ANSI write is stored wide: the wide bytes are what the file keeps.
    const char ansi[] = "ab";
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegSetValueExA(k, "Name", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(ansi), 3)));
    EXPECT_EQ(std::string("ab\0", 3), query(k, "NAME", &type));
    EXPECT_EQ(REG_EXPAND_SZ, type);
    EXPECT_NE(std::string::npos, fileText().find("V :Name 2 610062000000"));
    EXPECT_EQ("<missing>", query(k, "Other"));
    RegCloseKey(k);
}

TEST_F(Registry, ValuesWithoutTerminatorOrOfAnotherTypeComeBackAsStored) {
    HKEY k = create(HKEY_CURRENT_USER, "Software\\T");
    const char16_t noNul[] = {u'a', u'b'};
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegSetValueExW(k, u"open", 0, REG_SZ, reinterpret_cast<const BYTE*>(noNul), 4)));
    EXPECT_EQ("ab", query(k, "open"));
    const BYTE odd[] = {'a', 0, 'b'}; // half a character at the end is dropped
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegSetValueExA(k, "odd", 0, REG_BINARY, odd, 3)));
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegSetValueExW(k, u"odd2", 0, REG_SZ, odd, 3)));
    EXPECT_EQ("a", query(k, "odd2"));
    const DWORD number = 0x00414243;
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegSetValueExA(k, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4)));
    DWORD type = 0;
    EXPECT_EQ(std::string("CBA\0", 4), query(k, "n", &type));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(std::string("a\0b", 3), query(k, "odd"));
    RegCloseKey(k);
}

TEST_F(Registry, EnumerationIsSortedAndAsksForMoreRoom) {
    HKEY k = create(HKEY_CURRENT_USER, "Software\\E");
    for (const char* name : {"zeta", "Alpha", "beta"}) RegCloseKey(create(k, name));
    const std::string longName(200, 'q');
    RegCloseKey(create(k, longName.c_str()));

    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char buffer[256];
        DWORD size = sizeof buffer;
        const LSTATUS r = RegEnumKeyExA(k, i, buffer, &size, nullptr, nullptr, nullptr, nullptr);
        if (r == LSTATUS(ERROR_NO_MORE_ITEMS)) break;
        ASSERT_EQ(ERROR_SUCCESS, DWORD(r));
        EXPECT_EQ(std::strlen(buffer), size);
        names.push_back(buffer);
    }
    EXPECT_EQ((std::vector<std::string>{"Alpha", "beta", longName, "zeta"}), names);

    char buffer[16];
    DWORD size = sizeof buffer;
    EXPECT_EQ(ERROR_MORE_DATA, DWORD(RegEnumKeyExA(k, 2, buffer, &size, nullptr, nullptr, nullptr, nullptr)));
    EXPECT_EQ(16u, size);
    size = 5; // "beta" and its NUL just fit
    EXPECT_EQ(ERROR_SUCCESS, DWORD(RegEnumKeyExA(k, 1, buffer, &size, nullptr, nullptr, nullptr, nullptr)));
    size = 4;
    EXPECT_EQ(ERROR_MORE_DATA, DWORD(RegEnumKeyExA(k, 1, buffer, &size, nullptr, nullptr, nullptr, nullptr)));
    RegCloseKey(k);
}

TEST_F(Registry, DeletingAKeyWithSubkeysIsRefused) {
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\D\\child"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, DWORD(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\D")));
    EXPECT_EQ(ERROR_SUCCESS, DWORD(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\D\\child")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DWORD(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\D\\child")));
    EXPECT_EQ(ERROR_SUCCESS, DWORD(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\D")));
}

TEST_F(Registry, HandlesKeepTheirRightsAndNoticeDeletedKeys) {
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\R"));
    HKEY readOnly = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\R", 0, KEY_READ, &readOnly)));
    const BYTE data[] = "x";
    EXPECT_EQ(ERROR_ACCESS_DENIED, DWORD(RegSetValueExA(readOnly, "v", 0, REG_SZ, data, 2)));
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\R")));
    EXPECT_EQ(ERROR_KEY_DELETED, DWORD(RegQueryValueExA(readOnly, "v", nullptr, nullptr, nullptr, nullptr)));
    RegCloseKey(readOnly);
    EXPECT_EQ(ERROR_INVALID_HANDLE, DWORD(RegCloseKey(readOnly)));
}

TEST_F(Registry, ClassesRootShowsTheUsersClasses) {
    HKEY k = create(HKEY_CURRENT_USER, "Software\\Classes\\callto\\shell\\open\\command");
    const char command[] = "other.exe %1";
    RegSetValueExA(k, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(command), sizeof command);
    RegCloseKey(k);
    HKEY viaRoot = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              DWORD(RegOpenKeyExA(HKEY_CLASSES_ROOT, "callto\\shell\\open\\command", 0, KEY_READ, &viaRoot)));
    EXPECT_EQ(std::string(command, sizeof command), query(viaRoot, ""));
    RegCloseKey(viaRoot);
}

TEST_F(Registry, ChangesOfSeveralProcessesAtOnceAreAllKept) {
    constexpr int kProcesses = 4, kValues = 40;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            HKEY k = nullptr;
            int failures = 0;
            for (int i = 0; i < kValues; ++i) {
                if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                    nullptr) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                const std::string name = "p" + std::to_string(p) + "v" + std::to_string(i);
                const DWORD v = DWORD(p * 1000 + i);
                failures += RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) != 0;
                RegCloseKey(k);
            }
            ::_exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Shared", 0, KEY_READ, &k)));
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kValues; ++i) {
            const std::string name = "p" + std::to_string(p) + "v" + std::to_string(i);
            DWORD v = 0, size = 4;
            ASSERT_EQ(ERROR_SUCCESS,
                      DWORD(RegQueryValueExA(k, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size)))
                << name;
            EXPECT_EQ(DWORD(p * 1000 + i), v);
        }
    }
    RegCloseKey(k);
    // Nothing of the new-file-and-rename steps is left behind.
    EXPECT_EQ(0, std::system(("test $(ls " + dir + "/sub | wc -l) -eq 2").c_str()));
}

TEST_F(Registry, DamagedFileIsReportedAndLeftAsItIs) {
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Keep"));
    const std::string good = fileText();
    struct Case {
        const char* what;
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"cut short", good.substr(0, good.size() / 2), "no end line"},
        {"one byte changed", std::string(good).replace(good.find("Keep"), 1, "k"), "checksum mismatch"},
        {"another file", "<?xml version=\"1.0\"?>\n", "unknown header"},
        {"empty", "", "unknown header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        { std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text; }
        ::testing::internal::CaptureStderr();
        HKEY k = nullptr;
        EXPECT_EQ(ERROR_BADDB, DWORD(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\New", 0, nullptr, 0,
                                                     KEY_ALL_ACCESS, nullptr, &k, nullptr)));
        EXPECT_EQ(ERROR_BADDB, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &k)));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find("is damaged (" + std::string(c.reason))) << err;
        EXPECT_EQ(c.text, fileText());
    }
}

TEST(ProfileType, ComesFromTheEnvironment) {
    struct Case {
        const char* env;
        BOOL ok;
        DWORD type;
    } cases[] = {{nullptr, TRUE, 0}, {"2", TRUE, PT_ROAMING}, {"10", TRUE, 10}, {"fail", FALSE, 0}};
    for (const Case& c : cases) {
        if (c.env) ::setenv("KBR_PROFILE_TYPE", c.env, 1);
        else ::unsetenv("KBR_PROFILE_TYPE");
        DWORD type = 99;
        EXPECT_EQ(c.ok, GetProfileType(&type)) << (c.env ? c.env : "unset");
        if (c.ok) {
            EXPECT_EQ(c.type, type);
        }
    }
    ::unsetenv("KBR_PROFILE_TYPE");
}

} // namespace
