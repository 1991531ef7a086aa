// Running part of a test as another local user, for the checks against folders and files that
// another user made first. Only root (in the machine's own user namespace) can switch; elsewhere
// (not root, or a user namespace that maps uid 0 alone) the switch fails and the caller skips.
#pragma once

#include <functional>
#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

constexpr uid_t kNobody = 65534;
// The exit status of runAsUser's child when it could not become the user.
constexpr int kCannotSwitchUser = 77;

// Runs body in a child process whose real, effective and saved user and group ids are uid (no
// supplementary groups; the caller's own uid is kept as it is); returns the child's exit status (body's result), kCannotSwitchUser when
// the switch failed, -1 when the child did not end normally.
inline int runAsUser(uid_t uid, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const bool already = ::getuid() == uid && ::geteuid() == uid;
        if (!already &&
            (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)) {
            ::_exit(kCannotSwitchUser);
        }
        ::_exit(body());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

inline bool canActAsUser(uid_t uid) {
    return runAsUser(uid, [] { return 0; }) == 0;
}

// A user id that no account and no other test uses, for a victim whose folders a test lays out.
inline uid_t spareUserId() {
    return static_cast<uid_t>(200000 + ::getpid() % 100000);
}

} // namespace testsupport
