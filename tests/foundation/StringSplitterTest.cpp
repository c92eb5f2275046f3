// StringSplitterTest.cpp: fields of QELStringSplitter for the delimiter positions that
// matter (start, end, adjacent, absent), case folding and long texts.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "foundation/StringSplitter.h"

namespace {

std::vector<std::string> Fields(const QELStringSplitter &s) {
    std::vector<std::string> v;
    for (uint32_t i = 0; i < s.fieldCount(); ++i) {
        QELString f = s.field(i);
        v.emplace_back(f.text(), f.length());
        EXPECT_EQ(f.length(), s.fieldLength(i));
    }
    return v;
}

// The reference: every occurrence of the delimiter, scanning left to right and
// continuing behind each match.
std::vector<std::string> Reference(const std::string &text, const std::string &delimiter) {
    std::vector<std::string> v;
    if (text.empty() || delimiter.empty())
        return v;
    size_t start = 0;
    for (;;) {
        size_t hit = text.find(delimiter, start);
        if (hit == std::string::npos) {
            v.push_back(text.substr(start));
            return v;
        }
        v.push_back(text.substr(start, hit - start));
        start = hit + delimiter.size();
    }
}

TEST(QELStringSplitter, CutsAtEveryDelimiter) {
    struct Case {
        const char *text;
        const char *delimiter;
        uint32_t flags;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"a,b,,c", ",", 0, {"a", "b", "", "c"}},
        {"a,", ",", 0, {"a", ""}},
        {",a", ",", 0, {"", "a"}},
        {",", ",", 0, {"", ""}},
        {"abc", ",", 0, {"abc"}},
        {"", ",", 0, {}},
        {"abc", "", 0, {}},
        {"aXbxc", "x", 1, {"a", "b", "c"}},
        {"aXbxc", "x", 0, {"aXb", "c"}},
        {"one\r\ntwo\r\n\r\nthree", "\r\n", 0, {"one", "two", "", "three"}},
        {"aaaa", "aa", 0, {"", "", ""}},
        {"aaa", "aa", 0, {"", "a"}},
        {"--boundary--", "--boundary", 0, {"", "--"}},
        {"x--BOUNDARY\r\ny--Boundary", "--boundary", 1, {"x", "\r\ny", ""}},
        {"short", "much longer delimiter", 0, {"short"}},
        {"\xE9\xC9", "\xC9", 1, {"\xE9", ""}},  // bytes above 0x7F never fold
    };
    for (const Case &c : cases) {
        QELStringSplitter s(QELString(c.text), QELString(c.delimiter), c.flags);
        EXPECT_EQ(Fields(s), c.fields) << '"' << c.text << "\" at \"" << c.delimiter << '"';
    }
}

TEST(QELStringSplitter, OutOfRangeFieldsAreEmpty) {
    QELStringSplitter empty;
    EXPECT_EQ(empty.fieldCount(), 0u);
    EXPECT_TRUE(empty.field(0).isEmpty());
    QELStringSplitter s(QELString("a;b"), QELString(";"));
    EXPECT_TRUE(s.field(2).isEmpty());
    EXPECT_TRUE(s.field(UINT32_MAX).isEmpty());
    EXPECT_EQ(s.fieldStart(1), 2u);
    EXPECT_EQ(s.fieldLength(7), 0u);
}

TEST(QELStringSplitter, FieldsHoldNulBytes) {
    const char text[] = {'a', 0, 'b', '|', 0, '|', 'c'};
    QELStringSplitter s(QELString(text, sizeof text), QELString("|"));
    ASSERT_EQ(s.fieldCount(), 3u);
    EXPECT_EQ(s.field(0).length(), 3u);
    EXPECT_EQ(s.field(1).length(), 1u);
    EXPECT_EQ(s.field(1).at(0), 0);
}

TEST(QELStringSplitter, KeepsItsOwnCopyOfTheSource) {
    QELString text("k=v");
    QELStringSplitter s(text, QELString("="));
    text.append("&x=y");
    text.setAt(0, 'z');
    EXPECT_EQ(Fields(s), (std::vector<std::string>{"k", "v"}));
    QELStringSplitter copy(s);
    QELStringSplitter assigned;
    assigned = s;
    EXPECT_EQ(Fields(copy), Fields(s));
    EXPECT_EQ(Fields(assigned), Fields(s));
}

TEST(QELStringSplitter, SplittingAgainReplacesTheFields) {
    QELStringSplitter s(QELString("a b c"), QELString(" "));
    s.split(QELString("x/y"), QELString("/"));
    EXPECT_EQ(Fields(s), (std::vector<std::string>{"x", "y"}));
    s.split(QELString(""), QELString("/"));
    EXPECT_EQ(s.fieldCount(), 0u);
}

TEST(QELStringSplitter, AgreesWithAReferenceOnGeneratedTexts) {
    // Texts over a small alphabet, so that delimiters overlap, repeat and touch the ends.
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    const char alphabet[] = "abAB,";
    for (int round = 0; round < 3000; ++round) {
        std::string text, delimiter;
        const uint32_t textLength = next() % 40;
        for (uint32_t i = 0; i < textLength; ++i)
            text += alphabet[next() % 5];
        const uint32_t delimiterLength = 1 + next() % 3;
        for (uint32_t i = 0; i < delimiterLength; ++i)
            delimiter += alphabet[next() % 5];
        QELStringSplitter s(QELString(text.data(), static_cast<uint32_t>(text.size())),
                            QELString(delimiter.data(), static_cast<uint32_t>(delimiter.size())));
        ASSERT_EQ(Fields(s), Reference(text, delimiter)) << '"' << text << "\" at \"" << delimiter << '"';
        // Ignoring case is the same as splitting the upper-cased text at the
        // upper-cased delimiter.
        std::string upperText = text, upperDelimiter = delimiter;
        for (char &c : upperText)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        for (char &c : upperDelimiter)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        QELStringSplitter folded(QELString(text.data(), static_cast<uint32_t>(text.size())),
                                 QELString(delimiter.data(), static_cast<uint32_t>(delimiter.size())),
                                 QELStringSplitter::kIgnoreCase);
        std::vector<std::string> expected = Reference(upperText, upperDelimiter);
        ASSERT_EQ(folded.fieldCount(), expected.size());
        for (uint32_t i = 0; i < folded.fieldCount(); ++i) {
            // Same places as the folded reference, original bytes.
            ASSERT_EQ(folded.fieldLength(i), expected[i].size());
        }
    }
}

TEST(QELStringSplitter, SplitsALongTextIntoLines) {
    std::string text;
    const uint32_t lines = 50000;
    for (uint32_t i = 0; i < lines; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    QELStringSplitter s(QELString(text.data(), static_cast<uint32_t>(text.size())), QELString("\r\n"));
    ASSERT_EQ(s.fieldCount(), lines + 1);
    EXPECT_TRUE(s.field(lines).isEmpty());
    for (uint32_t i = 0; i < lines; i += 997)
        EXPECT_EQ(std::string(s.field(i).text()), "line " + std::to_string(i));
}

}  // namespace
