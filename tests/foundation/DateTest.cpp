// DateTest.cpp: QELDate's calendar (against the C library's), shifts, every format token,
// the zone text and the shift to a GMT offset, and the mail date of the clock in real
// zones, each in its own process.
#include "foundation/Date.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Clock.h"
#include "support/ZoneProcess.h"

namespace {

std::string Str(const QELString &s) { return std::string(s.text(), s.length()); }

// "{name}" in readable stands for the token name between two 0x01 bytes.
std::string Format(const QELDate &date, std::string readable, bool useOffset = false, const char *offset = nullptr) {
    for (char &c : readable)
        c = c == '{' || c == '}' ? '\x01' : c;
    const QELString format(readable.data(), static_cast<uint32_t>(readable.size()));
    return Str(date.Format(format, useOffset, offset ? QELDecimal(offset) : QELDecimal()));
}

// The instant a mail date names: its fields read as GMT, less its zone; -1 when unreadable.
int64_t InstantOfMailDate(const std::string &text) {
    struct tm fields;
    memset(&fields, 0, sizeof fields);
    const char *zone = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S ", &fields);
    int hours = 0, minutes = 0;
    char sign = '+';
    if (zone == nullptr || (strcmp(zone, "GMT") != 0 && sscanf(zone, "%c%2d%2d", &sign, &hours, &minutes) != 3))
        return -1;
    return static_cast<int64_t>(timegm(&fields)) - (sign == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
}

TEST(DateTest, CalendarAgreesWithTheSystemCalendarEveryDayFrom1600To2100) {
    const uint32_t kUnixEpochDay = 2440587;  // 1 January 1970; 1 January 2000 is 2451544
    ASSERT_EQ(QELDate(2000, 1, 1).dayNumber(), 2451544u);
    for (QELDate date(1600, 1, 1, 12); date.year() <= 2100; date.addHours(24)) {
        const time_t instant = (static_cast<int64_t>(date.dayNumber()) - kUnixEpochDay) * 86400;
        struct tm c;
        ASSERT_NE(gmtime_r(&instant, &c), nullptr);
        const uint32_t fields[] = {date.year(), date.month(), date.day(), date.weekday(), date.dayOfYear(), date.weekOfYear()};
        const int expected[] = {c.tm_year + 1900, c.tm_mon + 1, c.tm_mday, c.tm_wday + 1, c.tm_yday + 1, c.tm_yday / 7 + 1};
        for (int i = 0; i < 6; ++i)
            ASSERT_EQ(fields[i], static_cast<uint32_t>(expected[i])) << "field " << i << " of day " << date.dayNumber();
        ASSERT_EQ(QELDate::DayNumber(c.tm_year + 1900, c.tm_mon + 1, c.tm_mday), date.dayNumber());
    }
    EXPECT_EQ(QELDate::DaysInMonth(1900, 2) * 100 + QELDate::DaysInMonth(2000, 2), 2829u);
    EXPECT_EQ(QELDate::DaysInMonth(2024, 0) + QELDate::DaysInMonth(2024, 13), 0u);
}

TEST(DateTest, ShiftsCarryAcrossMidnightMonthsAndYears) {
    enum Operation { kAddSeconds, kAddMinutes, kAddHours, kSubtractSeconds, kSubtractMinutes, kSubtractHours };
    const struct {
        int32_t year;
        uint32_t month, day, hour, minute, second;
        Operation operation;
        uint32_t n;
        const char *expected;
    } kCases[] = {
        {2000, 1, 1, 23, 59, 59, kAddSeconds, 86400, "2000-01-02 23:59:59"},
        {2000, 1, 1, 0, 0, 0, kSubtractSeconds, 1, "1999-12-31 23:59:59"},
        {1900, 2, 28, 12, 0, 0, kAddHours, 24, "1900-03-01 12:00:00"},
        {2000, 3, 1, 0, 30, 0, kSubtractMinutes, 31, "2000-02-29 23:59:00"},
        {2000, 12, 31, 23, 0, 0, kAddMinutes, 60, "2001-01-01 00:00:00"},
        {2001, 1, 1, 1, 0, 0, kSubtractHours, 2, "2000-12-31 23:00:00"},
        {2000, 1, 1, 0, 0, 0, kAddSeconds, 4294967295u, "2136-02-07 06:28:15"},
        {2000, 1, 1, 0, 0, 0, kAddMinutes, 100000000, "2190-02-17 10:40:00"},  // 60 n beyond 32 bits
        {2190, 2, 17, 10, 40, 0, kSubtractMinutes, 100000000, "2000-01-01 00:00:00"},
    };
    for (const auto &c : kCases) {
        QELDate date(c.year, c.month, c.day, c.hour, c.minute, c.second);
        void (QELDate::*const shifts[])(uint32_t) = {&QELDate::addSeconds,      &QELDate::addMinutes,
                                                     &QELDate::addHours,        &QELDate::subtractSeconds,
                                                     &QELDate::subtractMinutes, &QELDate::subtractHours};
        (date.*shifts[c.operation])(c.n);
        EXPECT_EQ(Format(date, "{YYYY}-{0M}-{0D} {hh}:{0m}:{0s}"), c.expected) << c.operation << " by " << c.n;
    }
}

TEST(DateTest, EveryTokenInTheClockAndTheCalendar) {
    const struct {
        QELDate date;
        const char *expected;
    } kCases[] = {
        {QELDate(2000, 1, 9, 0, 0, 0), "12|12|00|AM|0|00|0|00 January|Jan|1|01|9|09|2000|00|Sunday|Sun|1|9|009|2|02|2451552"},
        {QELDate(2000, 12, 31, 11, 59, 59), "11|11|11|AM|59|59|59|59 December|Dec|12|12|31|31|2000|00|Sunday|Sun|1|366|366|53|53|2451909"},
        {QELDate(2009, 7, 4, 12, 0, 0), "12|12|12|PM|0|00|0|00 July|Jul|7|07|4|04|2009|09|Saturday|Sat|7|185|185|27|27|2455016"},
        {QELDate(2009, 7, 4, 13, 5, 7), "1|01|13|PM|5|05|7|07 July|Jul|7|07|4|04|2009|09|Saturday|Sat|7|185|185|27|27|2455016"},
    };
    for (const auto &c : kCases)
        EXPECT_EQ(Format(c.date, "{h}|{0h}|{hh}|{AMPM}|{m}|{0m}|{s}|{0s} {MN}|{AMN}|{M}|{0M}|{D}|{0D}|{YYYY}|{YY}|"
                                 "{DW}|{ADW}|{#DW}|{DY}|{0DY}|{WY}|{0WY}|{JD}"),
                  c.expected);
    const QELDate date(2000, 1, 1, 13, 5, 9, -5 * 3600);
    EXPECT_EQ(Format(date, ""), "");
    EXPECT_EQ(Format(date, "no tokens: h m YYYY GMTo"), "no tokens: h m YYYY GMTo");
    EXPECT_EQ(Format(date, "{hh}{hh}-{hh} {hx} {HH}"), "1313-13 \x01hx\x01 \x01HH\x01");
    EXPECT_EQ(Str(date.Format(StandardTimeFormat(), false, QELDecimal())), "13:05:09");
    EXPECT_EQ(Str(date.Format(StandardDateFormat(), false, QELDecimal())), "1/01/2000");
    EXPECT_EQ(Str(date.Format(MailDateFormat(), false, QELDecimal())), "Sat, 01 Jan 2000 13:05:09 -0500");
}

TEST(DateTest, OffsetShiftsTheTimeByItsWholeMinutesFromTheReadingsOffset) {
    const struct {
        int32_t readingOffset;
        bool useOffset;
        const char *offset;
        const char *expected;
    } kCases[] = {
        {20700, true, "5.5", "Fri, 31 Dec 1999 23:55:00 +0530"},
        {0, true, "-0.5", "Fri, 31 Dec 1999 23:40:00 -0030"},
        {3600, true, "1", "Sat, 01 Jan 2000 00:10:00 +0100"},
        {-18000, true, "", "Sat, 01 Jan 2000 00:10:00 -0500"},  // nothing to use: as read
        {7200, false, "-5", "Sat, 01 Jan 2000 00:10:00 +0200"},
        {1172, false, nullptr, "Sat, 01 Jan 2000 00:09:28 +0019"},  // the time matches the zone's minutes
    };
    for (const auto &c : kCases) {
        const QELDate date(2000, 1, 1, 0, 10, 0, c.readingOffset);
        const std::string text = Format(date, Str(MailDateFormat()), c.useOffset, c.offset);
        EXPECT_EQ(text, c.expected) << c.readingOffset << " " << (c.offset ? c.offset : "none");
        EXPECT_EQ(InstantOfMailDate(text), 946685400 - c.readingOffset) << text;
    }
    EXPECT_EQ(Format(QELDate(2000, 1, 1, 0, 10, 0), "{JD}|{D}", true, "-5"), "2451544|31");  // JD is not shifted
}

TEST(DateTest, ZoneTextCarriesTheOffsetsTrueMinutes) {
    const struct {
        const char *offset;
        const char *expected;
    } kCases[] = {
        {"-5", "-0500"}, {"5.5", "+0530"}, {"5.75", "+0545"},  {"-3.5", "-0330"}, {"0", "GMT"},      {"", "GMT"},
        {"-0.001", "GMT"}, {"12", "+1200"}, {"5.33", "+0519"}, {"100", "+10000"}, {"99999999", "+59652300"},
    };
    for (const auto &c : kCases)
        EXPECT_EQ(Str(FormatGMTOffset(QELDecimal(c.offset))), c.expected) << c.offset;
    QELDecimal narrow(2, 0);  // the offset's own precision does not limit the computation
    narrow = 99;
    EXPECT_EQ(Str(FormatGMTOffset(narrow)), "+9900");
}

TEST(DateTest, MailDateOfTheClockNamesTheInstantInEveryZone) {
    const char *const kCET = "CET-1CEST,M3.5.0,M10.5.0/3";
    const int64_t kSummer = 1721044800, kWinter = 1705320000;  // 2024-07-15 and 2024-01-15 12:00:00 GMT
    const int64_t kYearEnd = 1735687800;                         // 2024-12-31 23:30:00 GMT
    const struct {
        const char *zone;
        int64_t instant;
        const char *offset;  // null: the server's own
        const char *expected;
    } kCases[] = {
        {"IST-5:30", kSummer, nullptr, "Mon, 15 Jul 2024 17:30:00 +0530"},
        {"NPT-5:45", kSummer, nullptr, "Mon, 15 Jul 2024 17:45:00 +0545"},
        {kCET, kSummer, nullptr, "Mon, 15 Jul 2024 14:00:00 +0200"},
        {kCET, kWinter, nullptr, "Mon, 15 Jan 2024 13:00:00 +0100"},
        {kCET, 1711846799, nullptr, "Sun, 31 Mar 2024 01:59:59 +0100"},  // the change to summer time
        {kCET, 1711846800, nullptr, "Sun, 31 Mar 2024 03:00:00 +0200"},
        {"NST3:30NDT,M3.2.0,M11.1.0", kSummer, nullptr, "Mon, 15 Jul 2024 09:30:00 -0230"},
        {"NPT-5:45", kYearEnd, nullptr, "Wed, 01 Jan 2025 05:15:00 +0545"},
        {kCET, kSummer, "-5", "Mon, 15 Jul 2024 07:00:00 -0500"},
        {kCET, kWinter, "5.75", "Mon, 15 Jan 2024 17:45:00 +0545"},
        {"IST-5:30", kSummer, "5.75", "Mon, 15 Jul 2024 17:45:00 +0545"},
        {"NPT-5:45", kSummer, "-3.5", "Mon, 15 Jul 2024 08:30:00 -0330"},
        {"NPT-5:45", kSummer, "0", "Mon, 15 Jul 2024 12:00:00 GMT"},
        {"NPT-5:45", kYearEnd, "-5", "Tue, 31 Dec 2024 18:30:00 -0500"},
    };
    for (const auto &c : kCases) {
        std::string text;
        ASSERT_TRUE(RunInTimeZone(c.zone, [&c] {
            FixWallClock(c.instant);
            const QELDate now = QELDate::now();
            ReleaseWallClock();
            return Str(now.Format(MailDateFormat(), c.offset != nullptr, c.offset ? QELDecimal(c.offset) : QELDecimal()));
        }, &text)) << c.zone;
        EXPECT_EQ(text, c.expected) << c.zone << " " << (c.offset ? c.offset : "server");
        EXPECT_EQ(InstantOfMailDate(text), c.instant) << text;
    }
}

}  // namespace
