// DecimalFuzz.cpp: fuzzes QELDecimal: parsing, the text form, the four operations, the
// comparisons, negation and a change of precision and scale, each against a scaled
// __int128 reference whenever the operands and the exact result fit it.
#include <cstring>
#include <string>

#include "foundation/Decimal.h"
#include "fuzz/FuzzCheck.h"

namespace {

using Int = __int128;

// 10^n for n up to 38 (the largest power of ten an __int128 holds).
Int Power(int n) {
    FUZZ_CHECK(n >= 0 && n <= 38);
    Int p = 1;
    for (int i = 0; i < n; ++i)
        p *= 10;
    return p;
}

// A reference value: no value at all, or units of 10^-units (valid only when fits).
struct Reference {
    bool empty = true;
    bool fits = true;
    Int units = 0;
};

bool Multiply(Int a, Int b, Int *out) { return !__builtin_mul_overflow(a, b, out); }
bool Add(Int a, Int b, Int *out) { return !__builtin_add_overflow(a, b, out); }

// Rounds a value of `from` fraction digits to `to` (to <= from), half away from zero.
Int Round(Int value, int from, int to) {
    if (from - to > 38)
        return 0;  // 10^39 is more than twice any __int128
    const Int d = Power(from - to);
    Int q = value / d, r = value % d;
    if (r < 0)
        r = -r;
    if (r >= d - r)  // 2r >= d, without overflow when d is 10^38
        q += value < 0 ? -1 : 1;
    return q;
}

// "0", or the sign, the integer digits and the fraction without trailing zeros.
std::string Format(Int value, int fractionDigits) {
    if (value == 0)
        return "0";
    const bool negative = value < 0;
    unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(value) : value;
    const unsigned __int128 scale = static_cast<unsigned __int128>(Power(fractionDigits));
    unsigned __int128 integer = magnitude / scale, fraction = magnitude % scale;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(integer % 10)));
        integer /= 10;
    } while (integer != 0);
    std::string text = (negative ? "-" : "") + digits;
    if (fraction != 0) {
        std::string tail(static_cast<size_t>(fractionDigits), '0');
        for (int i = fractionDigits - 1; i >= 0; --i, fraction /= 10)
            tail[static_cast<size_t>(i)] = static_cast<char>('0' + static_cast<int>(fraction % 10));
        tail.erase(tail.find_last_not_of('0') + 1);
        text += "." + tail;
    }
    return text;
}

// Reads a text as the parser is documented to: spaces, a sign, digits with one point,
// spaces; at most precision - scale integer digits; fraction digit scale + 1 kept only
// when 5 or more. The result is in units of 10^-(scale + 1).
Reference Parse(const std::string &text, int precision, int scale) {
    Reference r;
    if (text.empty())
        return r;
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::string integer, fraction;
    bool point = false, trailing = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (trailing) {
            if (c != ' ')
                return r;
            continue;
        }
        if (c >= '0' && c <= '9') {
            if (point) {
                fraction += c;
            } else if (!(integer.empty() && c == '0')) {
                if (static_cast<int>(integer.size()) == precision - scale)
                    return r;
                integer += c;
            }
        } else if (c == '.') {
            if (point) {
                r.empty = false;  // a second point: zero
                return r;
            }
            point = true;
        } else if (c == ' ') {
            trailing = true;
        } else {
            return r;
        }
    }
    r.empty = false;
    fraction.resize(static_cast<size_t>(scale) + 1, '0');
    if (fraction.back() < '5')
        fraction.back() = '0';
    const std::string digits = integer + fraction;
    for (char c : digits)
        r.fits = r.fits && Multiply(r.units, 10, &r.units) && Add(r.units, c - '0', &r.units);
    if (negative)
        r.units = -r.units;
    return r;
}

// The text a result of `digits` fraction digits must have under precision: empty when its
// integer part is too long.
std::string Expected(Int value, int digits, int precision) {
    const Int limit = Power(precision);
    return (value >= limit || value <= -limit) ? std::string() : Format(value, digits);
}

std::string Text(const QELDecimal &d) { return fuzz::Text(d.toText()); }

int Sign(Int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

}  // namespace

// Input: precision byte, scale byte, precision and scale bytes for a change, 4 bytes of
// an integer, then two texts separated by LF.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8)
        return 0;
    const int p = 1 + data[0] % 38;  // 38 digits at most: every value within fits __int128
    const int s = data[1] % ((p < 37 ? p : 37) + 1);  // so that 10^(s + 1) fits too
    const int p2 = 1 + data[2] % 38;
    const int s2 = data[3] % ((p2 < 37 ? p2 : 37) + 1);
    int32_t factor;
    std::memcpy(&factor, data + 4, 4);
    const std::string input(reinterpret_cast<const char *>(data) + 8, size - 8);
    size_t at = 0;
    const std::string textA = fuzz::NextLine(input, &at);
    const std::string textB = input.substr(at);
    const int u = s + 1;  // fraction digits of a parsed reference

    QELDecimal a(p, s), b(p, s);
    a = fuzz::Qel(textA);
    b = fuzz::Qel(textB);
    const Reference ra = Parse(textA, p, s), rb = Parse(textB, p, s);
    FUZZ_CHECK(a.isEmpty() == ra.empty && b.isEmpty() == rb.empty);
    FUZZ_CHECK(a.precision() == p && a.scale() == s);
    for (const QELDecimal *d : {&a, &b}) {
        // The text reads back as the same value.
        QELDecimal again(p, s);
        again = d->toText();
        FUZZ_CHECK(again.encoded().isEmpty() == d->isEmpty() && again == *d);
    }
    if (!ra.fits || !rb.fits)
        return 0;
    const Int va = ra.units, vb = rb.units;
    if (!ra.empty)
        FUZZ_CHECK(Text(a) == Format(va, u));
    if (!rb.empty)
        FUZZ_CHECK(Text(b) == Format(vb, u));

    // Order: the empty value below every number.
    const int expectedOrder =
        ra.empty || rb.empty ? (ra.empty ? -1 : 0) + (rb.empty ? 1 : 0) : (va > vb) - (va < vb);
    FUZZ_CHECK(a.compare(b) == expectedOrder && b.compare(a) == -expectedOrder);
    FUZZ_CHECK((a < b) == (expectedOrder < 0) && (a == b) == (expectedOrder == 0));
    Int factorUnits;
    if (!ra.empty && Multiply(static_cast<Int>(factor), Power(u), &factorUnits))
        FUZZ_CHECK(a.compare(factor) == (va > factorUnits) - (va < factorUnits));
    FUZZ_CHECK(a.compare(fuzz::Qel(textB)) == expectedOrder);
    if (textB.find('\0') == std::string::npos)
        FUZZ_CHECK(a.compare(textB.c_str()) == expectedOrder);

    const bool aZero = ra.empty || va == 0, bZero = rb.empty || vb == 0;
    Int exact;
    // Sum and difference.
    for (int negateB = 0; negateB < 2; ++negateB) {
        QELDecimal result(a);
        if (negateB)
            result.subtract(b);
        else
            result.add(b);
        const Int vbSigned = negateB ? -vb : vb;
        if (bZero) {
            FUZZ_CHECK(result.encoded().equals(a.encoded()));
        } else if (aZero) {
            FUZZ_CHECK(Text(result) == Format(vbSigned, u));
        } else if (Add(va, vbSigned, &exact)) {
            FUZZ_CHECK(Text(result) == Expected(Round(exact, u, s), s, p));
        }
    }
    // Product.
    {
        QELDecimal result(a);
        result.multiply(b);
        if (aZero || bZero)
            FUZZ_CHECK(Text(result) == "0");
        else if (Multiply(va, vb, &exact))
            FUZZ_CHECK(Text(result) == Expected(Round(exact, 2 * u, s), s, p));
        QELDecimal scaled(a);
        scaled.multiply(factor);
        if (aZero || factor == 0)
            FUZZ_CHECK(Text(scaled) == "0");
        else if (Multiply(va, factor, &exact))
            FUZZ_CHECK(Text(scaled) == Expected(Round(exact, u, s), s, p));
    }
    // Quotient: scale + 2 fraction digits cut off, then rounded.
    {
        QELDecimal result(a);
        result.divide(b);
        if (bZero) {
            const Reference nines = Parse(std::string(50, '9'), p, s);
            FUZZ_CHECK(result.isEmpty() == nines.empty);
        } else if (aZero) {
            FUZZ_CHECK(Text(result) == "0");
        } else if (s + 2 <= 38 && Multiply(va, Power(s + 2), &exact)) {
            FUZZ_CHECK(Text(result) == Expected(Round(exact / vb, s + 2, s), s, p));
        }
    }
    // Negation.
    if (!ra.empty) {
        QELDecimal negated(a);
        negated.negate();
        FUZZ_CHECK(Text(negated) == Format(-va, u));
        FUZZ_CHECK(va == 0 || negated.compare(a) == -Sign(va));
    }
    // A new precision and scale: refused when the integer part is too long, else the
    // fraction rounded to the new scale.
    if (!ra.empty) {
        QELDecimal changed(a);
        const Int magnitude = va < 0 ? -va : va;
        const bool tooLong = magnitude / Power(u) >= Power(p2 - s2);
        const bool accepted = changed.setPrecisionAndScale(p2, s2);
        FUZZ_CHECK(accepted == !tooLong);
        if (!accepted) {
            FUZZ_CHECK(changed.precision() == p && changed.scale() == s && changed.encoded().equals(a.encoded()));
        } else {
            FUZZ_CHECK(changed.precision() == p2 && changed.scale() == s2);
            const std::string expected = s2 >= u ? Format(va, u) : Expected(Round(va, u, s2), s2, p2);
            FUZZ_CHECK(Text(changed) == expected);
        }
    }
    return 0;
}
