// Reading a child process's report lines from a pipe, for tests that fork peers.
#pragma once

#include <chrono>
#include <functional>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace testsupport {

// The next line from fd, without its newline; "<none: what came>" when none ends in time.
inline std::string readLine(int fd, int timeoutMs = 10000) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char c;
        if (::read(fd, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    return "<none: " + line + ">";
}

// Forks a process that runs body with the write end of a pipe, then ends; returns its id (-1 when
// it could not be made) and the read end in lines.
inline pid_t forkWithLines(const std::function<void(int)>& body, int& lines) {
    int p[2];
    if (::pipe(p) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        body(p[1]);
        ::_exit(0);
    }
    ::close(p[1]);
    if (pid < 0) {
        ::close(p[0]);
        return -1;
    }
    lines = p[0];
    return pid;
}

} // namespace testsupport
