// JulianStampTest.cpp: QELJulianStamp of a fixed instant, read in local time, each zone in
// its own process.
#include "foundation/JulianStamp.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Clock.h"
#include "support/ZoneProcess.h"

TEST(JulianStampTest, DayNumberAndFractionOfTheLocalDay) {
    const struct {
        const char *zone;
        int64_t instant;
        const char *expected;
    } kCases[] = {
        {"UTC0", 946728000, "2451544 2451544.5 38/8"},  // 2000-01-01 12:00:00
        {"UTC0", 946684801, "2451544 2451544.00001157 38/8"},  // 00:00:01, rounded at 8 digits
        {"UTC0", 946771199, "2451544 2451544.99998843 38/8"},  // 23:59:59
        {"IST-5:30", 946684800, "2451544 2451544.22916667 38/8"},
        {"NPT-5:45", 946753199, "2451545 2451545.03123843 38/8"},  // already 2 January there
    };
    for (const auto &c : kCases) {
        std::string stamp;
        ASSERT_TRUE(RunInTimeZone(c.zone, [&c] {
            FixWallClock(c.instant);
            const QELJulianStamp s;
            ReleaseWallClock();
            const QELDecimal date = s.julianDate();
            return std::to_string(s.dayNumber()) + " " + std::string(date.toText().text()) + " " +
                   std::to_string(date.precision()) + "/" + std::to_string(date.scale());
        }, &stamp)) << c.zone;
        EXPECT_EQ(stamp, c.expected) << c.zone << " at " << c.instant;
    }
}
