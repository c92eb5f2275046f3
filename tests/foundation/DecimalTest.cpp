// DecimalTest.cpp: QELDecimal parsing, text form, encoding order, precision changes
// and the four operations, checked on the documented cases and on thousands of
// generated operands against exact arithmetic on digit strings.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "foundation/Decimal.h"

namespace {

std::string Str(const QELString &s) { return std::string(s.text(), s.length()); }

// ---- Exact reference arithmetic on digit strings (most significant digit first) ----

std::string Strip(const std::string &s) {
    size_t i = s.find_first_not_of('0');
    return i == std::string::npos ? std::string() : s.substr(i);
}

int CompareMagnitudes(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string AddMagnitudes(const std::string &a, const std::string &b) {
    std::string r;
    int carry = 0;
    for (size_t i = 0; i < a.size() || i < b.size() || carry; ++i) {
        int d = carry;
        if (i < a.size())
            d += a[a.size() - 1 - i] - '0';
        if (i < b.size())
            d += b[b.size() - 1 - i] - '0';
        r.insert(r.begin(), static_cast<char>('0' + d % 10));
        carry = d / 10;
    }
    return Strip(r);
}

// a - b for a >= b.
std::string SubtractMagnitudes(const std::string &a, const std::string &b) {
    std::string r = a;
    int borrow = 0;
    for (size_t i = 0; i < r.size(); ++i) {
        int d = r[r.size() - 1 - i] - '0' - borrow - (i < b.size() ? b[b.size() - 1 - i] - '0' : 0);
        borrow = d < 0;
        r[r.size() - 1 - i] = static_cast<char>('0' + (d + 10) % 10);
    }
    return Strip(r);
}

std::string MultiplyMagnitudes(const std::string &a, const std::string &b) {
    if (a.empty() || b.empty())
        return std::string();
    std::vector<int> sums(a.size() + b.size(), 0);
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < b.size(); ++j)
            sums[i + j + 1] += (a[i] - '0') * (b[j] - '0');
    for (size_t k = sums.size() - 1; k > 0; --k) {
        sums[k - 1] += sums[k] / 10;
        sums[k] %= 10;
    }
    std::string r;
    for (int d : sums)
        r += static_cast<char>('0' + d);
    return Strip(r);
}

std::string ShiftMagnitude(const std::string &a, int places) { return a.empty() ? a : a + std::string(places, '0'); }

// sign x magnitude x 10^-fraction; zero has an empty magnitude and no sign.
struct Exact {
    bool negative = false;
    std::string magnitude;
    int fraction = 0;
};

Exact Normalized(Exact x) {
    x.magnitude = Strip(x.magnitude);
    if (x.magnitude.empty())
        x.negative = false;
    return x;
}

Exact AtFraction(const Exact &x, int fraction) {
    Exact r = x;
    r.magnitude = ShiftMagnitude(x.magnitude, fraction - x.fraction);
    r.fraction = fraction;
    return r;
}

Exact Sum(const Exact &a, const Exact &b) {
    const int f = std::max(a.fraction, b.fraction);
    Exact x = AtFraction(a, f), y = AtFraction(b, f), r;
    r.fraction = f;
    if (x.negative == y.negative) {
        r.negative = x.negative;
        r.magnitude = AddMagnitudes(x.magnitude, y.magnitude);
    } else if (CompareMagnitudes(x.magnitude, y.magnitude) >= 0) {
        r.negative = x.negative;
        r.magnitude = SubtractMagnitudes(x.magnitude, y.magnitude);
    } else {
        r.negative = y.negative;
        r.magnitude = SubtractMagnitudes(y.magnitude, x.magnitude);
    }
    return Normalized(r);
}

Exact Negated(Exact x) {
    if (!x.magnitude.empty())
        x.negative = !x.negative;
    return x;
}

Exact Product(const Exact &a, const Exact &b) {
    Exact r;
    r.negative = a.negative != b.negative;
    r.magnitude = MultiplyMagnitudes(a.magnitude, b.magnitude);
    r.fraction = a.fraction + b.fraction;
    return Normalized(r);
}

int Compare(const Exact &a, const Exact &b) {
    const int f = std::max(a.fraction, b.fraction);
    Exact x = AtFraction(a, f), y = AtFraction(b, f);
    const int sx = x.magnitude.empty() ? 0 : (x.negative ? -1 : 1);
    const int sy = y.magnitude.empty() ? 0 : (y.negative ? -1 : 1);
    if (sx != sy)
        return sx < sy ? -1 : 1;
    const int c = CompareMagnitudes(x.magnitude, y.magnitude);
    return sx < 0 ? -c : c;
}

// Half away from zero, to scale fraction digits.
Exact Rounded(const Exact &x, int scale) {
    if (x.fraction <= scale)
        return x;
    const size_t drop = static_cast<size_t>(x.fraction - scale);
    std::string m = x.magnitude;
    if (m.size() < drop + 1)
        m.insert(0, drop + 1 - m.size(), '0');
    std::string kept = m.substr(0, m.size() - drop);
    if (m[m.size() - drop] >= '5')
        kept = AddMagnitudes(kept, "1");
    Exact r;
    r.negative = x.negative;
    r.magnitude = kept;
    r.fraction = scale;
    return Normalized(r);
}

int IntegerDigits(const Exact &x) { return std::max(0, static_cast<int>(x.magnitude.size()) - x.fraction); }

std::string Text(const Exact &x) {
    if (x.magnitude.empty())
        return "0";
    std::string m = x.magnitude;
    if (static_cast<int>(m.size()) <= x.fraction)
        m.insert(0, static_cast<size_t>(x.fraction) + 1 - m.size(), '0');
    std::string integer = m.substr(0, m.size() - static_cast<size_t>(x.fraction));
    std::string fraction = m.substr(m.size() - static_cast<size_t>(x.fraction));
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    return (x.negative ? "-" : "") + integer + (fraction.empty() ? "" : "." + fraction);
}

Exact FromInteger(int64_t v) {
    Exact r;
    r.negative = v < 0;
    r.magnitude = Strip(std::to_string(v < 0 ? -v : v));
    return Normalized(r);
}

// ---- Generated operands ----

struct Operand {
    std::string text;
    int precision = 38;
    int scale = 8;
    bool empty = false;  // the stored value, under the parsing rules
    Exact value;
    bool isZero() const { return empty || value.magnitude.empty(); }
};

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool chance(int percent) { return uniform(0, 99) < percent; }

    std::string digits(int count, const char *alphabet) {
        std::string s;
        for (int i = 0; i < count; ++i)
            s += chance(25) ? '0' : alphabet[uniform(0, static_cast<int>(std::strlen(alphabet)) - 1)];
        return s;
    }

    // Any precision and scale, integer parts up to (and a few beyond) the limit,
    // fraction parts reaching past the rounding digit.
    Operand operand() {
        Operand o;
        o.precision = chance(50) ? 38 : uniform(1, 100);
        o.scale = (chance(50) && o.precision >= 8) ? 8 : uniform(0, o.precision);
        const int room = o.precision - o.scale;
        int integerCount;
        const int r = uniform(0, 99);
        if (r < 5)
            integerCount = room + 1 + uniform(0, 2);
        else if (r < 55)
            integerCount = uniform(0, std::min(3, room));
        else
            integerCount = uniform(0, room);
        const int fractionCount = chance(30) ? uniform(0, std::min(o.scale + 2, 3)) : uniform(0, o.scale + 3);
        return build(o, integerCount, fractionCount, "123456789");
    }

    // Few digits from {0, 1, 9} so that equal values, prefixes and neighbours are common.
    Operand narrowOperand() {
        Operand o;
        return build(o, uniform(0, 3), uniform(0, 4), "19");
    }

    // What parsing keeps: at most precision - scale significant integer digits, scale
    // fraction digits, and digit scale + 1 only when it is 5 or more.
    static void Keep(Operand &o, bool negative, const std::string &integer, const std::string &fraction) {
        const std::string significant = Strip(integer);
        if (static_cast<int>(significant.size()) > o.precision - o.scale) {
            o.empty = true;
            return;
        }
        std::string kept = fraction.substr(0, std::min<size_t>(fraction.size(), static_cast<size_t>(o.scale)));
        if (static_cast<int>(fraction.size()) > o.scale && fraction[static_cast<size_t>(o.scale)] >= '5')
            kept += fraction[static_cast<size_t>(o.scale)];
        o.value.negative = negative;
        o.value.magnitude = significant + kept;
        o.value.fraction = static_cast<int>(kept.size());
        o.value = Normalized(o.value);
    }

    static Operand Make(bool negative, const std::string &integer, const std::string &fraction, int precision,
                        int scale) {
        Operand o;
        o.precision = precision;
        o.scale = scale;
        o.text = (negative ? "-" : "") + integer + (fraction.empty() ? "" : "." + fraction);
        Keep(o, negative, integer, fraction);
        return o;
    }

    Operand build(Operand o, int integerCount, int fractionCount, const char *alphabet) {
        const std::string integer = digits(integerCount, alphabet);
        const std::string fraction = digits(fractionCount, alphabet);
        const bool negative = chance(40);
        o.text = negative ? "-" : (chance(5) ? "+" : "");
        if (chance(10))
            o.text += "00";
        o.text += integer;
        if (!fraction.empty() || chance(10))
            o.text += "." + fraction;
        if (o.text.empty() || o.text == "-" || o.text == "+")
            o.text += "0";
        Keep(o, negative, integer, fraction);
        return o;
    }

private:
    std::mt19937 rng_;
};

QELDecimal Parsed(const Operand &o) {
    QELDecimal d(o.precision, o.scale);
    d = o.text.c_str();
    return d;
}

struct Expected {
    bool empty = false;
    Exact value;
    int precision = 38;
    int scale = 8;
};

Expected Rounded(const Exact &exact, int precision, int scale) {
    Expected e;
    e.precision = precision;
    e.scale = scale;
    e.value = Rounded(exact, scale);
    e.empty = IntegerDigits(e.value) > precision - scale;
    return e;
}

Expected Whole(const Operand &o, bool negated) {
    Expected e;
    e.empty = o.empty;
    e.value = negated ? Negated(o.value) : o.value;
    e.precision = o.precision;
    e.scale = o.scale;
    return e;
}

::testing::AssertionResult Matches(const QELDecimal &d, const Expected &e) {
    const std::string expectedText = e.empty ? std::string() : Text(e.value);
    if (Str(d.toText()) != expectedText || d.isEmpty() != e.empty || d.precision() != e.precision ||
        d.scale() != e.scale)
        return ::testing::AssertionFailure()
               << "got \"" << Str(d.toText()) << "\" (" << d.precision() << "," << d.scale() << "), expected \""
               << expectedText << "\" (" << e.precision << "," << e.scale << ")";
    return ::testing::AssertionSuccess();
}

// ---- Documented cases ----

TEST(QELDecimal, ParsesUnderPrecisionAndScale) {
    struct Case {
        const char *text;
        int precision;
        int scale;
        const char *expected;  // nullptr: the empty value
    };
    const Case cases[] = {
        {"1.5", 38, 8, "1.5"},
        {"-1.5", 38, 8, "-1.5"},
        {"1.50", 38, 8, "1.5"},
        {"0.000", 38, 8, "0"},
        {"0.123456785", 38, 8, "0.123456785"},
        {"0.123456784", 38, 8, "0.12345678"},
        {"0.1234567899999", 38, 8, "0.123456789"},
        {"0.000000005", 38, 8, "0.000000005"},
        {"0.000000004", 38, 8, "0"},
        {"0.0000000009", 38, 8, "0"},
        {"1.2.3", 38, 8, "0"},
        {"12a", 38, 8, nullptr},
        {"1234567890123456789012345678901", 38, 8, nullptr},
        {"123456789012345678901234567890", 38, 8, "123456789012345678901234567890"},
        {"000000000000000000000000000000001", 38, 8, "1"},
        {"  +007.250  ", 38, 8, "7.25"},
        {"-0", 38, 8, "0"},
        {"-0.00", 38, 8, "0"},
        {".5", 38, 8, "0.5"},
        {"-.05", 38, 8, "-0.05"},
        {"5.", 38, 8, "5"},
        {"   ", 38, 8, "0"},
        {"-", 38, 8, "0"},
        {".", 38, 8, "0"},
        {"", 38, 8, nullptr},
        {"1 2", 38, 8, nullptr},
        {"1 .", 38, 8, nullptr},
        {"1-", 38, 8, nullptr},
        {"+-1", 38, 8, nullptr},
        {"0-1", 38, 8, nullptr},
        {"\t1", 38, 8, nullptr},
        {"1\t", 38, 8, nullptr},
        {"1e5", 38, 8, nullptr},
        {"1,000", 38, 8, nullptr},
        {"100", 38, 8, "100"},
        {"2451544.520833333333", 38, 8, "2451544.52083333"},
        {"99.5", 2, 0, "99.5"},  // the rounding digit survives parsing
        {"100", 2, 0, nullptr},
        {"0.5", 1, 1, "0.5"},
        {"1", 1, 1, nullptr},
        {"0.06", 1, 1, "0.06"},
        {"0.04", 1, 1, "0"},
        {"-12.345", 5, 2, "-12.345"},
        {"-12.344", 5, 2, "-12.34"},
    };
    for (const Case &c : cases) {
        QELDecimal d(c.precision, c.scale);
        d = c.text;
        if (c.expected == nullptr) {
            EXPECT_TRUE(d.isEmpty()) << '"' << c.text << "\" gave \"" << Str(d.toText()) << '"';
        } else {
            EXPECT_FALSE(d.isEmpty()) << c.text;
            EXPECT_EQ(Str(d.toText()), c.expected) << c.text;
        }
    }
    QELDecimal fromNull;
    fromNull = static_cast<const char *>(nullptr);
    EXPECT_TRUE(fromNull.isEmpty());
}

TEST(QELDecimal, EncodesSignExponentAndDigitPairs) {
    struct Case {
        const char *text;
        std::vector<int> bytes;
    };
    const Case cases[] = {
        {"0", {'o'}},
        {"1.5", {'p', 10, 25}},
        {"15", {'p', 11, 25}},
        {"-1.5", {'n', -10, -25}},
        {"-0.05", {'n', 12, -60}},
        {"0.001", {'p', -13, 20}},
        {"123", {'p', 12, 22, 40}},
        {"100.01", {'p', 12, 20, 10, 20}},
        {"99", {'p', 11, 109}},
    };
    for (const Case &c : cases) {
        QELDecimal d(c.text);
        const QELString &e = d.encoded();
        std::vector<int> bytes;
        for (uint32_t i = 0; i < e.length(); ++i)
            bytes.push_back(static_cast<int8_t>(e.at(i)));
        EXPECT_EQ(bytes, c.bytes) << c.text;
    }
}

TEST(QELDecimal, WritesPlainText) {
    EXPECT_EQ(Str(QELDecimal("5.5").toText()), "5.5");
    EXPECT_EQ(Str(QELDecimal("-0.05").toText()), "-0.05");
    EXPECT_EQ(Str(QELDecimal("100").toText()), "100");
    EXPECT_EQ(Str(QELDecimal("1e").toText()), "");
    EXPECT_EQ(Str(QELDecimal().toText()), "");
}

TEST(QELDecimal, IntegerPartCutsTowardZero) {
    struct Case {
        const char *text;
        int32_t expected;
    };
    const Case cases[] = {{"-3.5", -3}, {"3.99", 3}, {"0.5", 0}, {"2147483647", 2147483647},
                          {"-2147483648.7", INT32_MIN}, {"x", 0}, {"1000", 1000}};
    for (const Case &c : cases)
        EXPECT_EQ(QELDecimal(c.text).integerPart(), c.expected) << c.text;
}

TEST(QELDecimal, BuildsFromIntegersAndFloatingPoint) {
    EXPECT_EQ(Str(QELDecimal(static_cast<int32_t>(-42)).toText()), "-42");
    EXPECT_EQ(Str(QELDecimal(INT32_MIN).toText()), "-2147483648");
    EXPECT_EQ(Str(QELDecimal(static_cast<uint32_t>(4294967295u)).toText()), "4294967295");
    EXPECT_EQ(Str(QELDecimal(2.25L).toText()), "2.25");
    EXPECT_EQ(Str(QELDecimal(-0.5).toText()), "-0.5");
    EXPECT_TRUE(QELDecimal(-0.0000004L).isZero());  // six fraction digits, as "%Lf"
    EXPECT_FALSE(QELDecimal(-0.0000004L).isEmpty());
    EXPECT_EQ(Str(QELDecimal(0.0000006L).toText()), "0.000001");
    EXPECT_TRUE(QELDecimal(std::numeric_limits<long double>::infinity()).isEmpty());
    EXPECT_TRUE(QELDecimal(std::numeric_limits<long double>::quiet_NaN()).isEmpty());
    EXPECT_TRUE(QELDecimal(1e31L).isEmpty());
    EXPECT_TRUE(QELDecimal(1e300L).isEmpty());
    EXPECT_EQ(QELDecimal(1.5e29L).toText().length(), 30u);

    // Assignment keeps the value's own precision and scale.
    QELDecimal small(4, 2);
    small = 12;
    EXPECT_EQ(Str(small.toText()), "12");
    small = 123;
    EXPECT_TRUE(small.isEmpty());
    small = 1.23456L;  // "1.234560": digit 3 is 4, dropped
    EXPECT_EQ(Str(small.toText()), "1.23");
    small = 1.2356L;   // "1.235600": digit 3 is 5, kept for rounding
    EXPECT_EQ(Str(small.toText()), "1.235");
    EXPECT_EQ(small.precision(), 4);
    EXPECT_EQ(small.scale(), 2);

    // The decimal point does not follow the locale.
    const char *localized = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    if (localized == nullptr)
        localized = std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    EXPECT_EQ(Str(QELDecimal(1.5L).toText()), "1.5") << (localized ? localized : "C locale");
    std::setlocale(LC_NUMERIC, "C");
}

TEST(QELDecimal, ComparesNumbersIntegersAndTexts) {
    QELDecimal minus("-1.5"), zero("0"), plus("1.5"), empty;
    EXPECT_TRUE(minus.less(zero));
    EXPECT_TRUE(zero.less(plus));
    EXPECT_TRUE(minus < plus);
    EXPECT_TRUE(QELDecimal("1.50").equals(plus));
    EXPECT_TRUE(empty.less(minus));
    EXPECT_TRUE(empty.less(INT32_MIN));
    EXPECT_TRUE(empty.equals(QELDecimal("junk")));
    EXPECT_TRUE(zero.greater(empty));
    EXPECT_TRUE(empty.isZero());

    QELDecimal d("2.5");
    EXPECT_TRUE(d.greater(2));
    EXPECT_TRUE(d.less(3));
    EXPECT_TRUE(d.notGreater(3));
    EXPECT_FALSE(d.notGreater(2));
    EXPECT_TRUE(d.equals("2.50"));
    EXPECT_TRUE(d.notGreater("2.5"));
    EXPECT_TRUE(d.less(QELString("2.51")));
    EXPECT_TRUE(d.greater("-7"));
    EXPECT_TRUE(QELDecimal("-2147483648").equals(INT32_MIN));
    EXPECT_TRUE(QELDecimal("2147483647").equals(INT32_MAX));
    EXPECT_TRUE(QELDecimal("0").equals(0));
    // A text is read under the value's own precision and scale.
    QELDecimal coarse(5, 1);
    coarse = "1.2";
    EXPECT_TRUE(coarse.equals("1.24"));
    EXPECT_TRUE(coarse.less("1.25"));
}

TEST(QELDecimal, NegatesNumbersOnly) {
    QELDecimal d("1.5");
    d.negate();
    EXPECT_EQ(Str(d.toText()), "-1.5");
    d.negate();
    EXPECT_EQ(Str(d.toText()), "1.5");
    QELDecimal zero("0");
    zero.negate();
    EXPECT_EQ(Str(zero.encoded()), "o");
    QELDecimal empty;
    empty.negate();
    EXPECT_TRUE(empty.isEmpty());
}

TEST(QELDecimal, DividesWithRoundingAtTheScale) {
    struct Case {
        const char *a;
        const char *b;
        const char *quotient;
    };
    const Case cases[] = {
        {"1", "3", "0.33333333"},   {"2", "3", "0.66666667"},     {"-2", "3", "-0.66666667"},
        {"2", "-3", "-0.66666667"}, {"1", "8", "0.125"},          {"10", "0.001", "10000"},
        {"0.00000001", "2", "0.00000001"}, {"0.00000001", "3", "0"}, {"7", "7", "1"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Str((QELDecimal(c.a) / QELDecimal(c.b)).toText()), c.quotient) << c.a << " / " << c.b;
}

TEST(QELDecimal, AppliesTheZeroOperandRules) {
    QELDecimal zero(10, 2);
    zero = "0";
    QELDecimal other(20, 5);
    other = "1.23456";

    QELDecimal sum = zero + other;  // adding to zero takes the other whole
    EXPECT_EQ(Str(sum.toText()), "1.23456");
    EXPECT_EQ(sum.precision(), 20);
    EXPECT_EQ(sum.scale(), 5);
    QELDecimal difference(zero);
    difference.subtract(other);
    EXPECT_EQ(Str(difference.toText()), "-1.23456");
    EXPECT_EQ(difference.scale(), 5);

    QELDecimal kept("0.123456785");  // its rounding digit survives an added zero
    kept.add(zero);
    EXPECT_EQ(Str(kept.toText()), "0.123456785");
    kept.subtract(QELDecimal());
    EXPECT_EQ(Str(kept.toText()), "0.123456785");
    kept.add(QELDecimal("0.00000001"));
    EXPECT_EQ(Str(kept.toText()), "0.1234568");

    EXPECT_EQ(Str((other * zero).toText()), "0");
    EXPECT_EQ(Str((QELDecimal() * other).toText()), "0");
    EXPECT_EQ(Str((other * 0).toText()), "0");
    EXPECT_EQ(Str((zero / other).toText()), "0");

    EXPECT_TRUE((QELDecimal("1") / zero).isEmpty());  // fifty nines overflow 38/8
    QELDecimal wide(100, 0);
    wide = "1";
    wide.divide(QELDecimal());
    EXPECT_EQ(Str(wide.toText()), std::string(50, '9'));
    QELDecimal narrow(58, 8);
    narrow = "1";
    narrow /= zero;
    EXPECT_EQ(Str(narrow.toText()), std::string(50, '9'));
}

TEST(QELDecimal, OverflowGivesTheEmptyValue) {
    QELDecimal big(std::string(30, '9').c_str());
    EXPECT_FALSE(big.isEmpty());
    EXPECT_TRUE((big + QELDecimal("1")).isEmpty());
    EXPECT_TRUE((big * 10).isEmpty());
    EXPECT_TRUE((big / QELDecimal("0.5")).isEmpty());
    EXPECT_FALSE((big - QELDecimal("1")).isEmpty());
    QELDecimal tight(3, 1);
    tight = "99.9";
    QELDecimal half(3, 1);
    half = "0.05";
    EXPECT_TRUE((tight + half).isEmpty());  // 99.95 rounds to 100.0
    EXPECT_EQ(Str((tight + QELDecimal("0.04")).toText()), "99.9");
}

TEST(QELDecimal, OperatesOnItself) {
    QELDecimal d("1.5");
    d.add(d);
    EXPECT_EQ(Str(d.toText()), "3");
    d.multiply(d);
    EXPECT_EQ(Str(d.toText()), "9");
    d.divide(d);
    EXPECT_EQ(Str(d.toText()), "1");
    d.subtract(d);
    EXPECT_EQ(Str(d.toText()), "0");
}

TEST(QELDecimal, ChangesPrecisionAndScale) {
    QELDecimal d("123.456");
    EXPECT_FALSE(d.setPrecisionAndScale(4, 2));  // 3 integer digits do not fit in 2
    EXPECT_EQ(Str(d.toText()), "123.456");
    EXPECT_EQ(d.precision(), 38);
    EXPECT_TRUE(d.setPrecisionAndScale(5, 2));
    EXPECT_EQ(Str(d.toText()), "123.46");
    EXPECT_EQ(d.precision(), 5);
    EXPECT_EQ(d.scale(), 2);
    EXPECT_TRUE(d.setPrecisionAndScale(-1, 0));
    EXPECT_EQ(Str(d.toText()), "123");
    EXPECT_TRUE(d.setPrecisionAndScale(40, -1));
    EXPECT_EQ(d.precision(), 40);
    EXPECT_EQ(d.scale(), 0);

    const int bad[][2] = {{0, 0}, {101, 2}, {-2, 2}, {5, 6}, {5, -2}};
    for (const auto &b : bad) {
        EXPECT_FALSE(d.setPrecisionAndScale(b[0], b[1])) << b[0] << "," << b[1];
        EXPECT_EQ(d.precision(), 40);
    }

    QELDecimal carry(4, 2);
    carry = "99.995";
    EXPECT_TRUE(carry.setPrecisionAndScale(4, 2));  // the rounding digit is rounded away
    EXPECT_TRUE(carry.isEmpty());
    QELDecimal roundingDigit("0.123456785");
    EXPECT_TRUE(roundingDigit.setPrecisionAndScale(-1, -1));
    EXPECT_EQ(Str(roundingDigit.toText()), "0.12345679");
    QELDecimal empty;
    EXPECT_TRUE(empty.setPrecisionAndScale(3, 1));
    EXPECT_TRUE(empty.isEmpty());
}

// ---- Generated operands against the exact reference ----

TEST(QELDecimal, ParsingKeepsWhatTheRulesKeep) {
    Generator g(1);
    for (int i = 0; i < 20000; ++i) {
        const Operand o = g.operand();
        const QELDecimal d = Parsed(o);
        ASSERT_TRUE(Matches(d, Whole(o, false))) << '"' << o.text << "\" (" << o.precision << "," << o.scale << ")";
        // The text form reads back to the same encoding.
        QELDecimal again(o.precision, o.scale);
        again = d.toText();
        ASSERT_TRUE(again.encoded().equals(d.encoded())) << o.text;
    }
}

Expected ExpectedSum(const Operand &a, const Operand &b, bool subtract) {
    if (b.isZero())
        return Whole(a, false);
    if (a.isZero())
        return Whole(b, subtract);
    return Rounded(Sum(a.value, subtract ? Negated(b.value) : b.value), a.precision, a.scale);
}

Expected ExpectedProduct(const Operand &a, const Operand &b) {
    if (a.isZero() || b.isZero()) {
        Expected e;
        e.precision = a.precision;
        e.scale = a.scale;
        return e;
    }
    return Rounded(Product(a.value, b.value), a.precision, a.scale);
}

TEST(QELDecimal, AddsAndSubtractsExactlyThenRounds) {
    Generator g(2);
    for (int i = 0; i < 6000; ++i) {
        const Operand a = g.operand(), b = g.operand();
        const QELDecimal da = Parsed(a), db = Parsed(b);
        QELDecimal inPlace(da);
        inPlace.add(db);
        ASSERT_TRUE(Matches(inPlace, ExpectedSum(a, b, false))) << a.text << " + " << b.text << " scale " << a.scale;
        ASSERT_TRUE(Matches(da + db, ExpectedSum(a, b, false)));
        QELDecimal difference(da);
        difference -= db;
        ASSERT_TRUE(Matches(difference, ExpectedSum(a, b, true))) << a.text << " - " << b.text;
        ASSERT_TRUE(Matches(da - db, ExpectedSum(a, b, true)));
    }
}

TEST(QELDecimal, MultipliesExactlyThenRounds) {
    Generator g(3);
    for (int i = 0; i < 6000; ++i) {
        const Operand a = g.operand(), b = g.operand();
        const QELDecimal da = Parsed(a), db = Parsed(b);
        QELDecimal inPlace(da);
        inPlace *= db;
        ASSERT_TRUE(Matches(inPlace, ExpectedProduct(a, b))) << a.text << " * " << b.text << " scale " << a.scale;
        ASSERT_TRUE(Matches(da * db, ExpectedProduct(a, b)));

        const int32_t factor = g.uniform(-100000, 100000) * (g.chance(10) ? 20000 : 1);
        Operand integer;
        integer.value = FromInteger(factor);
        integer.precision = 100;
        integer.scale = 0;
        ASSERT_TRUE(Matches(da * factor, ExpectedProduct(a, integer))) << a.text << " * " << factor;
    }
}

// Checks a quotient without dividing: q, the quotient cut after scale + 2 fraction
// digits and rounded half away at scale, is the rounded value m exactly when
// 100m - 50 <= |a / b| x 10^(scale + 2) < 100m + 50; it overflows exactly when
// |a / b| x 10^(scale + 2) >= 100 x 10^precision - 50.
::testing::AssertionResult QuotientIsRight(const Operand &a, const Operand &b, const QELDecimal &q) {
    const int p = a.precision, s = a.scale;
    if (q.precision() != p || q.scale() != s)
        return ::testing::AssertionFailure() << "precision and scale changed";
    if (b.isZero()) {
        const bool fits = p - s >= 50;
        if (fits ? Str(q.toText()) != std::string(50, '9') : !q.isEmpty())
            return ::testing::AssertionFailure() << "division by zero gave \"" << Str(q.toText()) << '"';
        return ::testing::AssertionSuccess();
    }
    if (a.isZero())
        return q.isZero() && !q.isEmpty() ? ::testing::AssertionSuccess()
                                          : ::testing::AssertionFailure() << "zero divided gave " << Str(q.toText());
    // |a / b| x 10^(s + 2) = N / D.
    const int shift = b.value.fraction - a.value.fraction + s + 2;
    const std::string n = shift >= 0 ? ShiftMagnitude(a.value.magnitude, shift) : a.value.magnitude;
    const std::string d = shift >= 0 ? b.value.magnitude : ShiftMagnitude(b.value.magnitude, -shift);
    const std::string limit = SubtractMagnitudes("1" + std::string(static_cast<size_t>(p) + 2, '0'), "50");
    const bool overflows = CompareMagnitudes(n, MultiplyMagnitudes(limit, d)) >= 0;
    if (overflows)
        return q.isEmpty() ? ::testing::AssertionSuccess()
                           : ::testing::AssertionFailure() << "expected overflow, got " << Str(q.toText());
    if (q.isEmpty())
        return ::testing::AssertionFailure() << "unexpected overflow";
    // m: the result's magnitude at scale s.
    const std::string text = Str(q.toText());
    std::string digits;
    int fraction = 0;
    bool point = false;
    for (char c : text) {
        if (c == '.')
            point = true;
        else if (c != '-') {
            digits += c;
            fraction += point;
        }
    }
    const std::string m = ShiftMagnitude(Strip(digits), s - fraction);
    const std::string hundredM = ShiftMagnitude(m, 2);
    if (!m.empty() && CompareMagnitudes(MultiplyMagnitudes(SubtractMagnitudes(hundredM, "50"), d), n) > 0)
        return ::testing::AssertionFailure() << "quotient " << text << " too large";
    if (CompareMagnitudes(n, MultiplyMagnitudes(AddMagnitudes(hundredM, "50"), d)) >= 0)
        return ::testing::AssertionFailure() << "quotient " << text << " too small";
    const bool negative = a.value.negative != b.value.negative;
    if (!m.empty() && q.isNegative() != negative)
        return ::testing::AssertionFailure() << "quotient " << text << " has the wrong sign";
    return ::testing::AssertionSuccess();
}

TEST(QELDecimal, DividesToTheRoundedTruncatedQuotient) {
    Generator g(4);
    for (int i = 0; i < 6000; ++i) {
        const Operand a = g.operand(), b = g.operand();
        const QELDecimal da = Parsed(a), db = Parsed(b);
        QELDecimal inPlace(da);
        inPlace.divide(db);
        ASSERT_TRUE(QuotientIsRight(a, b, inPlace))
            << a.text << " / " << b.text << " (" << a.precision << "," << a.scale << ")";
        ASSERT_TRUE((da / db).encoded().equals(inPlace.encoded()));
    }
}

// Values at the ends of precision 100: digits from 10^99 down to 10^-101.
TEST(QELDecimal, ComputesWithTheWidestOperands) {
    const std::string nines(100, '9');
    std::vector<Operand> operands;
    for (bool negative : {false, true}) {
        operands.push_back(Generator::Make(negative, nines, "", 100, 0));
        operands.push_back(Generator::Make(negative, "1" + std::string(99, '0'), "", 100, 0));
        operands.push_back(Generator::Make(negative, "0", std::string(99, '0') + "15", 100, 100));  // 1.5e-100
        operands.push_back(Generator::Make(negative, "0", nines + "9", 100, 100));
        operands.push_back(Generator::Make(negative, std::string(50, '9'), std::string(51, '9'), 100, 50));
        operands.push_back(Generator::Make(negative, "1", "", 1, 0));
        operands.push_back(Generator::Make(negative, "0", "5", 1, 1));
    }
    for (const Operand &a : operands) {
        ASSERT_FALSE(a.empty) << a.text;
        ASSERT_TRUE(Matches(Parsed(a), Whole(a, false))) << a.text;
        for (const Operand &b : operands) {
            const QELDecimal da = Parsed(a), db = Parsed(b);
            ASSERT_TRUE(Matches(da + db, ExpectedSum(a, b, false))) << a.text << " + " << b.text;
            ASSERT_TRUE(Matches(da - db, ExpectedSum(a, b, true))) << a.text << " - " << b.text;
            ASSERT_TRUE(Matches(da * db, ExpectedProduct(a, b))) << a.text << " * " << b.text;
            ASSERT_TRUE(QuotientIsRight(a, b, da / db)) << a.text << " / " << b.text;
        }
    }
}

TEST(QELDecimal, EncodingOrderIsNumericOrder) {
    Generator g(5);
    for (int i = 0; i < 20000; ++i) {
        const bool narrow = g.chance(70);
        const Operand a = narrow ? g.narrowOperand() : g.operand();
        const Operand b = narrow ? g.narrowOperand() : g.operand();
        int expected;
        if (a.empty || b.empty)
            expected = a.empty == b.empty ? 0 : (a.empty ? -1 : 1);
        else
            expected = Compare(a.value, b.value);
        const QELDecimal da = Parsed(a), db = Parsed(b);
        ASSERT_EQ(QELDecimal::compareEncoded(da.encoded(), db.encoded()), expected) << a.text << " vs " << b.text;
        ASSERT_EQ(da.less(db), expected < 0);
        ASSERT_EQ(da.equals(db), expected == 0);
        ASSERT_EQ(da.greater(db), expected > 0);
        ASSERT_EQ(da.notGreater(db), expected <= 0);
        // Against an integer, compared exactly.
        const int32_t k = g.uniform(-1000, 1000);
        if (!a.empty) {
            ASSERT_EQ(da.compare(k), Compare(a.value, FromInteger(k))) << a.text << " vs " << k;
        }
    }
}

}  // namespace
