// The user's own folders (home, configuration, data) and the checks that keep per-user files out
// of folders another user could have made. Not installed; only platform/src/*.cpp include it.
#pragma once

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace plat::detail {

// $HOME when set, else the home of the effective user in the user database; empty with why set
// when there is neither. Never a shared folder.
std::string userHome(std::string& why);
// $XDG_CONFIG_HOME when it is an absolute path, else <home>/.config; empty with why set.
std::string userConfigHome(std::string& why);
// $XDG_DATA_HOME when it is an absolute path, else <home>/.local/share; empty with why set.
std::string userDataHome(std::string& why);

// The one check of a folder or file that holds the user's files: why, after its name, it may not
// ("belongs to user N (not this user)", "may be written by others (mode 0775)"); empty when it may.
// It may when the effective user owns it and no one else may write in it: no write for others, and
// group write only for the user's own private group (umask 002 desktops).
std::string notUsersAlone(const struct stat& st);

// A folder is private when it is a folder (a link to one counts only when the link is the user's
// too) that passes notUsersAlone. Empty when it is; else why not.
std::string notPrivateFolder(const std::string& folder);

// Creates the missing folders of path from below base on (mode 0700) and checks that each of them,
// base included, is private. Empty when all are; else the reason for the first that is not.
std::string makePrivateFolders(const std::string& base, const std::string& path);

// Writes a line on stderr once per process for the same text (repeated calls stay quiet).
void logOnce(const std::string& line);

// Whether a process of this id exists (also one of another user).
bool processExists(pid_t pid);

} // namespace plat::detail
