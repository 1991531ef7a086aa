// Accounts and groups of a test's own in the machine's user and group databases (groupadd,
// useradd), for the checks that read them: who else is in a folder's group. Removed again when the
// object goes. Only root can add them; where an add fails the caller skips.
#pragma once

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

class TestAccounts {
public:
    // Accounts and groups a test process left behind (ended before it could remove them) go first.
    TestAccounts() : owner_(::getpid()) {
        if (::geteuid() != 0) return;
        std::vector<std::string> users, groups;
        ::setpwent();
        while (passwd* e = ::getpwent()) {
            if (leftBehind(e->pw_name)) users.push_back(e->pw_name);
        }
        ::endpwent();
        ::setgrent();
        while (group* e = ::getgrent()) {
            if (leftBehind(e->gr_name)) groups.push_back(e->gr_name);
        }
        ::endgrent();
        for (const std::string& u : users) run("userdel " + u);
        for (const std::string& g : groups) run("groupdel " + g);
    }
    TestAccounts(const TestAccounts&) = delete;
    TestAccounts& operator=(const TestAccounts&) = delete;
    ~TestAccounts() {
        if (::getpid() != owner_) return; // a child's copy: the accounts are its parent's
        for (auto n = users_.rbegin(); n != users_.rend(); ++n) run("userdel " + name(*n));
        // userdel may have taken a group named as its account already.
        for (auto n = groups_.rbegin(); n != groups_.rend(); ++n) run("groupdel " + name(*n));
    }

    // Account or group n (0 to 7) of the process that made this object: a name and an id of its
    // own, the same for the account and the group of that number, outside the ids that accounts
    // get given.
    std::string name(int n) const { return "kbrt" + std::to_string(owner_) + static_cast<char>('a' + n); }
    unsigned id(int n) const { return 400000u + static_cast<unsigned>(owner_ % 100000) * 8u + static_cast<unsigned>(n); }

    // A group of number n without members.
    bool addGroup(int n) {
        if (run("groupadd -g " + std::to_string(id(n)) + " " + name(n)) != 0) return false;
        groups_.push_back(n);
        return true;
    }
    // An account of number n whose primary group is group number primary (added before), listed as
    // a member of the groups memberOf. No home folder is made.
    bool addUser(int n, int primary, const std::vector<int>& memberOf = {}) {
        std::string command = "useradd -M -N -d /nonexistent -s /usr/sbin/nologin -u " + std::to_string(id(n)) +
                              " -g " + std::to_string(id(primary));
        for (size_t i = 0; i < memberOf.size(); ++i) command += (i ? "," : " -G ") + name(memberOf[i]);
        if (run(command + " " + name(n)) != 0) return false;
        users_.push_back(n);
        return true;
    }

private:
    // A name of this kind ("kbrt", a process id, a letter) whose process has ended.
    static bool leftBehind(const char* name) {
        const std::string text = name ? name : "";
        if (text.rfind("kbrt", 0) != 0 || text.size() < 6 || text.size() > 16) return false;
        const std::string digits = text.substr(4, text.size() - 5);
        if (digits.find_first_not_of("0123456789") != std::string::npos || !std::islower(text.back())) return false;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
    }

    // The command's exit status; tried again (a bounded number of times) while another program
    // holds the databases' lock (status 1 or 10 of the shadow tools).
    static int run(const std::string& command) {
        int status = -1;
        for (int attempt = 0; attempt < 50; ++attempt) {
            const int r = std::system((command + " >/dev/null 2>&1").c_str());
            status = WIFEXITED(r) ? WEXITSTATUS(r) : -1;
            if (status != 1 && status != 10) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return status;
    }

    pid_t owner_;
    std::vector<int> users_;
    std::vector<int> groups_;
};

} // namespace testsupport
