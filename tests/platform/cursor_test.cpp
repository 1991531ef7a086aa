// The pointer position: the simulated pointer tests move, and the choice of back end.
#include "plat/cursor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace plat;

namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        old_ = old ? old : "";
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (had_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

TEST(PlatCursor, SimulatedPointerMovesAndFails) {
    ScopedEnv pointer("KBR_POINTER", "sim");
    EXPECT_STREQ("sim", plat::testing::cursorBackend());
    const POINT cases[] = {{0, 0}, {1920, 1080}, {-1280, 5}, {2147483647, -2147483647 - 1}};
    for (const POINT& c : cases) {
        plat::testing::setCursorPos(c.x, c.y);
        POINT p{7, 7};
        ASSERT_TRUE(GetCursorPos(&p));
        EXPECT_EQ(c.x, p.x);
        EXPECT_EQ(c.y, p.y);
    }
    plat::testing::setCursorPosFails(true);
    POINT p{};
    EXPECT_FALSE(GetCursorPos(&p));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    plat::testing::setCursorPosFails(false);
    EXPECT_TRUE(GetCursorPos(&p));
    EXPECT_FALSE(GetCursorPos(nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

// A reader never sees the x of one position with the y of another.
TEST(PlatCursor, PositionMovesAsOne) {
    ScopedEnv pointer("KBR_POINTER", "sim");
    plat::testing::setCursorPos(1, 1);
    std::thread mover([] {
        for (int i = 0; i < 20000; ++i) {
            plat::testing::setCursorPos(i % 2 ? 1 : -5, i % 2 ? 1 : -5);
        }
    });
    int torn = 0;
    for (int i = 0; i < 20000; ++i) {
        POINT p{};
        GetCursorPos(&p);
        torn += p.x != p.y;
    }
    mover.join();
    EXPECT_EQ(0, torn);
}

TEST(PlatCursor, BackendChoice) {
    {
        ScopedEnv pointer("KBR_POINTER", nullptr);
        ScopedEnv display("DISPLAY", nullptr);
        EXPECT_STREQ("sim", plat::testing::cursorBackend());
    }
    {
        ScopedEnv pointer("KBR_POINTER", "x11");
        ScopedEnv display("DISPLAY", nullptr);
        EXPECT_STREQ("x11", plat::testing::cursorBackend());
    }
}

// The X server's pointer where there is no server to ask: a failure, not a hang or a crash.
TEST(PlatCursor, X11WithoutServerFails) {
    ScopedEnv pointer("KBR_POINTER", "x11");
    ScopedEnv display("DISPLAY", "127.0.0.1:99");
    POINT p{3, 4};
    EXPECT_FALSE(GetCursorPos(&p));
    const DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_ACCESS_DENIED || error == ERROR_MOD_NOT_FOUND) << error;
    EXPECT_EQ(3, p.x);
    EXPECT_EQ(4, p.y);
}

// An X server of the test's own (Xvfb, on a local socket only), its pointer moved through libX11.
class Xvfb {
public:
    Xvfb() {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            const std::string fd = std::to_string(fds[1]);
            execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        // The server writes its display number once it accepts connections.
        std::string number;
        for (int i = 0; i < 100 && number.find('\n') == std::string::npos; ++i) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char c[16];
                const ssize_t n = read(fds[0], c, sizeof c);
                if (n <= 0) {
                    break;
                }
                number.append(c, size_t(n));
            }
        }
        close(fds[0]);
        if (number.find('\n') != std::string::npos) {
            display_ = ":" + number.substr(0, number.find('\n'));
        }
    }
    ~Xvfb() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// Each server in its turn: the pointer of the one DISPLAY names now, and a server that has gone is a
// failure, not the end of the process.
TEST(PlatCursor, X11PointerUnderXvfb) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    void* x11 = dlopen("libX11.so.6", RTLD_NOW);
    ASSERT_NE(nullptr, x11);
    using OpenDisplay = void* (*)(const char*);
    using RootWindow = unsigned long (*)(void*);
    using WarpPointer = int (*)(void*, unsigned long, unsigned long, int, int, unsigned, unsigned, int, int);
    using Sync = int (*)(void*, int);
    using CloseDisplay = int (*)(void*);
    auto openDisplay = reinterpret_cast<OpenDisplay>(dlsym(x11, "XOpenDisplay"));
    auto rootWindow = reinterpret_cast<RootWindow>(dlsym(x11, "XDefaultRootWindow"));
    auto warpPointer = reinterpret_cast<WarpPointer>(dlsym(x11, "XWarpPointer"));
    auto sync = reinterpret_cast<Sync>(dlsym(x11, "XSync"));
    auto closeDisplay = reinterpret_cast<CloseDisplay>(dlsym(x11, "XCloseDisplay"));
    ASSERT_TRUE(openDisplay && rootWindow && warpPointer && sync && closeDisplay);

    ScopedEnv pointer("KBR_POINTER", nullptr); // a display is set: the X server serves
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "the first server" : "a server started after it had gone");
        std::string gone;
        {
            Xvfb server;
            ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
            ScopedEnv display("DISPLAY", server.display().c_str());
            EXPECT_STREQ("x11", plat::testing::cursorBackend());

            void* mover = openDisplay(server.display().c_str());
            ASSERT_NE(nullptr, mover);
            const POINT cases[] = {{10, 20}, {639, 479}, {0, 0}, {320, 1}};
            for (const POINT& c : cases) {
                warpPointer(mover, 0, rootWindow(mover), 0, 0, 0, 0, c.x, c.y);
                sync(mover, 0);
                POINT p{-1, -1};
                ASSERT_TRUE(GetCursorPos(&p)) << GetLastError();
                EXPECT_EQ(c.x, p.x);
                EXPECT_EQ(c.y, p.y);
            }
            closeDisplay(mover);
            gone = server.display();
        }
        ScopedEnv display("DISPLAY", gone.c_str());
        POINT p{3, 4};
        EXPECT_FALSE(GetCursorPos(&p));
        EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
        EXPECT_EQ(3, p.x);
    }
}

} // namespace
