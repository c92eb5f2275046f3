// Clock_posix.cpp: the clocks of Clock.h over POSIX clock_gettime and localtime_r.
// CLOCK_MONOTONIC is not affected by changes of the wall clock.
#include "platform/Clock.h"

#include <time.h>

#include <atomic>
#include <climits>

namespace {

// The instant fixed by a test, or kNotFixed. One atomic word: a reader sees either the
// whole instant or none.
constexpr int64_t kNotFixed = INT64_MIN;
std::atomic<int64_t> gFixedInstant{kNotFixed};

void SetEpoch(LocalTimeReading *reading) {
    *reading = LocalTimeReading{1970, 1, 1, 0, 0, 0, 0};
}

}  // namespace

uint64_t MonotonicMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

int64_t WallClockSeconds() {
    const int64_t fixed = gFixedInstant.load(std::memory_order_acquire);
    if (fixed != kNotFixed)
        return fixed;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec);
}

bool ReadLocalTime(LocalTimeReading *reading) { return LocalTimeAt(WallClockSeconds(), reading); }

bool LocalTimeAt(int64_t unixSeconds, LocalTimeReading *reading) {
    const time_t instant = static_cast<time_t>(unixSeconds);
    struct tm fields;
    if (static_cast<int64_t>(instant) != unixSeconds || localtime_r(&instant, &fields) == nullptr ||
        fields.tm_year > INT32_MAX - 1900) {
        SetEpoch(reading);
        return false;
    }
    reading->year = fields.tm_year + 1900;
    reading->month = static_cast<uint32_t>(fields.tm_mon + 1);
    reading->day = static_cast<uint32_t>(fields.tm_mday);
    reading->hour = static_cast<uint32_t>(fields.tm_hour);
    reading->minute = static_cast<uint32_t>(fields.tm_min);
    reading->second = static_cast<uint32_t>(fields.tm_sec > 59 ? 59 : fields.tm_sec);
    reading->gmtOffsetSeconds = static_cast<int32_t>(fields.tm_gmtoff);
    return true;
}

void FixWallClock(int64_t unixSeconds) {
    // The sentinel itself cannot be fixed; the instant next to it stands for it.
    gFixedInstant.store(unixSeconds == kNotFixed ? kNotFixed + 1 : unixSeconds, std::memory_order_release);
}

void ReleaseWallClock() { gFixedInstant.store(kNotFixed, std::memory_order_release); }
