// Wall clock, process clock and Sleep.
#include "plat/time.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <sched.h>
#include <time.h>

namespace plat {

namespace {

// A clock that tests may shift and hold: its reading is the real one plus an offset, or the reading it
// had when a test held it. A reader that finds it running reads the offset stored before it was
// released.
class TestableClock {
public:
    int64_t read(int64_t realMs) const {
        const int64_t held = heldMs.load(std::memory_order_acquire);
        return held != kRunning ? held : realMs + offsetMs.load(std::memory_order_relaxed);
    }
    int64_t offset() const { return offsetMs.load(std::memory_order_relaxed); }
    void setOffset(int64_t offset) {
        std::lock_guard<std::mutex> guard(lock);
        const int64_t held = heldMs.load(std::memory_order_relaxed);
        if (held != kRunning)
            heldMs.store(held + offset - offsetMs.load(std::memory_order_relaxed), std::memory_order_release);
        offsetMs.store(offset, std::memory_order_relaxed);
    }
    void hold(bool hold, int64_t realMs) {
        std::lock_guard<std::mutex> guard(lock);
        const int64_t held = heldMs.load(std::memory_order_relaxed);
        if (hold && held == kRunning) {
            heldMs.store(realMs + offsetMs.load(std::memory_order_relaxed), std::memory_order_release);
        } else if (!hold && held != kRunning) {
            // The time it was held is taken out of the offset: the clock goes on from its held reading.
            offsetMs.store(held - realMs, std::memory_order_relaxed);
            heldMs.store(kRunning, std::memory_order_release);
        }
    }

private:
    static constexpr int64_t kRunning = INT64_MIN;
    std::atomic<int64_t> offsetMs{0};
    std::atomic<int64_t> heldMs{kRunning};
    // Keeps the offset and the held reading in step between the test hooks that change them.
    std::mutex lock;
};

TestableClock wallClock;
TestableClock processClock;

// Captured when the library loads, which is the start of the process for the engine's purposes.
const std::chrono::steady_clock::time_point processStart = std::chrono::steady_clock::now();

int64_t realtimeMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t sinceStartMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 processStart)
        .count();
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
    return wallClock.read(realtimeMs());
}

int64_t processClockMs() {
    return processClock.read(sinceStartMs());
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
    wallClock.setOffset(offsetMs);
}
int64_t wallClockOffsetMs() {
    return wallClock.offset();
}
void holdWallClock(bool hold) {
    wallClock.hold(hold, realtimeMs());
}
void setProcessClockOffsetMs(int64_t offsetMs) {
    processClock.setOffset(offsetMs);
}
int64_t processClockOffsetMs() {
    return processClock.offset();
}
void holdProcessClock(bool hold) {
    processClock.hold(hold, sinceStartMs());
}
} // namespace testing

} // namespace plat
