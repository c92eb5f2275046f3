// JulianStamp.h: QELJulianStamp, the current moment as a Julian date with the fraction of
// the day, from which unique names are made.
#pragma once

#include <cstdint>

#include "foundation/Decimal.h"

class QELJulianStamp : public QELObject {
public:
    // Reads the wall clock once (QELDate::now(), local time): dayNumber is that day's
    // number and julianDate the day number plus the seconds since midnight / 86400, under
    // precision 38 and scale 8 (rounded half away from zero at the eighth digit).
    QELJulianStamp();
    QELJulianStamp(const QELJulianStamp &other);
    QELJulianStamp &operator=(const QELJulianStamp &other);
    ~QELJulianStamp() override;

    // A copy of the Julian date.
    QELDecimal julianDate() const { return julianDate_; }
    uint32_t dayNumber() const { return dayNumber_; }

private:
    uint32_t dayNumber_;
    QELDecimal julianDate_;
};
