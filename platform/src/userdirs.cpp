// The user's own folders and the checks on them (see userdirs.h).
#include "userdirs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <mutex>
#include <pwd.h>
#include <set>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace plat::detail {

namespace {

// A reentrant user or group database call (getpwuid_r and its kind) with a buffer grown as the
// entry needs, up to 1 MiB. 0 when the entry was found, ENOENT when there is none (or no more),
// else the error.
template <class Entry, class Call> int lookUp(Call call, Entry& entry, std::vector<char>& buffer) {
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    buffer.resize(static_cast<size_t>(size > 0 ? size : 16384));
    Entry* found = nullptr;
    int r;
    while ((r = call(&entry, buffer.data(), buffer.size(), &found)) == ERANGE && buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    return r != 0 ? r : found ? 0 : ENOENT;
}

bool lookUpUser(uid_t uid, passwd& entry, std::vector<char>& buffer) {
    return lookUp([uid](passwd* e, char* b, size_t n, passwd** f) { return ::getpwuid_r(uid, e, b, n, f); },
                  entry, buffer) == 0;
}

// The user database is walked for the accounts whose primary group a group is; one larger than
// this is not walked to its end.
constexpr int kMaxAccountsWalked = 1 << 16;

// Which accounts a walk of the user database meets with gid as their primary group.
enum class PrimaryMembers {
    none,      // no account: also what a database that cannot be listed (LDAP, sssd) gives
    userAlone, // the user's own account and no other
    others,    // another account, or it cannot be told (an entry that cannot be read, a database
               // beyond the bound)
};

// The walk's position is the process's own, so one walk runs at a time.
PrimaryMembers primaryMembers(gid_t gid, uid_t user) {
    static std::mutex walking;
    std::lock_guard<std::mutex> guard(walking);
    ::setpwent();
    passwd entry{};
    std::vector<char> buffer;
    PrimaryMembers met = PrimaryMembers::others;
    bool userMet = false;
    for (int n = 0; n < kMaxAccountsWalked; ++n) {
        const int r =
            lookUp([](passwd* e, char* b, size_t size, passwd** f) { return ::getpwent_r(e, b, size, f); },
                   entry, buffer);
        if (r == ENOENT) { // the end of the database
            met = userMet ? PrimaryMembers::userAlone : PrimaryMembers::none;
            break;
        }
        if (r != 0 || (entry.pw_gid == gid && entry.pw_uid != user)) {
            break;
        }
        userMet = userMet || entry.pw_gid == gid;
    }
    ::endpwent();
    return met;
}

// Whether a group is the user's own private group: the effective user's primary group or one
// named as the user, which no other account has as its primary group nor is listed in, and which
// is known to be the user's: the walk met the user's own account with it as primary group, or it
// lists the user alone. A group that lists no one where the walk meets no one (a database that
// cannot be listed) may be the primary group of accounts no walk shows. False when the user's or
// the group's entry cannot be read.
bool privateGroupOfUser(gid_t gid) {
    const uid_t uid = ::geteuid();
    passwd user{};
    std::vector<char> userBuffer;
    group entry{};
    std::vector<char> groupBuffer;
    if (!lookUpUser(uid, user, userBuffer) || !user.pw_name ||
        lookUp([gid](group* e, char* b, size_t n, group** f) { return ::getgrgid_r(gid, e, b, n, f); }, entry,
               groupBuffer) != 0) {
        return false;
    }
    const std::string name = user.pw_name;
    if (gid != user.pw_gid && (!entry.gr_name || name != entry.gr_name)) {
        return false;
    }
    bool listsUser = false;
    for (char** member = entry.gr_mem; member && *member; ++member) {
        if (name != *member) {
            return false;
        }
        listsUser = true;
    }
    const PrimaryMembers met = primaryMembers(gid, uid);
    return met == PrimaryMembers::userAlone || (met == PrimaryMembers::none && listsUser);
}

} // namespace

std::string userHome(std::string& why) {
    if (const char* h = std::getenv("HOME"); h && *h) {
        return h;
    }
    const uid_t uid = ::geteuid();
    passwd entry{};
    std::vector<char> buffer;
    if (lookUpUser(uid, entry, buffer) && entry.pw_dir && entry.pw_dir[0] == '/') {
        return entry.pw_dir;
    }
    why = "HOME is not set and the user database has no home folder for user " + std::to_string(uid);
    return std::string();
}

namespace {
std::string xdgFolder(const char* variable, const char* underHome, std::string& why) {
    if (const char* x = std::getenv(variable); x && x[0] == '/') {
        return x;
    }
    const std::string home = userHome(why);
    return home.empty() ? std::string() : home + underHome;
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}
} // namespace

std::string userConfigHome(std::string& why) {
    return xdgFolder("XDG_CONFIG_HOME", "/.config", why);
}

std::string userDataHome(std::string& why) {
    return xdgFolder("XDG_DATA_HOME", "/.local/share", why);
}

std::string notPrivateFolder(const std::string& folder) {
    struct stat link {};
    if (::lstat(folder.c_str(), &link) != 0) {
        return folder + " cannot be read (" + std::string(std::strerror(errno)) + ")";
    }
    if (S_ISLNK(link.st_mode) && link.st_uid != ::geteuid() && link.st_uid != 0) {
        return folder + " is a link of user " + std::to_string(link.st_uid) + " (not this user)";
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return folder + " is not a folder";
    }
    const std::string why = notUsersAlone(st);
    return why.empty() ? why : folder + " " + why;
}

std::string notUsersAlone(const struct stat& st) {
    if (st.st_uid != ::geteuid()) {
        return "belongs to user " + std::to_string(st.st_uid) + " (not this user)";
    }
    if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && !privateGroupOfUser(st.st_gid))) {
        return "may be written by others (mode " + modeText(st.st_mode) + ")";
    }
    return std::string();
}

std::string makePrivateFolders(const std::string& base, const std::string& path) {
    if (path.compare(0, base.size(), base) != 0 || (path.size() > base.size() && path[base.size()] != '/')) {
        return path + " is not inside " + base;
    }
    for (size_t end = base.size();; end = path.find('/', end + 1)) {
        const std::string folder = path.substr(0, end == std::string::npos ? path.size() : end);
        if (!folder.empty()) {
            ::mkdir(folder.c_str(), 0700);
            if (std::string why = notPrivateFolder(folder); !why.empty()) {
                return why;
            }
        }
        if (end == std::string::npos) {
            return std::string();
        }
    }
}

void logOnce(const std::string& line) {
    static std::mutex lock;
    static auto* seen = new std::set<std::string>();
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!seen->insert(line).second) {
            return;
        }
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

bool processExists(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

} // namespace plat::detail
