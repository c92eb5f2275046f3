// Decimal.h: QELDecimal, a decimal number with a fixed precision and scale, kept in an
// order-preserving byte encoding so that numbers compare as plain byte strings.
#pragma once

#include <cstdint>

#include "foundation/String.h"

// The encoding, held in a QELString (no byte is ever 0):
// - byte 0, the sign: "p" positive, "n" negative, "o" zero (zero is just "o");
// - byte 1, the exponent e of the first significant digit (the value is d.ddd x 10^e),
//   stored as e + 10 when e >= 0 and e - 10 when e < 0, as a signed byte;
// - bytes 2..., the significant digits two per byte as 10 + 10 * first + second (an odd
//   last digit is paired with 0), without trailing "00" pairs.
// A negative number stores the exponent and digit bytes negated. Comparing two
// encodings byte by byte as signed bytes, the end of the shorter counting as a 0
// byte, gives the numeric order. The empty encoding means "no value" (a failed parse
// or an overflow): it orders below every number and counts as zero in arithmetic.
//
// precision (1..100, default 38) is the number of significant digits allowed and
// scale (0..precision, default 8) the number of fraction digits kept, so at most
// precision - scale digits stand before the point. A parsed text may keep one more
// fraction digit, at position scale + 1, when it is 5 or more: it takes part in the
// next calculation, whose exact result is then rounded to scale digits, half away
// from zero. A result with more than precision - scale integer digits is empty.
class QELDecimal : public QELObject {
public:
    static constexpr int32_t kDefaultPrecision = 38;
    static constexpr int32_t kDefaultScale = 8;
    static constexpr int32_t kMaximumPrecision = 100;

    // The empty value, with precision 38 and scale 8.
    QELDecimal();
    // The empty value with the given precision (1..100; anything else gives 38) and
    // scale (clamped to 0..precision).
    QELDecimal(int32_t precision, int32_t scale);
    QELDecimal(const QELDecimal &other);
    // The value of the number or text under precision 38 and scale 8.
    explicit QELDecimal(int32_t value);
    explicit QELDecimal(uint32_t value);
    // Formatted with six fraction digits (as "%Lf" would, independent of the locale),
    // then parsed; infinities and NaN give the empty value.
    explicit QELDecimal(long double value);
    explicit QELDecimal(double value);
    explicit QELDecimal(const char *text);
    explicit QELDecimal(const QELString &text);
    ~QELDecimal() override;

    // Copying a decimal takes its encoding, precision and scale. Assigning a number or
    // a text parses it under this value's own precision and scale.
    QELDecimal &operator=(const QELDecimal &other);
    QELDecimal &operator=(int32_t value);
    QELDecimal &operator=(uint32_t value);
    QELDecimal &operator=(long double value);
    QELDecimal &operator=(double value);
    QELDecimal &operator=(const char *text);
    QELDecimal &operator=(const QELString &text);

    // Parsing: leading spaces, an optional sign, digits with at most one ".", then only
    // spaces. Fraction digits beyond scale + 1 are ignored, and the one at scale + 1 is
    // kept only when it is 5 or more. A null or empty text, more than
    // precision - scale integer digits, a misplaced sign or any other byte give the
    // empty value; a second "." gives zero; a text without significant digit is zero.
    void parse(const char *bytes, uint32_t count);

    // "" for the empty value, "0" for zero, else the shortest plain notation:
    // "5.5", "-0.05", "100".
    QELString toText() const;
    // The integer part of toText() read with TextToInteger: the fraction is cut off
    // toward zero (-3.5 gives -3).
    int32_t integerPart() const;

    bool isEmpty() const { return encoded_.isEmpty(); }
    // True for zero and for the empty value.
    bool isZero() const { return encoded_.isEmpty() || encoded_.at(0) == 'o'; }
    bool isNegative() const { return !encoded_.isEmpty() && encoded_.at(0) == 'n'; }
    void negate();

    int32_t precision() const { return precision_; }
    int32_t scale() const { return scale_; }
    const QELString &encoded() const { return encoded_; }

    // precision 1..100 or -1 (keep), scale 0..precision or -1 (keep). Returns false and
    // changes nothing when an argument is out of range or the value has more integer
    // digits than the new precision - scale allows. Fraction digits beyond the new
    // scale are rounded away (a carry that overflows makes the value empty).
    bool setPrecisionAndScale(int32_t precision, int32_t scale);

    // Arithmetic in place; the result takes this value's precision and scale. Adding
    // or subtracting zero (or the empty value) leaves this value as it is; adding to
    // zero takes the other operand whole (its precision and scale too) and subtracting
    // from zero takes it negated. Multiplying by zero gives zero. Dividing computes the
    // quotient to scale + 2 fraction digits, cut off, then rounds; dividing by zero
    // gives fifty "9" digits parsed under this precision and scale (empty with the
    // default 38 and 8).
    QELDecimal &add(const QELDecimal &other);
    QELDecimal &subtract(const QELDecimal &other);
    QELDecimal &multiply(const QELDecimal &other);
    QELDecimal &multiply(int32_t factor);
    QELDecimal &divide(const QELDecimal &other);

    QELDecimal &operator+=(const QELDecimal &other) { return add(other); }
    QELDecimal &operator-=(const QELDecimal &other) { return subtract(other); }
    QELDecimal &operator*=(const QELDecimal &other) { return multiply(other); }
    QELDecimal &operator*=(int32_t factor) { return multiply(factor); }
    QELDecimal &operator/=(const QELDecimal &other) { return divide(other); }
    // New values: a copy of this value with the operation applied.
    QELDecimal operator+(const QELDecimal &other) const;
    QELDecimal operator-(const QELDecimal &other) const;
    QELDecimal operator*(const QELDecimal &other) const;
    QELDecimal operator*(int32_t factor) const;
    QELDecimal operator/(const QELDecimal &other) const;

    // Comparisons by the encoding (the empty value below every number). An integer is
    // compared exactly; a text is first parsed under this value's precision and scale.
    bool equals(const QELDecimal &other) const { return compare(other) == 0; }
    bool less(const QELDecimal &other) const { return compare(other) < 0; }
    bool greater(const QELDecimal &other) const { return compare(other) > 0; }
    bool notGreater(const QELDecimal &other) const { return compare(other) <= 0; }
    bool equals(int32_t other) const { return compare(other) == 0; }
    bool less(int32_t other) const { return compare(other) < 0; }
    bool greater(int32_t other) const { return compare(other) > 0; }
    bool notGreater(int32_t other) const { return compare(other) <= 0; }
    bool equals(const char *other) const { return compare(other) == 0; }
    bool less(const char *other) const { return compare(other) < 0; }
    bool greater(const char *other) const { return compare(other) > 0; }
    bool notGreater(const char *other) const { return compare(other) <= 0; }
    bool equals(const QELString &other) const { return compare(other) == 0; }
    bool less(const QELString &other) const { return compare(other) < 0; }
    bool greater(const QELString &other) const { return compare(other) > 0; }
    bool notGreater(const QELString &other) const { return compare(other) <= 0; }

    bool operator==(const QELDecimal &other) const { return compare(other) == 0; }
    bool operator!=(const QELDecimal &other) const { return compare(other) != 0; }
    bool operator<(const QELDecimal &other) const { return compare(other) < 0; }
    bool operator>(const QELDecimal &other) const { return compare(other) > 0; }
    bool operator<=(const QELDecimal &other) const { return compare(other) <= 0; }
    bool operator>=(const QELDecimal &other) const { return compare(other) >= 0; }

    // -1, 0 or 1 as this value orders below, equal to or above other.
    int compare(const QELDecimal &other) const;
    int compare(int32_t other) const;
    int compare(const char *other) const;
    int compare(const QELString &other) const;
    // The order of two encodings: signed bytes, the end of the shorter counting as 0.
    static int compareEncoded(const QELString &a, const QELString &b);

private:
    void assignFloating(long double value);
    void assignSigned(int32_t value);

    QELString encoded_;
    int32_t precision_;
    int32_t scale_;
};
