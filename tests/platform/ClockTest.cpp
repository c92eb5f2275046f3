// ClockTest.cpp: the wall clock's local readings (fields and the offset in effect at the
// instant, each zone in its own process) and the hook that fixes the instant.
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

// Releases the wall clock however the test ends.
struct FixedClock {
    explicit FixedClock(int64_t instant) { FixWallClock(instant); }
    ~FixedClock() { ReleaseWallClock(); }
};

TEST(ClockTest, LocalReadingCarriesTheOffsetInEffectAtTheInstant) {
    const char *const kCET = "CET-1CEST,M3.5.0,M10.5.0/3";
    const struct {
        const char *zone;
        int64_t instant;
        const char *expected;
    } kCases[] = {
        {"UTC0", 0, "1970-01-01 00:00:00 0"},
        {"IST-5:30", 1721044800, "2024-07-15 17:30:00 19800"},
        {"NPT-5:45", 1721044800, "2024-07-15 17:45:00 20700"},
        {"NST3:30NDT,M3.2.0,M11.1.0", 1721044800, "2024-07-15 09:30:00 -9000"},
        {"NST3:30NDT,M3.2.0,M11.1.0", 1705320000, "2024-01-15 08:30:00 -12600"},
        // The last second of winter time, the first of summer time, and back in October.
        {kCET, 1711846799, "2024-03-31 01:59:59 3600"},
        {kCET, 1711846800, "2024-03-31 03:00:00 7200"},
        {kCET, 1729990799, "2024-10-27 02:59:59 7200"},
        {kCET, 1729990800, "2024-10-27 02:00:00 3600"},
    };
    for (const auto &c : kCases) {
        std::string reading;
        ASSERT_TRUE(RunInTimeZone(
            c.zone,
            [&c] {
                FixedClock fixed(c.instant);
                LocalTimeReading r;
                const bool read = ReadLocalTime(&r);
                LocalTimeReading at;
                LocalTimeAt(c.instant, &at);
                return std::string(read ? "" : "unread ") + Describe(r) + (Describe(at) == Describe(r) ? "" : " differs");
            },
            &reading))
            << c.zone;
        EXPECT_EQ(reading, c.expected) << c.zone << " at " << c.instant;
    }
}

TEST(ClockTest, FixedInstantServesEveryThreadUntilReleased) {
    const int64_t kInstant = 1721044800;
    {
        FixedClock fixed(kInstant);
        EXPECT_EQ(WallClockSeconds(), kInstant);
        int64_t seenElsewhere = 0;
        std::thread other([&seenElsewhere] { seenElsewhere = WallClockSeconds(); });
        other.join();
        EXPECT_EQ(seenElsewhere, kInstant);
        LocalTimeReading read, at;
        EXPECT_TRUE(ReadLocalTime(&read));
        EXPECT_TRUE(LocalTimeAt(kInstant, &at));
        EXPECT_EQ(Describe(read), Describe(at));
    }
    const int64_t before = time(nullptr);
    const int64_t now = WallClockSeconds();
    const int64_t after = time(nullptr);
    EXPECT_LE(before, now);
    EXPECT_GE(after, now);
}

TEST(ClockTest, InstantBeyondTheSystemsYearsReadsAsTheEpoch) {
    LocalTimeReading r;
    EXPECT_FALSE(LocalTimeAt(INT64_MAX, &r));
    EXPECT_EQ(Describe(r), "1970-01-01 00:00:00 0");
}

}  // namespace
