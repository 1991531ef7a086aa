// The registry kept in a file: the calls and codes, durability between processes, damaged files.
#include "plat/registry.h"
#include "support/OtherUser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <iostream>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <vector>
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
        // Desktop entries of shell keys stay in the test's folder.
        ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
        openAtStart = plat::testing::openRegistryKeyCount();
    }
    void TearDown() override {
        EXPECT_EQ(openAtStart, plat::testing::openRegistryKeyCount()) << "registry handles left open";
        ::unsetenv("KBR_REGISTRY_FILE");
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("XDG_DATA_HOME");
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

// The new files a writer makes beside the registry, by name.
std::vector<std::string> newFiles(const std::string& folder) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (std::string(e->d_name).rfind("registry.new.", 0) == 0) out.push_back(e->d_name);
        }
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

pid_t endedProcess() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

TEST_F(Registry, NewFilesOfWritersThatEndedAreRemovedAtTheNextWrite) {
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\First"));
    const std::string folder = dir + "/sub";
    const pid_t alive = ::fork();
    if (alive == 0) {
        ::pause();
        ::_exit(0);
    }
    const std::string ended1 = "registry.new." + std::to_string(endedProcess());
    const std::string ended2 = "registry.new." + std::to_string(endedProcess());
    const std::string running = "registry.new." + std::to_string(alive);
    for (const std::string& name : {ended1, ended2, running, std::string("registry.new.x1"), std::string("registry.new.")}) {
        std::ofstream(folder + "/" + name) << "half a tree";
    }
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Second"));
    std::vector<std::string> expected = {running, "registry.new.", "registry.new.x1"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, newFiles(folder));
    ::kill(alive, SIGKILL);
    ::waitpid(alive, nullptr, 0);
    // A read takes nothing away (it does not hold the writers' lock).
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Second", 0, KEY_READ, &k)));
    RegCloseKey(k);
    EXPECT_EQ(expected, newFiles(folder));
}

// Writers of a large tree killed at random points of their writes (kill -9, as a crash).
TEST_F(Registry, WritersKilledWhileWritingLeaveNothingBehindAfterTheNextWrite) {
    const std::string big(700000, 'x'); // 1.4 MB of UTF-16 in the file
    HKEY k = create(HKEY_CURRENT_USER, "Software\\Big");
    RegSetValueExA(k, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(big.c_str()), DWORD(big.size() + 1));
    RegCloseKey(k);
    constexpr int kRounds = 40;
    for (int i = 0; i < kRounds; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            HKEY key = nullptr;
            RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Big", 0, KEY_ALL_ACCESS, &key);
            for (DWORD n = 0;; ++n) RegSetValueExA(key, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4);
        }
        ::usleep(20000 + 7000 * (i % 20));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    std::cout << newFiles(dir + "/sub").size() << " new files left by " << kRounds << " killed writers\n";
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\After"));
    EXPECT_EQ(std::vector<std::string>(), newFiles(dir + "/sub"));
    HKEY check = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Big", 0, KEY_READ, &check)));
    EXPECT_EQ(big, query(check, "v").substr(0, big.size()));
    RegCloseKey(check);
}

// Without HOME the registry is the one in the home the user database gives, never a shared folder.
TEST(RegistryLocation, WithoutHomeTheUserDatabaseNamesTheHome) {
    struct Case {
        uid_t uid;
    } cases[] = {{::geteuid()}, {testsupport::kNobody}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uid);
        if (c.uid != ::geteuid() && (::geteuid() != 0 || !testsupport::canActAsUser(c.uid))) {
            std::cout << "skipped user " << c.uid << ": this process cannot act as that user\n";
            continue;
        }
        passwd* entry = ::getpwuid(c.uid);
        if (!entry) {
            std::cout << "skipped user " << c.uid << ": not in the user database\n";
            continue;
        }
        const std::string expected = std::string(entry->pw_dir) + "/.config/kbr/registry";
        const bool own = c.uid == ::geteuid();
        const int status = testsupport::runAsUser(c.uid, [&] {
            ::unsetenv("HOME");
            ::unsetenv("KBR_REGISTRY_FILE");
            ::unsetenv("XDG_CONFIG_HOME");
            if (plat::testing::registryFile() != expected) return 1;
            if (own) return 0; // the tester's own home is not written
            // nobody's home does not exist: nothing is read or written anywhere else.
            HKEY k = nullptr;
            const LSTATUS r = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                              &k, nullptr);
            return r == ERROR_ACCESS_DENIED ? 0 : 2;
        });
        EXPECT_EQ(0, status) << "1: another file, 2: written";
    }
}

// Folders from the configuration folder down to the file, and the file, must be the user's alone:
// one another user made first (or may write in) would let a forged tree be read.
TEST(RegistryLocation, FoldersAndFilesNotTheUsersAloneAreRefused) {
    char pattern[] = "/tmp/kbr-registry-place-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    const std::string dir = pattern;
    const std::string config = dir + "/config";
    const uid_t other = testsupport::kNobody;
    auto give = [&](const std::string& path) { return ::geteuid() != other && ::lchown(path.c_str(), other, other) == 0; };
    struct Case {
        const char* what;
        std::function<bool()> layOut; // false: cannot be laid out here (skipped)
        const char* refused;          // the reason logged; null: the registry is used
    } cases[] = {
        {"private folders", [&] { return true; }, nullptr},
        {"the configuration folder open to others",
         [&] { return ::mkdir(config.c_str(), 0700) == 0 && ::chmod(config.c_str(), 0777) == 0; },
         " may be written by others (mode 0777)"},
        // Group write is refused for a group another account is in: nobody's group.
        {"the kbr folder writable by a group of another user",
         [&] { return ::mkdir(config.c_str(), 0700) == 0 && ::mkdir((config + "/kbr").c_str(), 0770) == 0 &&
                      ::chmod((config + "/kbr").c_str(), 0770) == 0 &&
                      ::chown((config + "/kbr").c_str(), ::geteuid(), other) == 0; },
         "/kbr may be written by others (mode 0770)"},
        {"a file others may write in",
         [&] {
             if (::mkdir(config.c_str(), 0700) != 0 || ::mkdir((config + "/kbr").c_str(), 0700) != 0) return false;
             std::ofstream(config + "/kbr/registry") << "kbr-registry 1\n";
             return ::chmod((config + "/kbr/registry").c_str(), 0666) == 0;
         },
         "/kbr/registry may be written by others (mode 0666)"},
        {"the kbr folder of another user",
         [&] { return ::mkdir(config.c_str(), 0700) == 0 && ::mkdir((config + "/kbr").c_str(), 0755) == 0 &&
                      give(config + "/kbr"); },
         "/kbr belongs to user 65534 (not this user)"},
        {"a forged file of another user",
         [&] {
             if (::mkdir(config.c_str(), 0700) != 0 || ::mkdir((config + "/kbr").c_str(), 0700) != 0) return false;
             std::ofstream(config + "/kbr/registry") << "kbr-registry 1\n";
             return give(config + "/kbr/registry");
         },
         "/kbr/registry belongs to user 65534 (not this user)"},
        {"the configuration folder a link of another user",
         [&] { return ::mkdir((dir + "/real").c_str(), 0700) == 0 && ::symlink("real", config.c_str()) == 0 &&
                      give(config); },
         "/config is a link of user 65534 (not this user)"},
        {"the configuration folder a link of the user's own", [&] {
             return ::mkdir((dir + "/real").c_str(), 0700) == 0 && ::symlink("real", config.c_str()) == 0;
         }, nullptr},
    };
    ::unsetenv("KBR_REGISTRY_FILE");
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::system(("rm -rf " + config + " " + dir + "/real").c_str());
        if (!c.layOut()) {
            std::cout << "skipped \"" << c.what << "\": cannot be laid out here\n";
            continue;
        }
        ::testing::internal::CaptureStderr();
        HKEY created = nullptr, opened = nullptr;
        const LSTATUS r = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Mine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          &created, nullptr);
        const LSTATUS read = RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &opened);
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (c.refused) {
            EXPECT_EQ(ERROR_ACCESS_DENIED, DWORD(r));
            EXPECT_EQ(ERROR_ACCESS_DENIED, DWORD(read));
            EXPECT_NE(std::string::npos, err.find(c.refused)) << err;
            EXPECT_NE(std::string::npos, err.find("; the registry " + config + "/kbr/registry is not used\n")) << err;
            EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err; // one line, not one per call
        } else {
            EXPECT_EQ(ERROR_SUCCESS, DWORD(r));
            EXPECT_EQ(ERROR_SUCCESS, DWORD(read));
            EXPECT_EQ("", err);
            RegCloseKey(created);
            RegCloseKey(opened);
        }
    }
    // A named file in a folder others may write in is refused too.
    ::mkdir((dir + "/open").c_str(), 0777);
    ::chmod((dir + "/open").c_str(), 0777);
    ::setenv("KBR_REGISTRY_FILE", (dir + "/open/registry").c_str(), 1);
    ::testing::internal::CaptureStderr();
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, DWORD(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &k)));
    EXPECT_NE(std::string::npos, ::testing::internal::GetCapturedStderr().find("/open may be written by others"));
    ::unsetenv("KBR_REGISTRY_FILE");
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(0, plat::testing::openRegistryKeyCount());
    std::system(("rm -rf " + dir).c_str());
}

// The desktop entry's Exec line for the Windows command of a shell key: arguments by the Windows
// rules, quoted and escaped by the desktop-entry rules, "%1" the URL.
TEST(RegistryDesktop, ExecLineOfAWindowsCommand) {
    ::setenv("KBR_TEST_FOLDER", "/home/u/brimel", 1);
    struct Case {
        const char* command;
        bool expand, url;
        const char* exec; // as the desktop file holds it
    } cases[] = {
        {"\"/opt/brimel/brimel\" -dial \"%1\"", false, true, "/opt/brimel/brimel -dial %u"},
        {"\"/opt/my phone/brimel\" \"%1\"", false, true, "\"/opt/my phone/brimel\" %u"},
        {"brimel --url=%1 %L", false, true, "brimel --url=%u %u"},
        {"brimel 100% %*", false, true, "brimel 100%%"},
        {"\"C:\\Program Files\\Brimel\\brimel.exe\" \"%1\"", false, true,
         "\"C:\\\\\\\\Program Files\\\\\\\\Brimel\\\\\\\\brimel.exe\" %u"},
        {"brimel \"a $b `c` \\\"d\\\"\"", false, true, "brimel \"a \\\\$b \\\\`c\\\\` \\\\\"d\\\\\"\""},
        {"brimel \"\" x", false, true, "brimel \"\" x"},
        {"%KBR_TEST_FOLDER%/brimel -autostart %UNSET_KBR_VARIABLE%", true, false,
         "/home/u/brimel/brimel -autostart %%UNSET_KBR_VARIABLE%%"},
        {"%KBR_TEST_FOLDER%/brimel", false, false, "%%KBR_TEST_FOLDER%%/brimel"},
        {"brimel %1", false, false, "brimel %%1"},
        {"  ", false, true, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.exec, plat::testing::desktopExecLine(c.command, c.expand, c.url)) << c.command;
    }
    ::unsetenv("KBR_TEST_FOLDER");
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
