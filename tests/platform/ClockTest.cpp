// ClockTest.cpp: the wall clock's local readings and the hook that fixes the instant.
// (Readings in real zones are checked through QELDate in DateTest.)
#include "platform/Clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <thread>

#include "support/ZoneProcess.h"

namespace {

std::string Describe(const LocalTimeReading &r) {
    char text[96];
    snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u %d", r.year, r.month, r.day, r.hour, r.minute,
             r.second, r.gmtOffsetSeconds);
    return text;
}

TEST(ClockTest, FixedInstantServesEveryThreadUntilReleased) {
    std::string readings;
    // 2024-10-27 00:59:59 GMT, the last second of summer time in central Europe.
    ASSERT_TRUE(RunInTimeZone("CET-1CEST,M3.5.0,M10.5.0/3", [] {
        FixWallClock(1729990799);
        int64_t elsewhere = 0;
        std::thread([&elsewhere] { elsewhere = WallClockSeconds(); }).join();
        LocalTimeReading read, next;
        ReadLocalTime(&read);
        LocalTimeAt(1729990800, &next);
        ReleaseWallClock();
        return std::to_string(elsewhere) + " " + Describe(read) + " / " + Describe(next);
    }, &readings));
    EXPECT_EQ(readings, "1729990799 2024-10-27 02:59:59 7200 / 2024-10-27 02:00:00 3600");

    // The system's real-time clock itself: time() may read a coarser copy that lags it.
    auto realTime = [] {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<int64_t>(now.tv_sec);
    };
    const int64_t before = realTime(), now = WallClockSeconds(), after = realTime();
    EXPECT_LE(before, now);
    EXPECT_GE(after, now);
}

TEST(ClockTest, InstantBeyondTheSystemsYearsReadsAsTheEpoch) {
    LocalTimeReading r;
    EXPECT_FALSE(LocalTimeAt(INT64_MAX, &r));
    EXPECT_EQ(Describe(r), "1970-01-01 00:00:00 0");
}

}  // namespace
