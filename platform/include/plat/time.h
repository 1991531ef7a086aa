// Wall clock, process clock and sleeping.
#pragma once

#include "plat/types.h"

#include <ctime>

namespace plat {

struct __timeb64 {
    int64_t time;           // seconds since 1970
    unsigned short millitm; // milliseconds
    short timezone;
    short dstflag;
};

// The C runtime's wall clock with millisecond resolution; returns 0 (success).
int _ftime64_s(__timeb64* tb);

// Wall-clock milliseconds since 1970 (the same clock as _ftime64_s).
int64_t wallClockMs();

// Milliseconds since the process started (monotonic); stands in for clock() where a
// monotonic millisecond count is wanted.
int64_t processClockMs();

void Sleep(DWORD ms);
constexpr DWORD INFINITE = 0xFFFFFFFFu;

namespace testing {
// Shifts the wall clock seen by _ftime64_s and wallClockMs by offsetMs (process-wide).
void setWallClockOffsetMs(int64_t offsetMs);
int64_t wallClockOffsetMs();
// Holds the wall clock where it stands (true): from then on only setWallClockOffsetMs moves it, so
// that a clock a test moves in steps takes in none of the real time its steps take. Released
// (false), the clock runs on from where it stood. Holding or releasing it twice changes nothing.
void holdWallClock(bool held);
// The same for the process clock.
void setProcessClockOffsetMs(int64_t offsetMs);
int64_t processClockOffsetMs();
void holdProcessClock(bool held);
} // namespace testing

} // namespace plat
