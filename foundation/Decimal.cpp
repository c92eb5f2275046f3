// Decimal.cpp: parsing, text form and exact arithmetic of QELDecimal. Values are
// unpacked into decimal digit arrays, computed exactly, rounded half away from zero at
// the scale and packed back into the order-preserving encoding.
#include "foundation/Decimal.h"

#include <charconv>
#include <cstring>

#include "foundation/NumberText.h"

namespace {

// Digits one value can hold: precision 100 plus the rounding digit, with room to spare.
constexpr uint32_t kValueDigits = 128;
// Digits of an intermediate result. Every digit of a value lies between 10^99 and
// 10^-101, so an aligned sum or a product needs at most 202 digits; a division at
// most 203, because the quotient's scale + 2 fraction digits and the dividend's
// integer digits share one precision. Kept small: decimals may be used on a delivery
// job's small thread stack. Anything wider gives the empty value, never an overrun.
constexpr uint32_t kWorkDigits = 256;

// A value as sign, exponent of the first digit and significant digits, most
// significant first, with no leading or trailing zero digit.
struct Unpacked {
    enum Kind { kEmpty, kZero, kNumber };
    Kind kind = kEmpty;
    bool negative = false;
    int32_t exponent = 0;
    uint32_t count = 0;
    uint8_t digits[kValueDigits];
};

// A value as sign and magnitude x 10^exponent; the magnitude's digits are stored least
// significant first, without leading zeros (length 0 is zero).
struct Scaled {
    bool negative = false;
    int32_t exponent = 0;
    uint32_t length = 0;
    uint8_t digits[kWorkDigits];
};

Unpacked Decode(const QELString &encoded) {
    Unpacked u;
    if (encoded.isEmpty())
        return u;
    if (encoded.at(0) == 'o') {
        u.kind = Unpacked::kZero;
        return u;
    }
    u.kind = Unpacked::kNumber;
    u.negative = encoded.at(0) == 'n';
    const int sign = u.negative ? -1 : 1;
    const int exponentByte = sign * static_cast<int8_t>(encoded.at(1));
    u.exponent = exponentByte >= 10 ? exponentByte - 10 : exponentByte + 10;
    for (uint32_t i = 2; i < encoded.length() && u.count + 2 <= kValueDigits; ++i) {
        const int pair = sign * static_cast<int8_t>(encoded.at(i)) - 10;
        u.digits[u.count++] = static_cast<uint8_t>(pair / 10);
        u.digits[u.count++] = static_cast<uint8_t>(pair % 10);
    }
    while (u.count > 0 && u.digits[u.count - 1] == 0)
        --u.count;
    if (u.count == 0)
        u.kind = Unpacked::kZero;
    return u;
}

// Packs sign, exponent and digits (most significant first) into the encoding, dropping
// leading and trailing zero digits; no significant digit gives zero.
QELString Encode(bool negative, int32_t exponent, const uint8_t *digits, uint32_t count) {
    while (count > 0 && digits[0] == 0) {
        ++digits;
        --count;
        --exponent;
    }
    while (count > 0 && digits[count - 1] == 0)
        --count;
    if (count == 0)
        return QELString("o");
    // The exponent byte must stay a signed byte; no value within precision 100 comes
    // near that limit.
    if (count > kValueDigits || exponent > 117 || exponent < -118)
        return QELString();
    char bytes[2 + kValueDigits / 2];
    const int sign = negative ? -1 : 1;
    bytes[0] = negative ? 'n' : 'p';
    const int exponentByte = exponent >= 0 ? exponent + 10 : exponent - 10;
    bytes[1] = static_cast<char>(static_cast<int8_t>(sign * exponentByte));
    uint32_t n = 2;
    for (uint32_t i = 0; i < count; i += 2) {
        const int second = i + 1 < count ? digits[i + 1] : 0;
        bytes[n++] = static_cast<char>(static_cast<int8_t>(sign * (10 + 10 * digits[i] + second)));
    }
    return QELString(bytes, n);
}

void Trim(Scaled &x) {
    while (x.length > 0 && x.digits[x.length - 1] == 0)
        --x.length;
}

bool ToScaled(const Unpacked &u, Scaled &x) {
    x.negative = u.negative;
    x.length = u.kind == Unpacked::kNumber ? u.count : 0;
    x.exponent = u.exponent - static_cast<int32_t>(u.count) + 1;
    for (uint32_t i = 0; i < x.length; ++i)
        x.digits[i] = u.digits[u.count - 1 - i];
    Trim(x);
    return x.length != 0;
}

void IntegerToScaled(int64_t value, Scaled &x) {
    x.negative = value < 0;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    x.exponent = 0;
    x.length = 0;
    while (magnitude != 0) {
        x.digits[x.length++] = static_cast<uint8_t>(magnitude % 10);
        magnitude /= 10;
    }
}

// Multiplies the magnitude by 10^k, lowering the exponent by k; false when the
// work area is too small (never for values within precision 100).
bool ShiftUp(Scaled &x, uint32_t k) {
    if (x.length + k > kWorkDigits)
        return false;
    if (x.length != 0) {
        std::memmove(x.digits + k, x.digits, x.length);
        std::memset(x.digits, 0, k);
        x.length += k;
    }
    x.exponent -= static_cast<int32_t>(k);
    return true;
}

// Order of two magnitudes (no leading zeros) of the same exponent.
int CompareMagnitudes(const Scaled &a, const Scaled &b) {
    if (a.length != b.length)
        return a.length < b.length ? -1 : 1;
    for (uint32_t i = a.length; i-- > 0;) {
        if (a.digits[i] != b.digits[i])
            return a.digits[i] < b.digits[i] ? -1 : 1;
    }
    return 0;
}

// a += b (magnitudes of the same exponent).
bool AddMagnitude(Scaled &a, const Scaled &b) {
    uint32_t n = a.length > b.length ? a.length : b.length;
    if (n + 1 > kWorkDigits)
        return false;
    uint32_t carry = 0;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t sum = (i < a.length ? a.digits[i] : 0) + (i < b.length ? b.digits[i] : 0) + carry;
        a.digits[i] = static_cast<uint8_t>(sum % 10);
        carry = sum / 10;
    }
    a.length = n;
    if (carry != 0)
        a.digits[a.length++] = static_cast<uint8_t>(carry);
    return true;
}

// a -= b where a >= b (magnitudes of the same exponent).
void SubtractMagnitude(Scaled &a, const Scaled &b) {
    int borrow = 0;
    for (uint32_t i = 0; i < a.length; ++i) {
        int d = a.digits[i] - (i < b.length ? b.digits[i] : 0) - borrow;
        borrow = d < 0;
        a.digits[i] = static_cast<uint8_t>(d < 0 ? d + 10 : d);
    }
    Trim(a);
}

// The exact sum of two non-zero values, in a.
bool Add(Scaled &a, Scaled &b) {
    if (a.exponent > b.exponent) {
        if (!ShiftUp(a, static_cast<uint32_t>(a.exponent - b.exponent)))
            return false;
    } else if (b.exponent > a.exponent) {
        if (!ShiftUp(b, static_cast<uint32_t>(b.exponent - a.exponent)))
            return false;
    }
    if (a.negative == b.negative)
        return AddMagnitude(a, b);
    if (CompareMagnitudes(a, b) >= 0) {
        SubtractMagnitude(a, b);
    } else {
        SubtractMagnitude(b, a);
        std::memcpy(a.digits, b.digits, b.length);
        a.length = b.length;
        a.negative = b.negative;
    }
    return true;
}

// The exact product of two non-zero values, in out.
bool Multiply(const Scaled &a, const Scaled &b, Scaled &out) {
    // Operands are values (at most kValueDigits digits), so a column sums at most
    // 128 products of 81: it fits 16 bits.
    if (a.length > kValueDigits || b.length > kValueDigits)
        return false;
    uint16_t sums[2 * kValueDigits] = {};
    for (uint32_t i = 0; i < a.length; ++i) {
        for (uint32_t j = 0; j < b.length; ++j)
            sums[i + j] = static_cast<uint16_t>(sums[i + j] + a.digits[i] * b.digits[j]);
    }
    uint32_t carry = 0;
    out.length = a.length + b.length;
    for (uint32_t i = 0; i < out.length; ++i) {
        uint32_t v = sums[i] + carry;
        out.digits[i] = static_cast<uint8_t>(v % 10);
        carry = v / 10;
    }
    out.negative = a.negative != b.negative;
    out.exponent = a.exponent + b.exponent;
    Trim(out);
    return true;
}

// a / b cut off after fractionDigits fraction digits, in out.
bool Divide(const Scaled &a, const Scaled &b, int32_t fractionDigits, Scaled &out) {
    // a / b x 10^f = (ma / mb) x 10^(ea - eb + f); the integer quotient of the
    // magnitudes, one of them shifted, is the truncated result at exponent -f.
    Scaled numerator = a;
    Scaled divisor = b;
    const int32_t shift = a.exponent - b.exponent + fractionDigits;
    if (shift >= 0) {
        if (!ShiftUp(numerator, static_cast<uint32_t>(shift)))
            return false;
    } else if (!ShiftUp(divisor, static_cast<uint32_t>(-shift))) {
        return false;
    }
    // The remainder may grow one digit longer than the divisor.
    if (divisor.length >= kWorkDigits)
        return false;
    Scaled remainder;
    out.length = numerator.length;
    for (uint32_t i = numerator.length; i-- > 0;) {
        // remainder = remainder x 10 + next digit; it stays below 10 x divisor.
        std::memmove(remainder.digits + 1, remainder.digits, remainder.length);
        remainder.digits[0] = numerator.digits[i];
        ++remainder.length;
        Trim(remainder);
        uint8_t q = 0;
        while (CompareMagnitudes(remainder, divisor) >= 0) {
            SubtractMagnitude(remainder, divisor);
            ++q;
        }
        out.digits[i] = q;
    }
    out.negative = a.negative != b.negative;
    out.exponent = -fractionDigits;
    Trim(out);
    return true;
}

// Rounds x to scale fraction digits, half away from zero, and packs it under
// precision and scale: more than precision - scale integer digits give the empty value.
QELString Finish(Scaled &x, int32_t precision, int32_t scale) {
    Trim(x);
    if (x.exponent < -scale) {
        const uint32_t dropped = static_cast<uint32_t>(-scale - x.exponent);
        const uint8_t first = dropped - 1 < x.length ? x.digits[dropped - 1] : 0;
        if (dropped >= x.length) {
            x.length = 0;
        } else {
            std::memmove(x.digits, x.digits + dropped, x.length - dropped);
            x.length -= dropped;
        }
        x.exponent = -scale;
        if (first >= 5) {
            uint32_t i = 0;
            while (i < x.length && x.digits[i] == 9)
                x.digits[i++] = 0;
            if (i == x.length)
                x.digits[x.length++] = 1;
            else
                ++x.digits[i];
        }
    }
    Trim(x);
    if (x.length == 0)
        return QELString("o");
    const int32_t integerDigits = static_cast<int32_t>(x.length) + x.exponent;
    if (integerDigits > precision - scale)
        return QELString();
    if (x.length > kValueDigits)
        return QELString();
    uint8_t digits[kValueDigits];
    for (uint32_t i = 0; i < x.length; ++i)
        digits[i] = x.digits[x.length - 1 - i];
    return Encode(x.negative, x.exponent + static_cast<int32_t>(x.length) - 1, digits, x.length);
}

// The encoding of a text under precision and scale (see QELDecimal::parse).
QELString ParseText(const char *bytes, uint32_t count, int32_t precision, int32_t scale) {
    if (bytes == nullptr || count == 0)
        return QELString();
    uint32_t i = 0;
    while (i < count && bytes[i] == ' ')
        ++i;
    bool negative = false;
    if (i < count && (bytes[i] == '+' || bytes[i] == '-')) {
        negative = bytes[i] == '-';
        ++i;
    }
    while (i < count && bytes[i] == '0')
        ++i;

    enum Phase { kInteger, kFraction, kTrailingSpaces };
    Phase phase = kInteger;
    uint8_t digits[kValueDigits];
    uint32_t digitCount = 0;
    int32_t integerDigits = 0;
    int32_t fractionPosition = 0;       // of the fraction digit just read, from 1
    int32_t firstFractionPosition = 0;  // of the first significant one, when no integer digit
    for (; i < count; ++i) {
        const char c = bytes[i];
        if (phase == kTrailingSpaces) {
            if (c != ' ')
                return QELString();
            continue;
        }
        if (c >= '0' && c <= '9') {
            const uint8_t d = static_cast<uint8_t>(c - '0');
            if (phase == kInteger) {
                if (integerDigits == precision - scale)
                    return QELString();  // more integer digits than allowed
                digits[digitCount++] = d;
                ++integerDigits;
                continue;
            }
            ++fractionPosition;
            // Digit scale + 1 is kept only as a rounding digit of 5 or more; later
            // digits are ignored.
            const bool kept = fractionPosition <= scale || (fractionPosition == scale + 1 && d >= 5);
            if (!kept)
                continue;
            if (digitCount == 0) {
                if (d == 0)
                    continue;  // a leading fraction zero only lowers the exponent
                firstFractionPosition = fractionPosition;
            }
            digits[digitCount++] = d;
        } else if (c == '.') {
            if (phase == kFraction)
                return QELString("o");  // a second point
            phase = kFraction;
        } else if (c == ' ') {
            phase = kTrailingSpaces;
        } else {
            return QELString();  // a misplaced sign or another byte
        }
    }
    const int32_t exponent = integerDigits > 0 ? integerDigits - 1 : -firstFractionPosition;
    return Encode(negative, exponent, digits, digitCount);
}

QELString EncodeInteger(int64_t value) {
    Scaled x;
    IntegerToScaled(value, x);
    return Finish(x, QELDecimal::kMaximumPrecision, 0);
}

}  // namespace

QELDecimal::QELDecimal() : precision_(kDefaultPrecision), scale_(kDefaultScale) {}

QELDecimal::QELDecimal(int32_t precision, int32_t scale) {
    precision_ = precision >= 1 && precision <= kMaximumPrecision ? precision : kDefaultPrecision;
    scale_ = scale < 0 ? 0 : (scale > precision_ ? precision_ : scale);
}

QELDecimal::QELDecimal(const QELDecimal &other)
    : QELObject(other), encoded_(other.encoded_), precision_(other.precision_), scale_(other.scale_) {}

QELDecimal::QELDecimal(int32_t value) : QELDecimal() { assignSigned(value); }

QELDecimal::QELDecimal(uint32_t value) : QELDecimal() { *this = value; }

QELDecimal::QELDecimal(long double value) : QELDecimal() { assignFloating(value); }

QELDecimal::QELDecimal(double value) : QELDecimal() { assignFloating(value); }

QELDecimal::QELDecimal(const char *text) : QELDecimal() { *this = text; }

QELDecimal::QELDecimal(const QELString &text) : QELDecimal() { *this = text; }

QELDecimal::~QELDecimal() = default;

QELDecimal &QELDecimal::operator=(const QELDecimal &other) {
    encoded_ = other.encoded_;
    precision_ = other.precision_;
    scale_ = other.scale_;
    return *this;
}

QELDecimal &QELDecimal::operator=(int32_t value) {
    assignSigned(value);
    return *this;
}

QELDecimal &QELDecimal::operator=(uint32_t value) {
    QELString text = IntegerToText(value, 10, 0);
    parse(text.text(), text.length());
    return *this;
}

QELDecimal &QELDecimal::operator=(long double value) {
    assignFloating(value);
    return *this;
}

QELDecimal &QELDecimal::operator=(double value) {
    assignFloating(value);
    return *this;
}

QELDecimal &QELDecimal::operator=(const char *text) {
    parse(text, text == nullptr ? 0 : static_cast<uint32_t>(std::strlen(text)));
    return *this;
}

QELDecimal &QELDecimal::operator=(const QELString &text) {
    parse(text.text(), text.length());
    return *this;
}

void QELDecimal::assignSigned(int32_t value) {
    QELString text = SignedIntegerToText(value, 10, 0);
    parse(text.text(), text.length());
}

void QELDecimal::assignFloating(long double value) {
    // Six fraction digits, as "%Lf" writes them, but with "." whatever the locale. A
    // magnitude of 10^101 or more has more integer digits than any precision allows.
    if (!(value < 1e101L && value > -1e101L)) {
        encoded_.clear();
        return;
    }
    char text[160];
    std::to_chars_result r = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    if (r.ec != std::errc()) {
        encoded_.clear();
        return;
    }
    parse(text, static_cast<uint32_t>(r.ptr - text));
}

void QELDecimal::parse(const char *bytes, uint32_t count) {
    encoded_ = ParseText(bytes, count, precision_, scale_);
}

QELString QELDecimal::toText() const {
    Unpacked u = Decode(encoded_);
    if (u.kind == Unpacked::kEmpty)
        return QELString();
    if (u.kind == Unpacked::kZero)
        return QELString("0");
    // Sign, "0.", up to 101 zeros, 128 digits, and the point.
    char text[2 + 2 + 128 + kValueDigits + 2];
    uint32_t n = 0;
    if (u.negative)
        text[n++] = '-';
    if (u.exponent < 0) {
        text[n++] = '0';
        text[n++] = '.';
        for (int32_t z = -u.exponent - 1; z > 0; --z)
            text[n++] = '0';
        for (uint32_t i = 0; i < u.count; ++i)
            text[n++] = static_cast<char>('0' + u.digits[i]);
    } else {
        const uint32_t integerDigits = static_cast<uint32_t>(u.exponent) + 1;
        for (uint32_t i = 0; i < integerDigits; ++i)
            text[n++] = static_cast<char>('0' + (i < u.count ? u.digits[i] : 0));
        if (u.count > integerDigits) {
            text[n++] = '.';
            for (uint32_t i = integerDigits; i < u.count; ++i)
                text[n++] = static_cast<char>('0' + u.digits[i]);
        }
    }
    return QELString(text, n);
}

int32_t QELDecimal::integerPart() const {
    QELString text = toText();
    return text.isEmpty() ? 0 : TextToInteger(text, 10);
}

void QELDecimal::negate() {
    if (isZero())
        return;
    const uint32_t n = encoded_.length();
    char bytes[2 + kValueDigits / 2];
    if (n > sizeof bytes)
        return;
    bytes[0] = encoded_.at(0) == 'n' ? 'p' : 'n';
    for (uint32_t i = 1; i < n; ++i)
        bytes[i] = static_cast<char>(static_cast<int8_t>(-static_cast<int8_t>(encoded_.at(i))));
    encoded_ = QELString(bytes, n);
}

bool QELDecimal::setPrecisionAndScale(int32_t precision, int32_t scale) {
    const int32_t newPrecision = precision == -1 ? precision_ : precision;
    if (newPrecision < 1 || newPrecision > kMaximumPrecision)
        return false;
    const int32_t newScale = scale == -1 ? scale_ : scale;
    if (newScale < 0 || newScale > newPrecision)
        return false;
    Unpacked u = Decode(encoded_);
    if (u.kind == Unpacked::kNumber) {
        const int32_t integerDigits = u.exponent >= 0 ? u.exponent + 1 : 0;
        if (integerDigits > newPrecision - newScale)
            return false;
        const int32_t fractionDigits = static_cast<int32_t>(u.count) - 1 - u.exponent;
        if (fractionDigits > newScale) {
            Scaled x;
            ToScaled(u, x);
            encoded_ = Finish(x, newPrecision, newScale);
        }
    }
    precision_ = newPrecision;
    scale_ = newScale;
    return true;
}

QELDecimal &QELDecimal::add(const QELDecimal &other) {
    if (other.isZero())
        return *this;
    if (isZero())
        return *this = other;
    Scaled a, b;
    ToScaled(Decode(encoded_), a);
    ToScaled(Decode(other.encoded_), b);
    encoded_ = Add(a, b) ? Finish(a, precision_, scale_) : QELString();
    return *this;
}

QELDecimal &QELDecimal::subtract(const QELDecimal &other) {
    if (other.isZero())
        return *this;
    if (isZero()) {
        *this = other;
        negate();
        return *this;
    }
    Scaled a, b;
    ToScaled(Decode(encoded_), a);
    ToScaled(Decode(other.encoded_), b);
    b.negative = !b.negative;
    encoded_ = Add(a, b) ? Finish(a, precision_, scale_) : QELString();
    return *this;
}

QELDecimal &QELDecimal::multiply(const QELDecimal &other) {
    if (isZero() || other.isZero()) {
        encoded_ = "o";
        return *this;
    }
    Scaled a, b, product;
    ToScaled(Decode(encoded_), a);
    ToScaled(Decode(other.encoded_), b);
    encoded_ = Multiply(a, b, product) ? Finish(product, precision_, scale_) : QELString();
    return *this;
}

QELDecimal &QELDecimal::multiply(int32_t factor) {
    if (isZero() || factor == 0) {
        encoded_ = "o";
        return *this;
    }
    Scaled a, b, product;
    ToScaled(Decode(encoded_), a);
    IntegerToScaled(factor, b);
    encoded_ = Multiply(a, b, product) ? Finish(product, precision_, scale_) : QELString();
    return *this;
}

QELDecimal &QELDecimal::divide(const QELDecimal &other) {
    if (other.isZero()) {
        static const char kFiftyNines[] = "99999999999999999999999999999999999999999999999999";
        parse(kFiftyNines, 50);
        return *this;
    }
    if (isZero()) {
        encoded_ = "o";
        return *this;
    }
    Scaled a, b, quotient;
    ToScaled(Decode(encoded_), a);
    ToScaled(Decode(other.encoded_), b);
    encoded_ = Divide(a, b, scale_ + 2, quotient) ? Finish(quotient, precision_, scale_) : QELString();
    return *this;
}

QELDecimal QELDecimal::operator+(const QELDecimal &other) const { return QELDecimal(*this).add(other); }

QELDecimal QELDecimal::operator-(const QELDecimal &other) const { return QELDecimal(*this).subtract(other); }

QELDecimal QELDecimal::operator*(const QELDecimal &other) const { return QELDecimal(*this).multiply(other); }

QELDecimal QELDecimal::operator*(int32_t factor) const { return QELDecimal(*this).multiply(factor); }

QELDecimal QELDecimal::operator/(const QELDecimal &other) const { return QELDecimal(*this).divide(other); }

int QELDecimal::compareEncoded(const QELString &a, const QELString &b) {
    const uint32_t la = a.length();
    const uint32_t lb = b.length();
    const uint32_t n = la > lb ? la : lb;
    for (uint32_t i = 0; i < n; ++i) {
        const int ca = i < la ? static_cast<int8_t>(a.at(i)) : 0;
        const int cb = i < lb ? static_cast<int8_t>(b.at(i)) : 0;
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return 0;
}

int QELDecimal::compare(const QELDecimal &other) const { return compareEncoded(encoded_, other.encoded_); }

int QELDecimal::compare(int32_t other) const { return compareEncoded(encoded_, EncodeInteger(other)); }

int QELDecimal::compare(const char *other) const {
    return compareEncoded(encoded_, ParseText(other, other == nullptr ? 0 : static_cast<uint32_t>(std::strlen(other)),
                                              precision_, scale_));
}

int QELDecimal::compare(const QELString &other) const {
    return compareEncoded(encoded_, ParseText(other.text(), other.length(), precision_, scale_));
}
