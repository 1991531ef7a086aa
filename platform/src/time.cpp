// Wall clock, process clock and Sleep.
#include "plat/time.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <sched.h>
#include <time.h>

namespace plat {

namespace {

std::atomic<int64_t> wallOffsetMs{0};
// While set, the wall clock reads wallHeldAtMs.
std::atomic<bool> wallHeld{false};
std::atomic<int64_t> wallHeldAtMs{0};

// Captured when the library loads, which is the start of the process for the engine's purposes.
const std::chrono::steady_clock::time_point processStart = std::chrono::steady_clock::now();

int64_t realtimeMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

int _ftime64_s(__timeb64* tb) {
    if (!tb) {
        return EINVAL;
    }
    const int64_t ms = wallClockMs();
    // Floor division, so a time before 1970 still has milliseconds in 0..999.
    int64_t seconds = ms / 1000;
    int64_t millis = ms % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    tb->time = seconds;
    tb->millitm = static_cast<unsigned short>(millis);
    const time_t t = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&t, &local);
    // Minutes west of UTC, as the C runtime reports it (standard time, without the daylight shift).
    long westSeconds = -local.tm_gmtoff + (local.tm_isdst > 0 ? 3600 : 0);
    tb->timezone = static_cast<short>(westSeconds / 60);
    tb->dstflag = static_cast<short>(local.tm_isdst > 0 ? 1 : 0);
    return 0;
}

int64_t wallClockMs() {
    if (wallHeld.load())
        return wallHeldAtMs.load();
    return realtimeMs() + wallOffsetMs.load(std::memory_order_relaxed);
}

int64_t processClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 processStart)
        .count();
}

void Sleep(DWORD ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    if (ms == INFINITE) {
        for (;;) {
            timespec ts{3600, 0};
            nanosleep(&ts, nullptr);
        }
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace testing {
void setWallClockOffsetMs(int64_t offsetMs) {
    wallOffsetMs.store(offsetMs, std::memory_order_relaxed);
}
int64_t wallClockOffsetMs() {
    return wallOffsetMs.load(std::memory_order_relaxed);
}
void holdWallClock(bool held) {
    if (held == wallHeld.load())
        return;
    if (held) {
        wallHeldAtMs.store(realtimeMs() + wallOffsetMs.load());
        wallHeld.store(true);
    } else {
        wallOffsetMs.store(wallHeldAtMs.load() - realtimeMs());
        wallHeld.store(false);
    }
}
} // namespace testing

} // namespace plat
