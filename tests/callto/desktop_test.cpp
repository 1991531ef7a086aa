// The registrations as a Linux desktop sees them: Debian's xdg-utils and glib's gio, run under the
// test's own home, find the handler of callto:, tel: and the admin scheme and start its command
// with the link, and the autostart entry; removing the keys removes them again.
#include "Registrations.h"
#include "RegistryKey.h"
#include "registry_fixture.h"
#include "listener.h"
#include "MessageWindow.h"
#include "../support/OtherUser.h"
#include "../support/PipeLines.h"
#include "../support/TestAccounts.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sys/stat.h>
#include <thread>

using namespace callto;

namespace {

class DesktopRegistrations : public RegistryFixture {
protected:
    void SetUp() override {
        RegistryFixture::SetUp();
        if (std::system("command -v xdg-mime gio >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "xdg-mime (xdg-utils) or gio (libglib2.0-bin) is not installed";
        }
        // The phone: a program in a folder with a blank in its name, writing what it was given.
        ::mkdir((dir + "/my phone").c_str(), 0700);
        program = dir + "/my phone/brimel";
        std::ofstream(program) << "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.args\"\n";
        ::chmod(program.c_str(), 0700);
    }

    // A desktop tool run as a session without a desktop environment would run it, under the home
    // (the test's own unless another is named).
    std::string tool(const std::string& command, const std::string& under = "") const {
        const std::string line = "env -u XDG_CURRENT_DESKTOP -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS"
                                 " HOME='" + (under.empty() ? home : under) + "' timeout 20 " + command + " 2>/dev/null";
        std::string out;
        if (FILE* p = ::popen(line.c_str(), "r")) {
            char buf[512];
            for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
            ::pclose(p);
        }
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    // The arguments the program was started with ("a|b|"), waiting for it a bounded time.
    std::string started() const {
        const std::string file = program + ".args";
        for (int i = 0; i < 100; ++i) {
            std::ifstream in(file);
            std::string text;
            if (in && std::getline(in, text)) {
                std::remove(file.c_str());
                return text;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return "<not started>";
    }
    static bool exists(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0;
    }
    std::string mimeapps() const {
        std::ifstream in(home + "/.config/mimeapps.list");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string program;
};

TEST_F(DesktopRegistrations, LinksReachTheProgramAndGoAwayWithTheKeys) {
    // The user's other defaults stay; tel had another handler, which the registration replaces.
    ::mkdir(home.c_str(), 0700);
    ::mkdir((home + "/.config").c_str(), 0700);
    std::ofstream(home + "/.config/mimeapps.list")
        << "[Added Associations]\ntext/plain=editor.desktop;\n\n[Default Applications]\ntext/html=browser.desktop\n"
           "x-scheme-handler/tel=other-phone.desktop;\n";
    const std::string command = "\"" + program + "\" -dial \"%1\"";
    ASSERT_TRUE(installCallToHandlers(command, false, "Brimel", "Brimel softphone"));
    registerProgId("brimel.admin", "Brimel Phone System Admin Protocol", "\"" + program + "\" -adminlogin \"%1\"");

    struct Case {
        const char* scheme;
        const char* link;
        const char* arguments;
    } cases[] = {
        {"callto", "callto:0201234567", "-dial|callto:0201234567|"},
        {"tel", "tel:+31201234567", "-dial|tel:+31201234567|"},
        {"brimel.admin", "brimel.admin:abc", "-adminlogin|brimel.admin:abc|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scheme);
        EXPECT_EQ("kbr-" + std::string(c.scheme) + ".desktop",
                  tool("xdg-mime query default x-scheme-handler/" + std::string(c.scheme)));
        tool("gio open " + std::string(c.link));
        EXPECT_EQ(c.arguments, started());
    }
    EXPECT_NE(std::string::npos, mimeapps().find("text/plain=editor.desktop;\n")) << mimeapps();
    EXPECT_NE(std::string::npos, mimeapps().find("text/html=browser.desktop\n")) << mimeapps();
    EXPECT_EQ(std::string::npos, mimeapps().find("other-phone")) << mimeapps();

    // Installing again changes nothing.
    const std::string before = mimeapps();
    ASSERT_TRUE(installCallToHandlers(command, false, "Brimel", "Brimel softphone"));
    EXPECT_EQ(before, mimeapps());

    // A new command reaches the entries of both schemes that use it.
    registerProgId("Brimel.Callto", "Brimel Phone System Protocol", "\"" + program + "\" -new \"%1\"");
    tool("gio open tel:1");
    EXPECT_EQ("-new|tel:1|", started());

    // Without the ProgID's command the schemes have no handler left: entry and default are gone.
    RegistryKey::deleteTree(plat::HKEY_CURRENT_USER, "Software\\Classes\\Brimel.Callto");
    for (const char* scheme : {"callto", "tel"}) {
        EXPECT_EQ("", tool("xdg-mime query default x-scheme-handler/" + std::string(scheme))) << scheme;
        EXPECT_FALSE(exists(home + "/.local/share/applications/kbr-" + scheme + ".desktop")) << scheme;
    }
    EXPECT_EQ("kbr-brimel.admin.desktop", tool("xdg-mime query default x-scheme-handler/brimel.admin"));
    EXPECT_NE(std::string::npos, mimeapps().find("text/html=browser.desktop\n")) << mimeapps();
}

// A desktop entry that cannot be written leaves the user's own handlers as they were: mimeapps.list
// byte for byte, for every scheme. Once the entries can be written, they become the defaults.
TEST_F(DesktopRegistrations, AnEntryNotWrittenLeavesTheUsersDefaults) {
    const std::string applications = home + "/.local/share/applications";
    struct Case {
        const char* what;
        std::function<void()> layOut;
        const char* logged; // the reason on stderr
    } cases[] = {
        {"the applications folder a file", [&] { std::ofstream(applications) << "x"; }, " is not a folder; "},
        {"the applications folder open to others",
         [&] { ::mkdir(applications.c_str(), 0700); ::chmod(applications.c_str(), 0777); },
         " may be written by others (mode 0777); "},
    };
    const std::string own = "[Default Applications]\nx-scheme-handler/callto=other-phone.desktop;\n"
                            "x-scheme-handler/tel=other-phone.desktop;\nx-scheme-handler/brimel.admin=admin.desktop\n";
    const char* const schemes[] = {"callto", "tel", "brimel.admin"};
    // The user's own handlers, installed for the system.
    const std::string system = dir + "/share";
    std::filesystem::create_directories(system + "/applications");
    for (const char* id : {"other-phone", "admin"}) {
        std::ofstream(system + "/applications/" + id + ".desktop")
            << "[Desktop Entry]\nType=Application\nName=" << id << "\nExec=/bin/true %u\n";
    }
    ::setenv("XDG_DATA_DIRS", system.c_str(), 1);
    const std::string command = "\"" + program + "\" -dial \"%1\"";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::system(("rm -rf '" + home + "'").c_str());
        std::filesystem::create_directories(home + "/.config");
        std::filesystem::create_directories(home + "/.local/share");
        std::ofstream(home + "/.config/mimeapps.list") << own;
        c.layOut();
        ::testing::internal::CaptureStderr();
        installCallToHandlers(command, false, "Brimel", "Brimel softphone");
        registerProgId("brimel.admin", "Brimel Phone System Admin Protocol", "\"" + program + "\" -adminlogin \"%1\"");
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(own, mimeapps());
        for (const char* scheme : schemes) {
            const std::string id = "kbr-" + std::string(scheme) + ".desktop";
            EXPECT_NE(std::string::npos, err.find(c.logged + applications + "/" + id + " is not written\n")) << err;
            EXPECT_EQ(std::string(scheme) == "brimel.admin" ? "admin.desktop" : "other-phone.desktop",
                      tool("xdg-mime query default x-scheme-handler/" + std::string(scheme)))
                << scheme;
        }
        std::filesystem::remove_all(applications);
        RegistryKey::deleteTree(plat::HKEY_CURRENT_USER, "Software\\Classes");
    }
    // With the folder mended the same install writes the entries and makes them the defaults.
    installCallToHandlers(command, false, "Brimel", "Brimel softphone");
    registerProgId("brimel.admin", "Brimel Phone System Admin Protocol", "\"" + program + "\" -adminlogin \"%1\"");
    for (const char* scheme : schemes) {
        EXPECT_EQ("kbr-" + std::string(scheme) + ".desktop",
                  tool("xdg-mime query default x-scheme-handler/" + std::string(scheme)))
            << scheme;
    }
    ::unsetenv("XDG_DATA_DIRS");
}

// A home as a umask 002 desktop lays it out (home, ~/.config and ~/.local/share at 0775): group write
// is safe where the group is the user's own private group, and refused where another account is in
// it, or for write by others. Played by accounts of the test's own, each case as its user through
// the registrations (registry, desktop entry, default handler) and the hand-off, whose message
// folder falls back to the home here (the runtime folder's one is another user's link). Where the
// user database cannot be listed (LDAP, sssd), the accounts that share a primary group are not
// seen: there only a group that lists the user alone is the user's.
TEST_F(DesktopRegistrations, GroupWriteServesOnlyForTheUsersPrivateGroup) {
    testsupport::TestAccounts accounts;
    // 0: a user and its private group (user 0 is listed in group 5 besides); 1: a user whose group
    // lists account 3; 2: a user whose group is account 3's primary group; 3: that account, with a
    // group named as it that lists it alone besides; 4: another account of group 2, with a group
    // named as it that lists no one; no group 6.
    if (::geteuid() != 0 || !testsupport::canActAsUser(testsupport::kNobody) ||
        !(accounts.addGroup(5) && accounts.addGroup(0) && accounts.addUser(0, 0, {5}) && accounts.addGroup(1) &&
          accounts.addUser(1, 1) && accounts.addGroup(2) && accounts.addUser(2, 2) && accounts.addGroup(3) &&
          accounts.addUser(3, 2, {1, 3}) && accounts.addGroup(4) && accounts.addUser(4, 2))) {
        GTEST_SKIP() << "this process cannot add accounts (groupadd, useradd) or act as other users";
    }
    struct Case {
        const char* what;
        int user, group;
        mode_t mode;
        bool listed; // whether a walk of the user database meets the accounts
        bool accepted;
    } cases[] = {
        {"the user's private group", 0, 0, 0775, true, true},
        {"a group named as the user listing it alone, not its primary group", 3, 3, 0775, true, true},
        {"write for others", 0, 0, 0777, true, false},
        {"the user's group listing another account", 1, 1, 0775, true, false},
        {"the user's group another account's primary group", 2, 2, 0775, true, false},
        {"a group the user is a member of, not its own", 0, 5, 0775, true, false},
        {"a group the group database does not have", 0, 6, 0775, true, false},
        {"a group named as the user listing no one, not its primary group", 4, 4, 0775, true, false},
        {"the user's private group, accounts not listed", 0, 0, 0775, false, false},
        {"the user's group another account's primary group, accounts not listed", 2, 2, 0775, false, false},
        {"a group named as the user listing it alone, accounts not listed", 3, 3, 0775, false, true},
    };
    ASSERT_EQ(0, ::chmod(dir.c_str(), 0711)); // the homes below are reached by their users
    // The runtime folder's message folder: a link of another user.
    const std::string runtime = dir + "/runtime";
    ASSERT_EQ(0, ::mkdir(runtime.c_str(), 0755));
    ASSERT_EQ(0, ::symlink("/tmp", (runtime + "/kbr-winmsg").c_str()));
    ASSERT_EQ(0, ::lchown((runtime + "/kbr-winmsg").c_str(), testsupport::kNobody, testsupport::kNobody));
    const std::string command = "\"" + program + "\" -dial \"%1\"";
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string userHome = dir + "/home" + std::to_string(n++);
        for (const char* sub : {"", "/.config", "/.local", "/.local/share"}) {
            const std::string folder = userHome + sub;
            ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
            ASSERT_EQ(0, ::chown(folder.c_str(), accounts.id(c.user), accounts.id(c.group)));
            ASSERT_EQ(0, ::chmod(folder.c_str(), c.mode));
        }
        int report[2];
        ASSERT_EQ(0, ::pipe(report));
        // What the user's processes print, in a file of the user's.
        const std::string errors = userHome + ".out";
        std::ofstream(errors).close();
        ASSERT_EQ(0, ::chown(errors.c_str(), accounts.id(c.user), accounts.id(c.user)));
        const int status = testsupport::runAsUser(accounts.id(c.user), [&] {
            ::close(report[0]);
            const int out = ::open(errors.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (out < 0 || ::dup2(out, 1) != 1 || ::dup2(out, 2) != 2) return 1;
            ::umask(002);
            if (!c.listed) {
                ::setenv("KBR_TEST_UNLISTED_USERS", "1", 1);
                ::setpwent();
                const bool walked = ::getpwent() != nullptr;
                ::endpwent();
                if (walked) return 2;
            }
            ::setenv("HOME", userHome.c_str(), 1);
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            for (const char* v : {"KBR_REGISTRY_FILE", "KBR_WINMSG_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
                ::unsetenv(v);
            }
            std::string install;
            try {
                install = installCallToHandlers(command, false, "Brimel", "Brimel softphone") ? "true" : "false";
            } catch (const std::exception& e) {
                for (const char* c = e.what(); *c; ++c) install += (*c == '\r' || *c == '\n') ? ' ' : *c;
            }
            Listener running;
            running.start();
            std::string handOff = testsupport::readLine(running.lines);
            if (handOff.rfind("started", 0) == 0) {
                const std::string text = "callto:0201234567";
                handOff = handOverCommand(text.c_str(), text.size()) ? testsupport::readLine(running.lines)
                                                                     : "not handed over";
            }
            const std::string line = "install " + install + "\ndefault [" +
                                     tool("xdg-mime query default x-scheme-handler/callto", userHome) +
                                     "]\nhand-off " + handOff + "\n";
            (void)!::write(report[1], line.data(), line.size());
            return 0;
        });
        ::close(report[1]);
        const std::string install = testsupport::readLine(report[0]);
        const std::string handler = testsupport::readLine(report[0]);
        const std::string handOff = testsupport::readLine(report[0]);
        ::close(report[0]);
        EXPECT_EQ(0, status) << "1: output not redirected, 2: the accounts still listed";
        std::ifstream in(errors);
        const std::string err((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(c.mode));
        const std::string refusal = " may be written by others (mode " + std::string(mode) + ")";
        if (c.accepted) {
            EXPECT_EQ("install true", install);
            EXPECT_EQ("default [kbr-callto.desktop]", handler);
            EXPECT_EQ("hand-off command [callto:0201234567]", handOff);
            EXPECT_EQ(std::string::npos, err.find("may be written by others")) << err;
        } else {
            EXPECT_NE(std::string::npos, install.find("Access is denied")) << install;
            EXPECT_EQ("default []", handler);
            EXPECT_EQ(0u, handOff.rfind("hand-off not started", 0)) << handOff;
            EXPECT_NE(std::string::npos, err.find("registry: " + userHome + "/.config" + refusal)) << err;
            EXPECT_NE(std::string::npos, err.find("the home folder " + userHome + refusal)) << err;
        }
    }
}

TEST_F(DesktopRegistrations, TheRunValueIsAnAutostartEntry) {
    const std::string entry = home + "/.config/autostart/kbr-brimel.desktop";
    writeAutoLoginRunValue("Brimel", ("\"" + program + "\" -autostart").c_str(), "roaming");
    ASSERT_TRUE(exists(entry));
    tool("gio launch '" + entry + "'");
    EXPECT_EQ("-autostart|", started());
    // The roaming text is expanded from the environment, as Windows does for REG_EXPAND_SZ.
    ::setenv("KBR_PROFILE_TYPE", "2", 1);
    ::setenv("KBR_PHONE_FOLDER", (dir + "/my phone").c_str(), 1);
    writeAutoLoginRunValue("Brimel", "local", "\"%KBR_PHONE_FOLDER%/brimel\" -roaming");
    ::unsetenv("KBR_PHONE_FOLDER");
    tool("gio launch '" + entry + "'");
    EXPECT_EQ("-roaming|", started());
    RegistryKey run = RegistryKey::open(plat::HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                                        plat::KEY_ALL_ACCESS);
    ASSERT_EQ(0, plat::RegDeleteValueA(run.handle(), "Brimel"));
    EXPECT_FALSE(exists(entry));
}

} // namespace
