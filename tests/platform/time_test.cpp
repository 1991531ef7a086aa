// Wall clock (with the test offset), process clock and Sleep.
#include "plat/time.h"

#include <gtest/gtest.h>

using namespace plat;

namespace {

TEST(Time, FtimeAndWallClockAreOneClock) {
    __timeb64 tb{};
    const int64_t before = wallClockMs();
    ASSERT_EQ(0, _ftime64_s(&tb));
    const int64_t after = wallClockMs();
    const int64_t ftimeMs = tb.time * 1000 + tb.millitm;
    EXPECT_LT(tb.millitm, 1000);
    EXPECT_LE(before, ftimeMs);
    EXPECT_LE(ftimeMs, after);
    EXPECT_GT(tb.time, 1600000000); // after 2020
    EXPECT_NE(0, _ftime64_s(nullptr));
}

TEST(Time, OffsetShiftsBothWallClockReadings) {
    for (int64_t offset : {int64_t(-3600000), int64_t(3600000)}) {
        SCOPED_TRACE(offset);
        const int64_t plain = wallClockMs();
        plat::testing::setWallClockOffsetMs(offset);
        EXPECT_EQ(offset, plat::testing::wallClockOffsetMs());
        const int64_t shifted = wallClockMs();
        __timeb64 tb{};
        _ftime64_s(&tb);
        plat::testing::setWallClockOffsetMs(0);
        EXPECT_NEAR(double(plain + offset), double(shifted), 5000.0);
        EXPECT_NEAR(double(plain + offset), double(tb.time * 1000 + tb.millitm), 5000.0);
    }
    EXPECT_EQ(0, plat::testing::wallClockOffsetMs());
}

TEST(Time, ProcessClockIsMonotonicAndSleepWaits) {
    plat::testing::setWallClockOffsetMs(-86400000); // the process clock ignores the wall clock
    const int64_t start = processClockMs();
    EXPECT_GE(start, 0);
    Sleep(30);
    const int64_t end = processClockMs();
    plat::testing::setWallClockOffsetMs(0);
    EXPECT_GE(end - start, 29);
    EXPECT_LT(end - start, 10000);
    Sleep(0);
}

// A test may hold either clock and move it in steps of its own: held, it reads the same however long
// the test takes; released, it runs on from where it stood. The other clock is not touched.
TEST(Time, AHeldClockMovesOnlyByItsOffsetAndRunsOnFromThereWhenReleased) {
    const struct {
        const char* name;
        int64_t (*read)();
        void (*hold)(bool);
        void (*setOffset)(int64_t);
        int64_t (*offset)();
        int64_t (*other)();
    } clocks[] = {
        {"wall clock", wallClockMs, plat::testing::holdWallClock, plat::testing::setWallClockOffsetMs,
         plat::testing::wallClockOffsetMs, processClockMs},
        {"process clock", processClockMs, plat::testing::holdProcessClock,
         plat::testing::setProcessClockOffsetMs, plat::testing::processClockOffsetMs, wallClockMs},
    };
    for (const auto& c : clocks) {
        SCOPED_TRACE(c.name);
        c.hold(true);
        c.hold(true); // twice changes nothing
        const int64_t held = c.read();
        const int64_t other = c.other();
        Sleep(20);
        EXPECT_EQ(c.read(), held);
        c.setOffset(c.offset() + 1000);
        EXPECT_EQ(c.read(), held + 1000);
        EXPECT_GE(c.other(), other + 19) << "the other clock runs";
        c.hold(false);
        const int64_t released = c.read();
        Sleep(20);
        EXPECT_GE(released, held + 1000);
        EXPECT_LT(released, held + 1000 + 10000);
        EXPECT_GE(c.read(), released + 19) << "it runs again";
        c.setOffset(0);
    }
}

} // namespace
