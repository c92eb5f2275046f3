// Clock.h: the operating system's clocks. MonotonicMilliseconds measures time limits;
// it never jumps when the wall clock is set. The wall clock gives dates in local time.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary fixed moment (typically the machine's start).
uint64_t MonotonicMilliseconds();

// One reading of the wall clock in the process's time zone: the calendar fields and the
// offset from GMT in effect at that very instant (daylight saving and half or quarter
// hours included), taken from a single conversion so that they always agree.
struct LocalTimeReading {
    int32_t year;              // in full, e.g. 2024
    uint32_t month;            // 1..12
    uint32_t day;              // 1..31
    uint32_t hour;             // 0..23
    uint32_t minute;           // 0..59
    uint32_t second;           // 0..59 (a leap second reads as 59)
    int32_t gmtOffsetSeconds;  // seconds east of GMT: +05:45 is 20700, -03:30 is -12600
};

// The wall clock in seconds since 1970-01-01 00:00:00 GMT, or the instant fixed by
// FixWallClock.
int64_t WallClockSeconds();

// The local reading of WallClockSeconds(). When the system cannot convert the instant
// (a fixed instant beyond the years the system handles), the result is 1970-01-01
// 00:00:00 with offset 0 and the answer is false.
bool ReadLocalTime(LocalTimeReading *reading);

// The local reading of a given instant; false (and the reading of 1970-01-01 00:00:00,
// offset 0) when the system cannot convert it.
bool LocalTimeAt(int64_t unixSeconds, LocalTimeReading *reading);

// Test hook: every later reading of the wall clock (WallClockSeconds, ReadLocalTime and
// so every date and stamp taken from the clock) answers this instant, from any thread,
// until ReleaseWallClock. Setting and releasing are atomic.
void FixWallClock(int64_t unixSeconds);
void ReleaseWallClock();
