// A running copy for the hand-off tests: a listener window in a process of its own whose callback
// writes each command (escaped) to a pipe.
#pragma once

#include "MessageWindow.h"
#include "../support/PipeLines.h"

#include <gtest/gtest.h>

#include <exception>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

struct Listener {
    pid_t pid = -1;
    int lines = -1;

    // Its first line is "started strong=N weak=N", or "not started: why" when it has no window.
    void start() {
        pid = testsupport::forkWithLines(
            [](int out) {
                auto write = [out](const std::string& s) { (void)!::write(out, (s + "\n").data(), s.size() + 1); };
                callto::MessageWindow w;
                try {
                    w.create([&](const char* text) {
                        std::string escaped;
                        for (const char* c = text; *c; ++c) escaped += *c == '\n' ? std::string("\\n") : std::string(1, *c);
                        write("command [" + escaped + "]");
                    });
                } catch (const std::exception& e) {
                    write(std::string("not started: ") + e.what());
                    return;
                }
                callto::broadcastDiscover(w);
                write("started strong=" + std::to_string(w.replyFlag) + " weak=" + std::to_string(w.weakReplyFlag));
                plat::MSG msg;
                while (plat::GetMessageA(&msg, nullptr, 0, 0) > 0) plat::DispatchMessageA(&msg);
            },
            lines);
        ASSERT_GE(pid, 0);
    }
    ~Listener() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (lines >= 0) ::close(lines);
    }
};
