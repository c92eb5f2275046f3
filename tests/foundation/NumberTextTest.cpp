// NumberTextTest.cpp: radix conversion of integers to text and back, including the
// thousands separator, the sign rules and the stop before a 32-bit overflow.
#include <gtest/gtest.h>

#include <string>

#include "foundation/NumberText.h"

namespace {

std::string Str(const QELString &s) { return std::string(s.text(), s.length()); }

TEST(IntegerToText, FormatsInEveryRadixWithPadding) {
    struct Case {
        uint32_t value;
        uint8_t radix;
        uint8_t minimumDigits;
        const char *expected;
    };
    const Case cases[] = {
        {0, 10, 0, "0"},
        {0, 10, 1, "0"},
        {0, 10, 3, "000"},
        {5, 2, 8, "00000101"},
        {7, 10, 2, "07"},
        {123, 10, 2, "123"},
        {255, 16, 0, "FF"},
        {255, 16, 4, "00FF"},
        {35, 36, 0, "Z"},
        {36, 36, 0, "10"},
        {4294967295u, 10, 0, "4294967295"},
        {4294967295u, 16, 0, "FFFFFFFF"},
        {4294967295u, 2, 0, "11111111111111111111111111111111"},
        {4294967295u, 36, 0, "1Z141Z3"},
        {8, 8, 0, "10"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Str(IntegerToText(c.value, c.radix, c.minimumDigits)), c.expected)
            << c.value << " radix " << int(c.radix);
}

TEST(IntegerToText, RefusesRadixOutsideTwoToThirtySix) {
    EXPECT_TRUE(IntegerToText(5, 37, 0).isEmpty());
    EXPECT_TRUE(IntegerToText(5, 0, 0).isEmpty());
    EXPECT_TRUE(IntegerToText(5, 1, 0).isEmpty());
    EXPECT_TRUE(SignedIntegerToText(-5, 37, 0).isEmpty());
}

TEST(IntegerToText, PadsToTheLargestMinimum) {
    QELString text = IntegerToText(1, 10, 255);
    ASSERT_EQ(text.length(), 255u);
    EXPECT_EQ(text.at(0), '0');
    EXPECT_EQ(text.at(254), '1');
}

TEST(SignedIntegerToText, PutsTheSignBeforeThePaddedDigits) {
    EXPECT_EQ(Str(SignedIntegerToText(-5, 10, 2)), "-05");
    EXPECT_EQ(Str(SignedIntegerToText(5, 10, 2)), "05");
    EXPECT_EQ(Str(SignedIntegerToText(0, 10, 0)), "0");
    EXPECT_EQ(Str(SignedIntegerToText(-255, 16, 0)), "-FF");
    EXPECT_EQ(Str(SignedIntegerToText(INT32_MIN, 10, 0)), "-2147483648");
    EXPECT_EQ(Str(SignedIntegerToText(INT32_MAX, 10, 0)), "2147483647");
}

TEST(TextToInteger, ReadsTheLeadingNumber) {
    struct Case {
        const char *text;
        uint8_t radix;
        int32_t expected;
    };
    const Case cases[] = {
        {"+42", 10, 42},
        {"4,2", 10, 42},
        {" 1,234 ", 10, 1234},
        {",4", 10, 4},
        {"4,,4", 10, 44},
        {"\t\r\n 77 \n", 10, 77},
        {"-12abc", 10, -12},
        {"abc", 10, 0},
        {"--1", 10, 0},
        {"-+1", 10, 0},
        {"", 10, 0},
        {"   ", 10, 0},
        {"-", 10, 0},
        {"+", 10, 0},
        {"1 2", 10, 1},
        {"007", 10, 7},
        {"12.9", 10, 12},
        {"ff", 16, 255},
        {"-Ff", 16, -255},
        {"7fffffff", 16, 2147483647},
        {"1,0", 16, 1},      // "," separates thousands only in radix 10
        {"zz", 36, 1295},
        {"109", 2, 2},       // 9 is no binary digit
        {"777", 8, 511},
        {"12", 37, 0},
        {"12", 0, 0},
        {"1a", 10, 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(TextToInteger(QELString(c.text), c.radix), c.expected) << '"' << c.text << '"';
}

TEST(TextToInteger, StopsBeforeADigitThatWouldOverflow) {
    struct Case {
        const char *text;
        int32_t expected;
    };
    const Case cases[] = {
        {"2147483647", 2147483647},
        {"2147483648", 214748364},
        {"-2147483648", INT32_MIN},
        {"-2147483649", -214748364},
        {"99999999999", 999999999},
        {"2,147,483,647", 2147483647},
        {"4294967296", 429496729},
        {"00000000002147483647", 2147483647},
    };
    for (const Case &c : cases)
        EXPECT_EQ(TextToInteger(QELString(c.text), 10), c.expected) << c.text;
    EXPECT_EQ(TextToInteger(QELString("FFFFFFFF"), 16), 0x0FFFFFFF);
    EXPECT_EQ(TextToInteger(QELString("-80000000"), 16), INT32_MIN);
}

TEST(TextToInteger, ReadsBackWhatIntegerToTextWrote) {
    const int32_t values[] = {0, 1, -1, 9, 10, 99, -100, 65535, 123456789, INT32_MAX, INT32_MIN, -987654321};
    for (uint8_t radix = 2; radix <= 36; ++radix) {
        for (int32_t v : values)
            EXPECT_EQ(TextToInteger(SignedIntegerToText(v, radix, 0), radix), v) << v << " radix " << int(radix);
    }
}

}  // namespace
