// JulianStamp.cpp: QELJulianStamp from one reading of the local clock, with the day's
// fraction computed in decimal arithmetic.
#include "foundation/JulianStamp.h"

#include "foundation/Date.h"

QELJulianStamp::QELJulianStamp() {
    const QELDate now = QELDate::now();
    dayNumber_ = now.dayNumber();
    QELDecimal fraction(now.secondsOfDay());
    fraction.divide(QELDecimal(QELDate::kSecondsPerDay));
    julianDate_ = QELDecimal(dayNumber_);
    julianDate_.add(fraction);
}

QELJulianStamp::QELJulianStamp(const QELJulianStamp &other) = default;
QELJulianStamp &QELJulianStamp::operator=(const QELJulianStamp &other) = default;
QELJulianStamp::~QELJulianStamp() = default;
