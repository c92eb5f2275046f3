// Date.cpp: day numbers and calendar fields of QELDate, shifting by seconds, and the
// token formats with their zone text.
#include "foundation/Date.h"

#include "foundation/NumberText.h"
#include "platform/Clock.h"

namespace {

const char *const kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};
const char *const kShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const kWeekdayNames[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char *const kShortWeekdayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Names by number, 1-based; a number out of range gives the first name.
const char *Named(const char *const *names, uint32_t count, uint32_t number) {
    return number >= 1 && number <= count ? names[number - 1] : names[0];
}

// A token is its name between two 0x01 bytes. (The name is a separate literal: "\x01A"
// would read as the single byte 0x1A.)
#define QEL_TOKEN_TEXT(name) "\x01" name "\x01"
#define QEL_DATE_TOKEN(name) {QEL_TOKEN_TEXT(name), sizeof(name) + 1}

struct Token {
    const char *text;
    uint32_t length;
};

enum TokenIndex {
    kHour12, kHour12Padded, kHour24, kMinute, kMinutePadded, kSecond, kSecondPadded, kAMPM,
    kMonthName, kShortMonthName, kMonth, kMonthPadded, kDay, kDayPadded, kFullYear, kShortYear,
    kWeekdayName, kShortWeekdayName, kWeekdayNumber, kDayOfYear, kDayOfYearPadded, kWeekOfYear,
    kWeekOfYearPadded, kJulianDay, kZone, kTokenCount
};

// In the order of replacement.
const Token kTokens[kTokenCount] = {
    QEL_DATE_TOKEN("h"),   QEL_DATE_TOKEN("0h"),  QEL_DATE_TOKEN("hh"),   QEL_DATE_TOKEN("m"),
    QEL_DATE_TOKEN("0m"),  QEL_DATE_TOKEN("s"),   QEL_DATE_TOKEN("0s"),   QEL_DATE_TOKEN("AMPM"),
    QEL_DATE_TOKEN("MN"),  QEL_DATE_TOKEN("AMN"), QEL_DATE_TOKEN("M"),    QEL_DATE_TOKEN("0M"),
    QEL_DATE_TOKEN("D"),   QEL_DATE_TOKEN("0D"),  QEL_DATE_TOKEN("YYYY"), QEL_DATE_TOKEN("YY"),
    QEL_DATE_TOKEN("DW"),  QEL_DATE_TOKEN("ADW"), QEL_DATE_TOKEN("#DW"),  QEL_DATE_TOKEN("DY"),
    QEL_DATE_TOKEN("0DY"), QEL_DATE_TOKEN("WY"),  QEL_DATE_TOKEN("0WY"),  QEL_DATE_TOKEN("JD"),
    QEL_DATE_TOKEN("GMTo"),
};

// The values the tokens show, taken once from the (shifted) date.
struct Shown {
    uint32_t hour, minute, second, month, day, weekday, dayOfYear, weekOfYear, julianDay;
    uint16_t year;
    QELString zone;
};

QELString Number(uint32_t value, uint8_t digits = 0) { return IntegerToText(value, 10, digits); }

QELString TokenValue(int token, const Shown &shown) {
    switch (token) {
    case kHour12:
        return Number(shown.hour % 12 == 0 ? 12 : shown.hour % 12);
    case kHour12Padded:
        return Number(shown.hour % 12 == 0 ? 12 : shown.hour % 12, 2);
    case kHour24:
        return Number(shown.hour, 2);
    case kMinute:
        return Number(shown.minute);
    case kMinutePadded:
        return Number(shown.minute, 2);
    case kSecond:
        return Number(shown.second);
    case kSecondPadded:
        return Number(shown.second, 2);
    case kAMPM:
        return QELString(shown.hour < 12 ? "AM" : "PM");
    case kMonthName:
        return QELString(Named(kMonthNames, 12, shown.month));
    case kShortMonthName:
        return QELString(Named(kShortMonthNames, 12, shown.month));
    case kMonth:
        return Number(shown.month);
    case kMonthPadded:
        return Number(shown.month, 2);
    case kDay:
        return Number(shown.day);
    case kDayPadded:
        return Number(shown.day, 2);
    case kFullYear:
        return Number(shown.year);
    case kShortYear:
        return Number(shown.year % 100u, 2);
    case kWeekdayName:
        return QELString(Named(kWeekdayNames, 7, shown.weekday));
    case kShortWeekdayName:
        return QELString(Named(kShortWeekdayNames, 7, shown.weekday));
    case kWeekdayNumber:
        return Number(shown.weekday);
    case kDayOfYear:
        return Number(shown.dayOfYear);
    case kDayOfYearPadded:
        return Number(shown.dayOfYear, 3);
    case kWeekOfYear:
        return Number(shown.weekOfYear);
    case kWeekOfYearPadded:
        return Number(shown.weekOfYear, 2);
    case kJulianDay:
        return Number(shown.julianDay);
    default:
        return shown.zone;
    }
}

// The largest offset in hours that a zone text and a shift take: its seconds fit in 31 bits.
constexpr int32_t kOffsetLimitHours = 596523;

// The offset's whole minutes, cut off toward zero and bounded by the limit. The product
// is exact for offsets of up to 89 fraction digits (a page's offset has at most 9).
int32_t OffsetMinutes(const QELDecimal &offset) {
    if (offset.isEmpty())
        return 0;
    if (offset.greater(kOffsetLimitHours))
        return kOffsetLimitHours * 60;
    if (offset.less(-kOffsetLimitHours))
        return -kOffsetLimitHours * 60;
    QELDecimal minutes(QELDecimal::kMaximumPrecision, 90);
    minutes = 60;
    minutes.multiply(offset);
    return minutes.integerPart();
}

// "+hhmm" or "-hhmm" (hours in as many digits as needed, at least two); "GMT" for 0.
QELString ZoneText(int32_t minutes) {
    if (minutes == 0)
        return QELString("GMT");
    const uint32_t magnitude = minutes < 0 ? 0u - static_cast<uint32_t>(minutes) : static_cast<uint32_t>(minutes);
    QELString text(minutes < 0 ? '-' : '+');
    text.append(Number(magnitude / 60, 2));
    text.append(Number(magnitude % 60, 2));
    return text;
}

}  // namespace

QELDate QELDate::now() {
    LocalTimeReading reading;
    ReadLocalTime(&reading);
    return QELDate(reading.year, reading.month, reading.day, reading.hour, reading.minute, reading.second,
                   reading.gmtOffsetSeconds);
}

QELDate::QELDate(int32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute, uint32_t second,
                 int32_t gmtOffsetSeconds)
    : dayNumber_(DayNumber(year, static_cast<int32_t>(month), static_cast<int32_t>(day))),
      secondsOfDay_(0),
      gmtOffsetSeconds_(gmtOffsetSeconds) {
    addSecondsWide(static_cast<uint64_t>(hour) * 3600u + static_cast<uint64_t>(minute) * 60u + second);
}

QELDate::QELDate(const QELDate &other) = default;
QELDate &QELDate::operator=(const QELDate &other) = default;
QELDate::~QELDate() = default;

uint32_t QELDate::DayNumber(int32_t year, int32_t month, int32_t day) {
    int64_t y = year, m = month;
    if (m == 1 || m == 2) {
        y -= 1;
        m += 12;
    }
    const int64_t a = y / 100;
    const int64_t b = 2 - a + a / 4;
    // trunc(365.25 (y + 4716)) and trunc(30.6001 (m + 1)) computed exactly in integers
    // (C++ division truncates toward zero, as the floating products would be).
    const int64_t s = b + day + 1461 * (y + 4716) / 4 + 306001 * (m + 1) / 10000;
    // trunc(s - 1524.5)
    const int64_t n = s >= 1525 ? s - 1525 : s - 1524;
    return static_cast<uint32_t>(n);
}

bool QELDate::IsLeapYear(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

uint32_t QELDate::DaysInMonth(int32_t year, int32_t month) {
    static const uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

void QELDate::calendarDay(int64_t *year, uint32_t *month, uint32_t *day) const {
    int64_t l = static_cast<int64_t>(dayNumber_) + 68570;
    const int64_t n = 4 * l / 146097;
    l = l - (146097 * n + 3) / 4;
    const int64_t i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    const int64_t j = 80 * l / 2447;
    *day = static_cast<uint32_t>(l - 2447 * j / 80);
    l = j / 11;
    *month = static_cast<uint32_t>(j + 2 - 12 * l);
    *year = 100 * (n - 49) + i + l;
}

uint16_t QELDate::year() const {
    int64_t y;
    uint32_t m, d;
    calendarDay(&y, &m, &d);
    return static_cast<uint16_t>(y);
}

uint32_t QELDate::month() const {
    int64_t y;
    uint32_t m, d;
    calendarDay(&y, &m, &d);
    return m;
}

uint32_t QELDate::day() const {
    int64_t y;
    uint32_t m, d;
    calendarDay(&y, &m, &d);
    return d;
}

uint32_t QELDate::dayOfYear() const {
    int64_t y;
    uint32_t m, d;
    calendarDay(&y, &m, &d);
    uint32_t days = d;
    for (uint32_t earlier = 1; earlier < m; ++earlier)
        days += DaysInMonth(static_cast<int32_t>(y), static_cast<int32_t>(earlier));
    return days;
}

void QELDate::addSecondsWide(uint64_t n) {
    dayNumber_ += static_cast<uint32_t>(n / kSecondsPerDay);
    const uint32_t sum = secondsOfDay_ + static_cast<uint32_t>(n % kSecondsPerDay);
    if (sum >= kSecondsPerDay) {
        secondsOfDay_ = sum - kSecondsPerDay;
        ++dayNumber_;
    } else {
        secondsOfDay_ = sum;
    }
}

void QELDate::subtractSecondsWide(uint64_t n) {
    dayNumber_ -= static_cast<uint32_t>(n / kSecondsPerDay);
    const uint32_t part = static_cast<uint32_t>(n % kSecondsPerDay);
    if (part > secondsOfDay_) {
        secondsOfDay_ = secondsOfDay_ + kSecondsPerDay - part;
        --dayNumber_;
    } else {
        secondsOfDay_ -= part;
    }
}

void QELDate::addSeconds(uint32_t n) { addSecondsWide(n); }
void QELDate::addMinutes(uint32_t n) { addSecondsWide(60ull * n); }
void QELDate::addHours(uint32_t n) { addSecondsWide(3600ull * n); }
void QELDate::subtractSeconds(uint32_t n) { subtractSecondsWide(n); }
void QELDate::subtractMinutes(uint32_t n) { subtractSecondsWide(60ull * n); }
void QELDate::subtractHours(uint32_t n) { subtractSecondsWide(3600ull * n); }

QELString QELDate::Format(const QELString &format, bool useOffset, const QELDecimal &offset) const {
    if (offset.isEmpty())
        useOffset = false;
    // The zone shown, in whole minutes, and the shift that brings the reading's local
    // time to it: both from the same minutes, so that time and zone name one instant.
    const int32_t zoneMinutes = useOffset ? OffsetMinutes(offset) : gmtOffsetSeconds_ / 60;
    const int64_t shift = static_cast<int64_t>(zoneMinutes) * 60 - gmtOffsetSeconds_;
    QELDate moved(*this);
    if (shift < 0)
        moved.subtractSecondsWide(static_cast<uint64_t>(-shift));
    else
        moved.addSecondsWide(static_cast<uint64_t>(shift));

    Shown shown;
    int64_t year;
    moved.calendarDay(&year, &shown.month, &shown.day);
    shown.year = static_cast<uint16_t>(year);
    shown.hour = moved.hour();
    shown.minute = moved.minute();
    shown.second = moved.second();
    shown.weekday = moved.weekday();
    shown.dayOfYear = moved.dayOfYear();
    shown.weekOfYear = (shown.dayOfYear - 1) / 7 + 1;
    shown.julianDay = dayNumber_;
    shown.zone = ZoneText(zoneMinutes);

    QELString result(format);
    for (int token = 0; token < kTokenCount; ++token) {
        uint32_t at;
        if (result.find(kTokens[token].text, kTokens[token].length, &at))
            result.replaceAll(kTokens[token].text, kTokens[token].length, TokenValue(token, shown));
    }
    return result;
}

QELString FormatGMTOffset(const QELDecimal &offset) { return ZoneText(OffsetMinutes(offset)); }

const QELString &StandardTimeFormat() {
    static const QELString format(QEL_TOKEN_TEXT("hh") ":" QEL_TOKEN_TEXT("0m") ":" QEL_TOKEN_TEXT("0s"));
    return format;
}

const QELString &StandardDateFormat() {
    static const QELString format(QEL_TOKEN_TEXT("M") "/" QEL_TOKEN_TEXT("0D") "/" QEL_TOKEN_TEXT("YYYY"));
    return format;
}

const QELString &MailDateFormat() {
    static const QELString format(QEL_TOKEN_TEXT("ADW") ", " QEL_TOKEN_TEXT("0D") " " QEL_TOKEN_TEXT("AMN") " "
                                  QEL_TOKEN_TEXT("YYYY") " " QEL_TOKEN_TEXT("hh") ":" QEL_TOKEN_TEXT("0m") ":"
                                  QEL_TOKEN_TEXT("0s") " " QEL_TOKEN_TEXT("GMTo"));
    return format;
}
