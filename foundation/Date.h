// Date.h: QELDate, a calendar moment in the server's local time (a day number and the
// seconds since midnight), its calendar fields, shifts, and its text through token formats.
#pragma once

#include <cstdint>

#include "foundation/Decimal.h"
#include "foundation/String.h"

// A date is the day number (the astronomical Julian date of the day's midnight with the
// .5 cut off: 1 January 2000 is 2451544) and the seconds since midnight (0..86399), both
// in local time, plus the offset from GMT of the clock reading it came from. The calendar
// is Gregorian throughout, also before 1582. No operation reports an error; fields out of
// range give meaningless but defined numbers, and day numbers wrap at 32 bits.
//
// The offset belongs to the reading: it is the offset in effect at the date's instant when
// the date comes from now(). Shifting a date (addHours, ...) keeps that offset, even when
// the shifted moment lies on the other side of a daylight-saving change; such a date is
// labelled with its reading's zone.
class QELDate : public QELObject {
public:
    static constexpr uint32_t kSecondsPerDay = 86400;

    // The current moment from the wall clock (platform/Clock.h): the fields and the
    // offset from one local reading. An instant the system cannot convert gives
    // 1970-01-01 00:00:00 with offset 0.
    static QELDate now();

    // The given calendar day (month 1..12) at hour:minute:second, labelled with
    // gmtOffsetSeconds (seconds east of GMT). A time of day beyond 23:59:59 carries into
    // the following days.
    QELDate(int32_t year, uint32_t month, uint32_t day, uint32_t hour = 0, uint32_t minute = 0,
            uint32_t second = 0, int32_t gmtOffsetSeconds = 0);
    QELDate(const QELDate &other);
    QELDate &operator=(const QELDate &other);
    ~QELDate() override;

    // The day number of a calendar day. Months outside 1..12 give a meaningless number.
    static uint32_t DayNumber(int32_t year, int32_t month, int32_t day);
    // Divisible by 4 and not by 100, or divisible by 400.
    static bool IsLeapYear(int32_t year);
    // 28..31 for months 1..12; 0 for any other month.
    static uint32_t DaysInMonth(int32_t year, int32_t month);

    uint32_t dayNumber() const { return dayNumber_; }
    uint32_t secondsOfDay() const { return secondsOfDay_; }
    int32_t gmtOffsetSeconds() const { return gmtOffsetSeconds_; }

    // Calendar fields derived from the day number and the seconds.
    uint16_t year() const;
    uint32_t month() const;
    uint32_t day() const;
    uint32_t hour() const { return secondsOfDay_ / 3600; }
    uint32_t minute() const { return (secondsOfDay_ - 3600 * hour()) / 60; }
    uint32_t second() const { return secondsOfDay_ % 60; }
    // 1 = Sunday ... 7 = Saturday.
    uint32_t weekday() const { return (dayNumber_ + 2) % 7 + 1; }
    // The day's number within its year, 1..366.
    uint32_t dayOfYear() const;
    // (dayOfYear - 1) / 7 + 1: week 1 always starts on 1 January; 1..53.
    uint32_t weekOfYear() const { return (dayOfYear() - 1) / 7 + 1; }

    // Shifts by n seconds (minutes, hours) forward or back; the day changes as the time
    // passes midnight. The callers pass magnitudes and choose the direction.
    void addSeconds(uint32_t n);
    void addMinutes(uint32_t n);
    void addHours(uint32_t n);
    void subtractSeconds(uint32_t n);
    void subtractMinutes(uint32_t n);
    void subtractHours(uint32_t n);

    // The format text with every token replaced (see the tokens below). With useOffset
    // and a non-empty offset (hours east of GMT, possibly fractional), the time is shown
    // at that offset: the date is shifted by the offset's whole minutes minus the reading's
    // offset, and GMTo is FormatGMTOffset(offset). Otherwise the date is shown as read and
    // GMTo is the reading's offset. Either way the text plus its zone names the date's
    // instant exactly (to the minute of the zone).
    //
    // A token is 0x01, its name, 0x01. Every occurrence of each is replaced, token by token
    // in this order: h (12-hour clock), 0h, hh (24-hour, 2 digits), m, 0m, s, 0s, AMPM,
    // MN (month name), AMN (short month name), M, 0M, D, 0D, YYYY, YY, DW (weekday name),
    // ADW, #DW (1 = Sunday), DY (day of year), 0DY (3 digits), WY (week of year), 0WY,
    // JD (the day number before any shift), GMTo (zone text). All other text is copied.
    QELString Format(const QELString &format, bool useOffset, const QELDecimal &offset) const;

private:
    // The calendar day of dayNumber_.
    void calendarDay(int64_t *year, uint32_t *month, uint32_t *day) const;
    // Shifts by any number of seconds; the day number wraps at 32 bits.
    void addSecondsWide(uint64_t n);
    void subtractSecondsWide(uint64_t n);

    uint32_t dayNumber_;
    uint32_t secondsOfDay_;
    int32_t gmtOffsetSeconds_;
};

// The zone text of an offset in hours east of GMT: a sign, the hours in at least two
// digits and the offset's whole minutes in two ("-0500", "+0530", "+0545", "-0330");
// "GMT" when that is "+0000" or "-0000", also for the empty value. The minutes are the
// offset times 60 cut off toward zero; an offset beyond +-596,523 hours counts as that
// limit.
QELString FormatGMTOffset(const QELDecimal &offset);

// Built-in formats, each built once on first use and shared by every thread:
// "hh:0m:0s", "M/0D/YYYY" and "ADW, 0D AMN YYYY hh:0m:0s GMTo" (tokens in 0x01 bytes),
// which give "13:05:09", "1/01/2000" and "Sat, 01 Jan 2000 13:05:09 -0500".
const QELString &StandardTimeFormat();
const QELString &StandardDateFormat();
const QELString &MailDateFormat();
