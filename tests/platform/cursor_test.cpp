// The pointer position: the simulated pointer tests move, and the choice of back end.
#include "plat/cursor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

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

} // namespace
