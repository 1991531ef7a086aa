// Reading a child process's report lines from a pipe, for tests that fork peers.
#pragma once

#include <chrono>
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

} // namespace testsupport
