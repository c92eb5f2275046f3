// RegularExpressionTest.cpp: the dialect of QELRegularExpression (what compiles, what
// matches where, group slots, quantifier limits, anchors) and the address check.
#include <gtest/gtest.h>

#include <string>

#include "foundation/RegularExpression.h"

namespace {

const char *const kAddressPattern = "^[A-Za-z0-9._-]+@([A-Za-z0-9-]+[.])+[A-Za-z]{2,4}$";

QELString Text(const std::string &s) { return QELString(s.data(), static_cast<uint32_t>(s.size())); }

TEST(QELRegularExpression, CompilesOnlyTheDialect) {
    struct Case {
        const char *pattern;
        int32_t result;
    };
    const Case cases[] = {
        {"", 0},
        {"a[,]b", 0},
        {"(a|b)c", 0},
        {"[]a]", 0},
        {"a\\(b)", -1},  // "(" opens a group even after a backslash
        {"a,b", -1},
        {"a|b|c", -1},
        {"(a(b))", 4},  // a nested group: "(" at index 3 of "\2(a(b..."
        {"[ab", 5},     // the end of "\1[ab"
        {"(ab", 5},
        {"[a]{2", 5},   // the "{" after "\1[a]"
        {"(a){2", 5},
        {"x{3,2}", -1},
        {"x{}", -1},
        {"x{2", -1},
        {"x{2;3}", -1},
        {"x**", -1},
        {"*x", -1},
        {"a)", -1},
        {"a\\q", -1},
        {"a\\", -1},
        {"a\\$", -1},  // the final "$" is the anchor, leaving a lone backslash
        {"a{b", -1},
    };
    for (const Case &c : cases) {
        QELRegularExpression expression;
        EXPECT_EQ(expression.Compile(QELString(c.pattern)), c.result) << c.pattern;
    }
}

TEST(QELRegularExpression, QuantifiersSetCountsCappedAt255) {
    struct Case {
        const char *pattern;
        uint8_t minimum;
        uint8_t maximum;
        uint16_t flag;
    };
    const Case cases[] = {
        {"x*", 0, 0, QELRegexNode::kZeroOrMore}, {"x+", 1, 0, QELRegexNode::kOneOrMore},
        {"x?", 0, 0, QELRegexNode::kOptional},   {"x{3}", 3, 3, QELRegexNode::kCounted},
        {"x{2,}", 2, 0, QELRegexNode::kCounted}, {"x{,4}", 0, 4, QELRegexNode::kCounted},
        {"x{300}", 255, 255, QELRegexNode::kCounted}, {"x{1,99999}", 1, 255, QELRegexNode::kCounted},
        {"x{1,2,3}", 1, 3, QELRegexNode::kCounted},   {"[x]{0,2}", 0, 2, QELRegexNode::kCounted},
    };
    for (const Case &c : cases) {
        QELRegularExpression expression;
        ASSERT_EQ(expression.Compile(QELString(c.pattern)), 0) << c.pattern;
        const QELRegexNode *leaf = expression.root().child(0)->child(0);
        ASSERT_NE(leaf, nullptr) << c.pattern;
        EXPECT_EQ(leaf->minimum(), c.minimum) << c.pattern;
        EXPECT_EQ(leaf->maximum(), c.maximum) << c.pattern;
        EXPECT_EQ(leaf->flags(), c.flag) << c.pattern;
    }
}

TEST(QELRegularExpression, SearchFindsTheFirstGreedyMatch) {
    struct Case {
        const char *pattern;
        std::string subject;
        bool found;
        uint32_t start;
        uint32_t length;
    };
    const std::string x300(300, 'x');
    const Case cases[] = {
        {"a*a", "aaa", false, 0, 0},  // no backtracking
        {"[a-z]+z", "abz", false, 0, 0},
        {"(a|b)c", "bc", true, 0, 2},
        {"a[,]b", "xa,b", true, 1, 3},
        {"[:digit:]{2}", "x42", true, 1, 2},
        {"a[:space:]b", "ab", true, 0, 2},
        {"\\s", "\r\n", false, 0, 0},
        {"\\s+", "a \f\t\vb", true, 1, 4},
        {".", "\r\n", false, 0, 0},
        {".+", "\r\nxy\n", true, 2, 2},
        {"\\d+\\D\\w+\\W", "ab12-c_3!", true, 2, 7},
        {"\\c+\\C", "12ab3", true, 2, 3},
        {"x{300}", x300, true, 0, 255},
        {"x{300}", std::string(254, 'x'), false, 0, 0},
        {"x{2,}", "xxxxx", true, 0, 5},
        {"x{,2}", "xxx", true, 0, 2},
        {"x{1,2,3}", "xxxx", true, 0, 3},
        {"ab?c", "ac", true, 0, 2},
        {"[^a-c]+", "abcdef", true, 3, 3},
        {"[a-]+", "b-a-", true, 1, 3},
        {"[z-a]", "abz", true, 2, 1},  // a reversed range adds only its first byte
        {"[\x80-\xff]", "\x90\x80", true, 1, 1},
        {"a^b-c@", "xa^b-c@", true, 1, 6},
        {"\\$\\*\\+\\.\\?\\\\\\]\\^\\{\\}", "x$*+.?\\]^{}", true, 1, 10},
        {"^b", "a\nb", true, 2, 1},
        {"^b", "a\rb", true, 2, 1},
        {"^b", "ab", false, 0, 0},
        {"a$", "a\r\nb", true, 0, 1},
        {"a$", "ab", false, 0, 0},
        {"^(ab)+$", "x\nabab", true, 2, 4},
        {"", "abc", false, 0, 0},
        {"a*", "", false, 0, 0},
        {"(a*)*", "b", true, 0, 0},  // an empty iteration ends the repetition
        {"(a*)*b", "aab", true, 0, 3},
        {"(a?){3}b", "ab", true, 0, 2},
        {"(a|b*)+c", "abbc", true, 0, 4},
        // From 1 the iterations "b", "b" reach 3, where the attempt from 0 ("abb", then
        // "c") had passed: three in all.
        {"(a[bc][bc]|[bc]){3,}x", "abbcx", true, 1, 4},
    };
    for (const Case &c : cases) {
        QELRegularExpression expression;
        ASSERT_EQ(expression.Compile(QELString(c.pattern)), 0) << c.pattern;
        ASSERT_EQ(expression.Search(Text(c.subject)), c.found) << c.pattern << " in " << c.subject;
        if (c.found) {
            uint32_t start = 0, length = 0;
            expression.GetMatch(&start, &length);
            EXPECT_EQ(start, c.start) << c.pattern << " in " << c.subject;
            EXPECT_EQ(length, c.length) << c.pattern << " in " << c.subject;
        }
    }
}

TEST(QELRegularExpression, GroupsRecordTheirSpans) {
    struct Case {
        const char *pattern;
        const char *subject;
        bool found;
        uint32_t group;
        uint32_t start;
        uint32_t length;
    };
    const Case cases[] = {
        {kAddressPattern, "user@mail.example.com", true, 1, 5, 13},  // every repetition
        {"(a|b)c", "bc", true, 1, 0, 1},
        {"(x)y(z)", "_xyz", true, 2, 3, 1},
        {"(a)x", "ab", false, 1, 0, 1},  // written by the failed attempt, kept
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)", "abcdefghijk", true, 9, 8, 1},
    };
    for (const Case &c : cases) {
        QELRegularExpression expression;
        ASSERT_EQ(expression.Compile(QELString(c.pattern)), 0) << c.pattern;
        EXPECT_EQ(expression.Search(QELString(c.subject)), c.found) << c.pattern;
        uint32_t start = 0, length = 0;
        ASSERT_TRUE(expression.GetGroup(c.group, &start, &length)) << c.pattern;
        EXPECT_EQ(start, c.start) << c.pattern;
        EXPECT_EQ(length, c.length) << c.pattern;
    }
}

TEST(QELRegularExpression, GroupsPastTheNinthStayInsideTheTable) {
    QELRegularExpression expression;
    ASSERT_EQ(expression.Compile("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)"), 0);
    EXPECT_EQ(expression.root().child(10)->group(), 11u);
    for (int round = 0; round < 2; ++round) {
        uint32_t start = 0, length = 0;
        ASSERT_TRUE(expression.Search("__abcdefghijk"));
        expression.GetMatch(&start, &length);
        EXPECT_EQ(start, 2u);
        EXPECT_EQ(length, 11u);
        // The members behind the table are intact: the counter, and the memo numbering
        // the second search relies on.
        EXPECT_EQ(expression.groupCount(), 11u);
        EXPECT_FALSE(expression.GetGroup(10, &start, &length));
        EXPECT_FALSE(expression.GetGroup(0, &start, &length));
    }
}

TEST(QELRegularExpression, CompilingAgainStartsAfresh) {
    QELRegularExpression expression;
    uint32_t start = 0, length = 0;
    EXPECT_FALSE(expression.Search("abc"));  // never compiled
    ASSERT_EQ(expression.Compile("(a)(b)"), 0);
    ASSERT_TRUE(expression.Search("ab"));
    ASSERT_EQ(expression.Compile("(c)d"), 0);
    EXPECT_EQ(expression.groupCount(), 1u);
    EXPECT_EQ(expression.root().childCount(), 2u);
    expression.GetGroup(2, &start, &length);
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(expression.Search("ab"));
    ASSERT_TRUE(expression.Search("xcd"));
    expression.GetGroup(1, &start, &length);
    EXPECT_EQ(start, 1u);
    EXPECT_EQ(expression.root().child(0)->group(), 1u);
    // A failed compile leaves nothing to match with, not the previous pattern.
    EXPECT_NE(expression.Compile("(c)d|e|f"), 0);
    EXPECT_FALSE(expression.Search("xcd"));
    EXPECT_FALSE(expression.MatchAtStart("cd", &length));
}

TEST(QELRegularExpression, AddressCheckMatchesFromTheStartOverTheWhole) {
    struct Case {
        std::string address;
        bool accepted;
    };
    const std::string longLocal(64, 'l');
    const std::string labels = "abcdefghij-0123456789.";  // 22 bytes
    std::string longest = longLocal + "@";
    while (longest.size() + labels.size() + 4 <= 254)
        longest += labels;
    longest += std::string(254 - 4 - longest.size(), 'd') + ".com";
    const Case cases[] = {
        {"user@example.com", true},
        {"a.b-c_d@sub.example.org", true},
        {"x@y.ab", true},
        {"x@y.abcd", true},
        {"first.last@a-b.c-d.info", true},
        {longest, true},
        {"x@y.a", false},      // one letter after the last dot
        {"x@y.abcde", false},  // five
        {"x@y.com ", false},   // trailing space
        {"x@y.com\n", false},  // "$" holds before the LF: the match is one byte short
        {" x@y.com", false},
        {"@y.com", false},
        {"x@.com", false},
        {"x@com", false},
        {"x@y..com", false},
        {"x@y.com.", false},
        {"x@y.c0m", false},
        {"x@y_z.com", false},
        {"x y@z.com", false},
        {"", false},
    };
    ASSERT_EQ(longest.size(), 254u);
    QELRegularExpression expression;
    ASSERT_EQ(expression.Compile(kAddressPattern), 0);
    for (const Case &c : cases) {
        uint32_t length = 0;
        const bool matched = expression.MatchAtStart(Text(c.address), &length);
        EXPECT_EQ(matched && length == c.address.size(), c.accepted) << '"' << c.address << '"';
    }
}

// A search remembers where repetitions end; it must find exactly what trying every
// index in turn without that memory finds, group slots included.
TEST(QELRegularExpression, SearchAgreesWithMatchingAtEveryIndex) {
    const char *const patterns[] = {
        "a*b", "([a-z]+[.])+[0-9]", "(ab|a)*c", "^[a-z]+$", "(a*)*b", "[a-c]{2,3}.",
        "x?(y+)z?", kAddressPattern, "(a?){3}b", ".*x$", "(.)(a+)(b{2,})", "[^.]+[.]{2}",
        "(a|b){3,}c", "(a?b?){4,}[.]", "([a-c]+[.]){2,}x", "(a[bc][bc]|[bc]){3,}x",
    };
    const char alphabet[] = "aabbc.0xyz@\n";
    uint32_t state = 12345;
    for (const char *pattern : patterns) {
        QELRegularExpression searched, walked;
        ASSERT_EQ(searched.Compile(pattern), 0);
        ASSERT_EQ(walked.Compile(pattern), 0);
        for (int round = 0; round < 300; ++round) {
            std::string s;
            state = state * 1664525u + 1013904223u;
            const uint32_t size = 1 + (state >> 24) % 120;
            for (uint32_t k = 0; k < size; ++k) {
                state = state * 1664525u + 1013904223u;
                s += alphabet[(state >> 24) % (sizeof alphabet - 1)];
            }
            const uint32_t from = (state >> 8) % 4;
            const QELString subject = Text(s);
            const bool found = searched.Search(subject, from);
            uint32_t index = from, length = 0;
            while (index < subject.length() && !walked.MatchAt(subject, index, &length))
                ++index;
            ASSERT_EQ(found, index < subject.length()) << pattern << " in " << s;
            for (uint32_t slot = 0; slot < QELRegularExpression::kSlotCount; ++slot) {
                uint32_t start1 = 0, length1 = 0, start2 = 0, length2 = 0;
                if (slot == 0) {
                    searched.GetMatch(&start1, &length1);
                    walked.GetMatch(&start2, &length2);
                } else {
                    searched.GetGroup(slot, &start1, &length1);
                    walked.GetGroup(slot, &start2, &length2);
                }
                ASSERT_EQ(start1, start2) << pattern << " in " << s << " slot " << slot;
                ASSERT_EQ(length1, length2) << pattern << " in " << s << " slot " << slot;
            }
        }
    }
}

}  // namespace
