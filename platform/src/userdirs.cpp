// The user's own folders and the checks on them (see userdirs.h).
#include "userdirs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pwd.h>
#include <set>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace plat::detail {

std::string userHome(std::string& why) {
    if (const char* h = std::getenv("HOME"); h && *h) {
        return h;
    }
    const uid_t uid = ::geteuid();
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 16384));
    passwd entry{};
    passwd* found = nullptr;
    int r;
    while ((r = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (r == 0 && found && found->pw_dir && found->pw_dir[0] == '/') {
        return found->pw_dir;
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
    if (st.st_uid != ::geteuid()) {
        return folder + " belongs to user " + std::to_string(st.st_uid) + " (not this user)";
    }
    if (st.st_mode & 022) {
        return folder + " may be written by others (mode " + modeText(st.st_mode) + ")";
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
