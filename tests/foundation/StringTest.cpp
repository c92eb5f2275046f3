// StringTest.cpp: tests of QELString: sharing and copy-on-write, threads, changes that
// read their own text, search, replacement, comparison, encoding and conversions.
#include "foundation/String.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string str(const QELString &s) { return std::string(s.text(), s.length()); }

// Every changed string keeps a NUL right after its last byte.
void expectTerminated(const QELString &s) { EXPECT_EQ(s.text()[s.length()], '\0'); }

// A plain search to check the skip-table search against.
bool naiveFind(const std::string &text, const std::string &pattern, uint32_t start, uint32_t range, bool backward,
               bool ignoreCase, uint32_t *position) {
    const size_t n = text.size(), m = pattern.size();
    auto matchesAt = [&](size_t at) {
        for (size_t i = 0; i < m; ++i) {
            unsigned char a = text[at + i], b = pattern[i];
            if (ignoreCase) {
                a = QELUpperCaseTable[a];
                b = QELUpperCaseTable[b];
            }
            if (a != b)
                return false;
        }
        return true;
    };
    if (m == 0 || n == 0)
        return false;
    if (!backward) {
        if (start >= n)
            return false;
        size_t r = std::min<size_t>(range, n - start);
        if (m > r)
            return false;
        for (size_t at = start; at + m <= start + r; ++at)
            if (matchesAt(at)) {
                *position = static_cast<uint32_t>(at);
                return true;
            }
        return false;
    }
    size_t s = std::min<size_t>(start, n - 1);
    size_t r = std::min<size_t>(range, s + 1);
    if (m > r)
        return false;
    for (size_t end = s + 1; end >= s + 1 - r + m; --end)
        if (matchesAt(end - m)) {
            *position = static_cast<uint32_t>(end - m);
            return true;
        }
    return false;
}

TEST(QELString, CopySharesAndChangeDetaches) {
    QELString original("shared text");
    QELString copy(original);
    EXPECT_TRUE(copy.sharesBufferWith(original));
    EXPECT_EQ(original.referenceCount(), 2);

    copy.append("!");
    EXPECT_FALSE(copy.sharesBufferWith(original));
    EXPECT_EQ(str(original), "shared text");
    EXPECT_EQ(str(copy), "shared text!");
    EXPECT_EQ(original.referenceCount(), 1);
    expectTerminated(original);
    expectTerminated(copy);

    // Every kind of change detaches, not only append.
    QELString a("abc");
    QELString b = a;
    b.setAt(0, 'X');
    QELString c = a;
    c.toUpper();
    QELString d = a;
    d.erase(0, 1);
    QELString e = a;
    e.reverse();
    QELString f = a;
    f.replaceAll("b", QELString("BB"));
    EXPECT_EQ(str(a), "abc");
    EXPECT_EQ(str(b), "Xbc");
    EXPECT_EQ(str(c), "ABC");
    EXPECT_EQ(str(d), "bc");
    EXPECT_EQ(str(e), "cba");
    EXPECT_EQ(str(f), "aBBc");
}

TEST(QELString, EmptyStringsShareOneBuffer) {
    QELString a, b;
    QELString c("text");
    c.clear();
    EXPECT_TRUE(a.sharesBufferWith(b));
    EXPECT_TRUE(a.sharesBufferWith(c));
    EXPECT_TRUE(a.isEmpty());
    EXPECT_EQ(a.capacity(), 32u);
    EXPECT_EQ(a.text()[0], '\0');
    a.append('x');
    EXPECT_EQ(str(a), "x");
    EXPECT_TRUE(b.isEmpty());
    EXPECT_EQ(b.text()[0], '\0');
}

TEST(QELString, ConstructionAndAssignment) {
    EXPECT_EQ(str(QELString('q')), "q");
    QELString withNul("a\0b", 3);
    EXPECT_EQ(withNul.length(), 3u);
    EXPECT_EQ(str(withNul), std::string("a\0b", 3));
    EXPECT_EQ(str(QELString("up to\0here")), "up to");
    EXPECT_TRUE(QELString(static_cast<const char *>(nullptr)).isEmpty());

    QELString s("first");
    QELString keep = s;
    s = "second";
    EXPECT_EQ(str(s), "second");
    EXPECT_EQ(str(keep), "first");
    s = 'z';
    EXPECT_EQ(str(s), "z");
    s.assign("x\0y", 3);
    EXPECT_EQ(str(s), std::string("x\0y", 3));
    s = keep;
    EXPECT_TRUE(s.sharesBufferWith(keep));
    s = s;
    EXPECT_EQ(str(s), "first");
    QELString moved(std::move(s));
    EXPECT_EQ(str(moved), "first");
    EXPECT_TRUE(s.isEmpty());
    expectTerminated(s);
}

TEST(QELString, NewBuffersGrowInStepsOf32) {
    struct Case {
        uint32_t length, capacity;
    } cases[] = {{1, 32}, {31, 32}, {32, 64}, {33, 64}, {63, 64}, {64, 96}, {100, 128}};
    for (const Case &c : cases) {
        std::string bytes(c.length, 'x');
        EXPECT_EQ(QELString(bytes.data(), c.length).capacity(), c.capacity) << c.length;
    }
}

TEST(QELString, UniqueBufferGrowsGeometricallyOnAppend) {
    QELString s;
    uint32_t growths = 0, capacity = 0;
    for (int i = 0; i < 100000; ++i) {
        s.append(static_cast<char>('a' + i % 26));
        if (s.capacity() != capacity) {
            if (capacity > 64) {
                EXPECT_GE(s.capacity(), 2 * capacity - 32);
            }
            capacity = s.capacity();
            ++growths;
        }
    }
    EXPECT_EQ(s.length(), 100000u);
    EXPECT_LT(growths, 20u);
    EXPECT_EQ(s.at(99999), static_cast<char>('a' + 99999 % 26));
    expectTerminated(s);
}

TEST(QELString, ThreadsChangingCopiesOfOneBuffer) {
    const QELString shared("a text that every thread copies and changes");
    const std::string expected = str(shared);
    std::atomic<int> failures{0};
    auto work = [&](char mark) {
        for (int i = 0; i < 100000; ++i) {
            // Copies come and go in a tight loop, so that counts change concurrently.
            QELString copy(shared);
            QELString second = copy;
            if (i % 16 == 0) {
                copy.append(mark);
                second = copy;
                QELString third;
                third = shared;
                third.setAt(0, mark);
                if (str(copy) != expected + mark || str(second) != expected + mark ||
                    third.at(0) != mark || str(third).compare(1, std::string::npos, expected, 1) != 0)
                    ++failures;
            }
        }
    };
    std::vector<std::thread> threads;
    for (char mark : {'1', '2', '3', '4'})
        threads.emplace_back(work, mark);
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(str(shared), expected);
    // No count was lost or added: this string holds the only reference again.
    EXPECT_EQ(shared.referenceCount(), 1);
}

TEST(QELString, ChangesThatReadTheirOwnText) {
    // 31 bytes fill a 32-byte buffer exactly, so each change below must grow it.
    const std::string base(31, 'b');
    {
        QELString a(base.c_str());
        a.append(a);
        EXPECT_EQ(str(a), base + base);
    }
    {
        QELString a("abc");
        a.insert(a, 1);
        EXPECT_EQ(str(a), "aabcbc");
    }
    {
        QELString a(base.c_str());
        a.setAt(0, 'X');
        a.insert(a.text(), a.length(), 31);
        EXPECT_EQ(str(a), "X" + base.substr(1) + "X" + base.substr(1));
    }
    {
        QELString a(base.c_str());
        a.setAt(1, 'Y');
        a.append(a.text() + 1);
        EXPECT_EQ(str(a), base.substr(0, 1) + "Y" + base.substr(2) + "Y" + base.substr(2));
    }
    {
        QELString a("0123456789");
        a.assign(a.text() + 2, 5);
        EXPECT_EQ(str(a), "23456");
        a = a.substring(1, 3);
        EXPECT_EQ(str(a), "345");
    }
    {
        QELString a("abcdef");
        a.replace(0, 1, a.text(), 6);
        EXPECT_EQ(str(a), "abcdefbcdef");
    }
    {
        // A copy shares the buffer: the bytes must survive the detaching change.
        QELString a(base.c_str());
        QELString b = a;
        a.append(b.text(), b.length());
        EXPECT_EQ(str(a), base + base);
        EXPECT_EQ(str(b), base);
    }
    {
        QELString a("xaxbx");
        EXPECT_EQ(a.replaceAll(a.substring(0, 1), a, 0), 3u);
        EXPECT_EQ(str(a), "xaxbxaxaxbxbxaxbx");
        QELString b("abab");
        EXPECT_EQ(b.replaceAll(b.text(), 2, QELString("-"), 0), 2u);
        EXPECT_EQ(str(b), "--");
    }
    {
        QELString a("abc");
        a.erase(1, 1, &a);
        EXPECT_EQ(str(a), "b");
    }
}

TEST(QELString, CompareOrdersSignedBytes) {
    using R = QELString::CompareResult;
    struct Case {
        std::string a, b;
        uint32_t flags;
        R expected;
    } cases[] = {
        {"abc", "abd", 0, QELString::kLess},
        {"abd", "abc", 0, QELString::kGreater},
        {"ab", "abc", 0, QELString::kLess},
        {"abc", "ab", 0, QELString::kGreater},
        {"", "", 0, QELString::kEqual},
        {"", "a", 0, QELString::kLess},
        {"ABC", "abc", 0, QELString::kLess},
        {"ABC", "abc", QELString::kIgnoreCase, QELString::kEqual},
        {"abc", "ABD", QELString::kIgnoreCase, QELString::kLess},
        {"\xE9", "a", 0, QELString::kLess},
        {"a", "\xE9", 0, QELString::kGreater},
        {"\xE9", "\xC9", QELString::kIgnoreCase, QELString::kGreater},
        {"\x80", std::string(1, '\0'), 0, QELString::kLess},
        {std::string("a\0b", 3), std::string("a\0c", 3), 0, QELString::kLess},
        {std::string("a\0", 2), "a", 0, QELString::kGreater},
    };
    for (const Case &c : cases) {
        QELString a(c.a.data(), static_cast<uint32_t>(c.a.size()));
        QELString b(c.b.data(), static_cast<uint32_t>(c.b.size()));
        EXPECT_EQ(a.compare(b, c.flags), c.expected) << c.a << " vs " << c.b;
    }
    // The codes spell their names in memory.
    uint32_t codes[3] = {QELString::kLess, QELString::kEqual, QELString::kGreater};
    EXPECT_EQ(std::memcmp(codes, "LessEqu Grtr", 12), 0);

    QELString x("same"), y = x;
    EXPECT_EQ(x.compare(y), QELString::kEqual);
    EXPECT_TRUE(x.equals(QELString("same")));
    EXPECT_TRUE(x.notEquals(QELString("Same")));
    EXPECT_TRUE(x.equalsIgnoringCase(QELString("SAME")));
}

TEST(QELString, FindTable) {
    const QELString text("abcabcABC");
    const uint32_t F = 0, I = QELString::kIgnoreCase, B = QELString::kBackward;
    struct Case {
        const char *pattern;
        uint32_t start, range, flags;
        bool found;
        uint32_t position;
    } cases[] = {
        {"abc", 0, QELString::kAll, F, true, 0},
        {"abc", 1, QELString::kAll, F, true, 3},
        {"abc", 4, QELString::kAll, F, false, 0},
        {"abc", 4, QELString::kAll, I, true, 6},
        {"ABC", 0, QELString::kAll, F, true, 6},
        {"cab", 0, QELString::kAll, F, true, 2},
        {"abc", 1, 5, F, true, 3},
        {"abc", 1, 4, F, false, 0},  // the match would end past the range
        {"", 0, QELString::kAll, F, false, 0},
        {"abcabcABCx", 0, QELString::kAll, F, false, 0},
        {"abc", 0, 0, F, false, 0},
        {"abc", 9, QELString::kAll, F, false, 0},
        {"abc", 100, QELString::kAll, F, false, 0},
        {"abc", QELString::kAll, QELString::kAll, B, true, 3},
        {"abc", QELString::kAll, QELString::kAll, B | I, true, 6},
        {"abc", 5, QELString::kAll, B, true, 3},
        {"abc", 4, QELString::kAll, B, true, 0},
        {"abc", 5, 3, B, true, 3},
        {"abc", 5, 2, B, false, 0},
        {"abc", 100, QELString::kAll, B, true, 3},
        {"", 5, QELString::kAll, B, false, 0},
        {"abc", 5, 0, B, false, 0},
        {"abcabcABCx", QELString::kAll, QELString::kAll, B, false, 0},
        {"c", 0, QELString::kAll, F, true, 2},
        {"c", QELString::kAll, QELString::kAll, B, true, 5},
        {"C", QELString::kAll, QELString::kAll, B, true, 8},
    };
    for (const Case &c : cases) {
        uint32_t position = 12345;
        EXPECT_EQ(text.find(c.pattern, &position, c.start, c.range, c.flags), c.found)
            << c.pattern << " " << c.start << " " << c.range << " " << c.flags;
        if (c.found) {
            EXPECT_EQ(position, c.position) << c.pattern << " " << c.start << " " << c.range << " " << c.flags;
        }
    }
    // Backward search in an empty string.
    uint32_t position = 0;
    EXPECT_FALSE(QELString().find("a", &position, QELString::kAll, QELString::kAll, B));
    EXPECT_FALSE(QELString().find("a", &position, 0, QELString::kAll, F));
    // A pattern with NUL bytes.
    QELString nul("x\0y\0z", 5);
    EXPECT_TRUE(nul.find("\0z", 2, &position, 0));
    EXPECT_EQ(position, 3u);
    EXPECT_TRUE(text.contains("CAB", I));
    EXPECT_FALSE(text.contains("CAB"));
}

TEST(QELString, FindPatternsLongerThan255Bytes) {
    // The pattern's only "Z" sits 256 bytes before its last byte (forwards) and 256
    // bytes after its first (backwards): a one-byte skip entry would become 0 there.
    std::string pattern(300, 'p');
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<char>('a' + (i * 7) % 20);
    std::string forwardPattern = pattern;
    forwardPattern[300 - 1 - 256] = 'Z';
    std::string backwardPattern = pattern;
    backwardPattern[256] = 'Z';

    // A window that matches all but its last (first) byte, which is that "Z".
    std::string decoy = forwardPattern.substr(0, 299) + "Z";
    std::string text = decoy + forwardPattern + "tail";
    QELString s(text.data(), static_cast<uint32_t>(text.size()));
    uint32_t position = 0;
    ASSERT_TRUE(s.find(forwardPattern.c_str(), &position));
    EXPECT_EQ(position, 300u);
    s.toLower();
    std::string upperPattern = forwardPattern;
    for (char &c : upperPattern)
        c = static_cast<char>(QELUpperCaseTable[static_cast<uint8_t>(c)]);
    ASSERT_TRUE(s.find(upperPattern.c_str(), &position, 0, QELString::kAll, QELString::kIgnoreCase));
    EXPECT_EQ(position, 300u);

    std::string backDecoy = "Z" + backwardPattern.substr(1);
    std::string backText = "head" + backwardPattern + backDecoy;
    QELString b(backText.data(), static_cast<uint32_t>(backText.size()));
    ASSERT_TRUE(b.find(backwardPattern.c_str(), &position, QELString::kAll, QELString::kAll, QELString::kBackward));
    EXPECT_EQ(position, 4u);
    std::string lowered = backwardPattern;
    lowered[256] = 'z';
    ASSERT_TRUE(b.find(lowered.c_str(), &position, QELString::kAll, QELString::kAll,
                       QELString::kBackward | QELString::kIgnoreCase));
    EXPECT_EQ(position, 4u);
    // Both directions agree on a text holding the pattern once.
    ASSERT_TRUE(b.find(backwardPattern.c_str(), &position));
    EXPECT_EQ(position, 4u);
}

TEST(QELString, FindAgreesWithPlainSearch) {
    std::mt19937 random(12345);
    const char alphabet[] = "abAB\xE9";
    for (int round = 0; round < 3000; ++round) {
        std::string text(random() % 400, ' ');
        for (char &c : text)
            c = alphabet[random() % 5];
        std::string pattern;
        if (!text.empty() && random() % 2) {
            size_t at = random() % text.size();
            pattern = text.substr(at, 1 + random() % 320);
        } else {
            pattern.resize(random() % 4);
            for (char &c : pattern)
                c = alphabet[random() % 5];
        }
        uint32_t start = random() % 3 == 0 ? QELString::kAll : static_cast<uint32_t>(random() % (text.size() + 2));
        uint32_t range = random() % 3 == 0 ? QELString::kAll : static_cast<uint32_t>(random() % (text.size() + 2));
        uint32_t flags = random() % 4;
        QELString s(text.data(), static_cast<uint32_t>(text.size()));
        uint32_t expected = 0, actual = 0;
        bool want = naiveFind(text, pattern, start, range, flags & 2, flags & 1, &expected);
        bool got = s.find(pattern.data(), static_cast<uint32_t>(pattern.size()), &actual, start, range, flags);
        ASSERT_EQ(got, want) << "round " << round;
        if (want) {
            ASSERT_EQ(actual, expected) << "round " << round;
        }
    }
}

TEST(QELString, StartsAndEndsWith) {
    QELString s("Content-Type");
    EXPECT_TRUE(s.startsWith("Content"));
    EXPECT_FALSE(s.startsWith("content"));
    EXPECT_TRUE(s.startsWith("content", QELString::kIgnoreCase));
    EXPECT_TRUE(s.endsWith("-Type"));
    EXPECT_TRUE(s.endsWith(QELString("TYPE"), QELString::kIgnoreCase));
    EXPECT_FALSE(s.startsWith(""));
    EXPECT_FALSE(s.endsWith(""));
    EXPECT_FALSE(s.startsWith("Content-Type-X"));
    EXPECT_TRUE(s.startsWith(s));
}

TEST(QELString, ReplaceAllTable) {
    const uint32_t I = QELString::kIgnoreCase, B = QELString::kBackward, R = QELString::kRescan;
    struct Case {
        const char *text, *pattern, *replacement;
        uint32_t flags;
        const char *expected;
        uint32_t count;
    } cases[] = {
        {"aaa", "a", "aa", 0, "aaaaaa", 3},
        {"aaa", "a", "aa", B, "aaaaaa", 3},
        // A replacement that holds the pattern is not searched again, even with rescan.
        {"aaa", "a", "aa", R, "aaaaaa", 3},
        {"aaa", "a", "aa", R | B, "aaaaaa", 3},
        {"aAa", "a", "Aa", R | I, "AaAaAa", 3},
        {"one two one", "one", "1", 0, "1 two 1", 2},
        {"One two ONE", "one", "1", I, "1 two 1", 2},
        {"One two ONE", "one", "1", 0, "One two ONE", 0},
        {"abcabc", "abc", "", 0, "", 2},
        {"abcabc", "abc", "", B, "", 2},
        {"xyz", "q", "r", 0, "xyz", 0},
        {"aaaa", "aa", "b", 0, "bb", 2},
        {"aaa", "aa", "b", 0, "ba", 1},
        {"aaa", "aa", "b", B, "ab", 1},
        // Backwards, the next search ends before the match: "ab" -> "a" in "abb" once.
        {"abb", "ab", "a", B, "ab", 1},
        {"abb", "ab", "a", 0, "ab", 1},
        // Rescan forwards searches the replacement and what follows it.
        {"abbb", "ab", "a", R, "a", 3},
        // Rescan backwards searches what precedes the replacement, up to its last byte.
        {"aab", "ab", "b", R | B, "b", 2},
        {"aab", "ab", "b", B, "ab", 1},
        {"aab", "ab", "b", R, "ab", 1},
        {"x.y.z", ".", "::", 0, "x::y::z", 2},
        {"x.y.z", ".", "::", B, "x::y::z", 2},
    };
    for (const Case &c : cases) {
        QELString s(c.text);
        EXPECT_EQ(s.replaceAll(c.pattern, QELString(c.replacement), c.flags), c.count)
            << c.text << " " << c.pattern << " " << c.flags;
        EXPECT_EQ(str(s), c.expected) << c.text << " " << c.pattern << " " << c.flags;
        expectTerminated(s);
    }
    QELString empty;
    EXPECT_EQ(empty.replaceAll("a", QELString("b")), 0u);
    QELString s("abc");
    EXPECT_EQ(s.replaceAll("", QELString("x")), 0u);
    EXPECT_EQ(s.replaceAll(QELString("B"), QELString("\r\n"), I), 1u);
    EXPECT_EQ(str(s), "a\r\nc");
}

TEST(QELString, InsertEraseReplaceClamp) {
    QELString s("hello");
    s.insert(" world", 100);
    EXPECT_EQ(str(s), "hello world");
    s.insert("[", 0);
    s.insert(QELString("]"), 6);
    EXPECT_EQ(str(s), "[hello] world");

    QELString removed("old");
    s.erase(100, 2, &removed);
    EXPECT_TRUE(removed.isEmpty());
    EXPECT_EQ(str(s), "[hello] world");
    s.erase(7, 100, &removed);
    EXPECT_EQ(str(removed), " world");
    EXPECT_EQ(str(s), "[hello]");
    s.erase(0, 1);
    EXPECT_EQ(str(s), "hello]");
    expectTerminated(s);

    QELString r("0123456789");
    EXPECT_EQ(r.replace(10, 1, "x", 1), 0);
    EXPECT_EQ(str(r), "0123456789");
    EXPECT_EQ(r.replace(2, 3, "ab", 2), -1);
    EXPECT_EQ(str(r), "01ab56789");
    EXPECT_EQ(r.replace(7, 100, "XYZ", 3), 1);
    EXPECT_EQ(str(r), "01ab567XYZ");
    EXPECT_EQ(r.replace(0, 0, "<<", 2), 2);
    EXPECT_EQ(str(r), "<<01ab567XYZ");
    expectTerminated(r);
}

TEST(QELString, TrimsDropsAndStrip) {
    QELString s(" \t text \r\n");
    EXPECT_EQ(s.trim(" \t\r\n"), 6u);
    EXPECT_EQ(str(s), "text");
    QELString t("xxabcxx");
    EXPECT_EQ(t.trimLeading("x"), 2u);
    EXPECT_EQ(t.trimTrailing("xc"), 3u);
    EXPECT_EQ(str(t), "ab");
    EXPECT_EQ(t.trimLeading(""), 0u);
    QELString all("aaaa");
    EXPECT_EQ(all.trim("a"), 4u);
    EXPECT_TRUE(all.isEmpty());

    QELString d("abcdef");
    EXPECT_EQ(d.dropFirst(2), 2u);
    EXPECT_EQ(d.dropLast(1), 1u);
    EXPECT_EQ(str(d), "cde");
    EXPECT_EQ(d.dropLast(10), 3u);
    EXPECT_TRUE(d.isEmpty());
    EXPECT_EQ(d.dropFirst(1), 0u);

    QELString p("path////");
    EXPECT_EQ(p.stripTrailing('/', 3), 3u);
    EXPECT_EQ(str(p), "path/");
    EXPECT_EQ(p.stripTrailing('/', 10), 1u);
    EXPECT_EQ(p.stripTrailing('/', 10), 0u);
    expectTerminated(p);
}

TEST(QELString, CaseMapsAndReverse) {
    QELString s("Mixed \xE9 Case");
    QELString u = s;
    u.toUpper();
    EXPECT_EQ(str(u), "MIXED \xE9 CASE");
    QELString l = s;
    l.toLower();
    EXPECT_EQ(str(l), "mixed \xE9 case");
    QELString part = s;
    part.toUpper(1, 2);
    EXPECT_EQ(str(part), "MIXed \xE9 Case");
    part.toLower(100);
    part.toLower(0, 0);
    EXPECT_EQ(str(part), "MIXed \xE9 Case");
    for (int c = 0; c < 256; ++c) {
        bool isLower = c >= 'a' && c <= 'z', isUpper = c >= 'A' && c <= 'Z';
        EXPECT_EQ(QELUpperCaseTable[c], isLower ? c - 32 : c);
        EXPECT_EQ(QELLowerCaseTable[c], isUpper ? c + 32 : c);
    }
    QELString r("abc");
    r.reverse();
    EXPECT_EQ(str(r), "cba");
    QELString one("x");
    one.reverse();
    EXPECT_EQ(str(one), "x");
}

TEST(QELString, SubstringAndConcatenation) {
    QELString s("0123456789");
    EXPECT_EQ(str(s.substring(2, 3)), "234");
    EXPECT_EQ(str(s.substring(8, 100)), "89");
    EXPECT_EQ(str(s.substring(8)), "89");
    EXPECT_TRUE(s.substring(10, 1).isEmpty());
    EXPECT_TRUE(s.substring(100).isEmpty());
    EXPECT_EQ(str(s.substring(0)), "0123456789");
    EXPECT_EQ(str(s + QELString("ab")), "0123456789ab");
    EXPECT_EQ(str(s + "cd"), "0123456789cd");
    EXPECT_EQ(str(s), "0123456789");
}

TEST(QELString, AccessCopiesAndBytes) {
    QELString s("abcdef");
    char small[4];
    EXPECT_EQ(s.copyTo(small, sizeof small), 3u);
    EXPECT_STREQ(small, "abc");
    char big[16];
    EXPECT_EQ(s.copyTo(big, sizeof big), 6u);
    EXPECT_STREQ(big, "abcdef");
    EXPECT_EQ(s.copyTo(nullptr, 10), 0u);
    char one[1] = {'x'};
    EXPECT_EQ(s.copyTo(one, 1), 0u);
    EXPECT_EQ(one[0], '\0');

    QELByteBuffer bytes = s.bytes();
    EXPECT_EQ(bytes.size(), 6u);
    EXPECT_EQ(std::memcmp(bytes.data(), "abcdef", 6), 0);
    EXPECT_EQ(s.at(6), '\0');
    EXPECT_EQ(s[1], 'b');
    s.setAt(100, 'x');
    EXPECT_EQ(str(s), "abcdef");
}

TEST(QELString, URLEncoding) {
    QELString s("a b/c");
    EXPECT_EQ(str(s.urlEncoded(false)), "a%20b/c");
    EXPECT_EQ(str(s.urlEncoded(true)), "a%20b%2Fc");
    EXPECT_EQ(str(s), "a b/c");
    QELString plain("nothing-to_do.here!");
    EXPECT_FALSE(plain.urlEncode(true));
    EXPECT_EQ(str(plain), "nothing-to_do.here!");
    QELString t("x&y=1+2");
    EXPECT_TRUE(URLEncodeInPlace(t, false));
    EXPECT_EQ(str(t), "x%26y%3D1%2B2");

    const std::string always = " \"#$%&+;<=>?@[\\]^`{|}";
    const std::string pathOnly = "/:~";
    for (int c = 0; c < 256; ++c) {
        char byte = static_cast<char>(c);
        bool inAlways = always.find(byte) != std::string::npos;
        bool inPath = pathOnly.find(byte) != std::string::npos;
        for (bool flag : {false, true}) {
            QELString one(&byte, 1);
            bool encoded = one.urlEncode(flag);
            bool expected = inAlways || (flag && inPath);
            EXPECT_EQ(encoded, expected) << c << " " << flag;
            if (expected) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", c);
                EXPECT_EQ(str(one), hex);
            } else {
                EXPECT_EQ(str(one), std::string(1, byte));
            }
        }
    }
}

TEST(QELString, IsTrueTextTable) {
    struct Case {
        const char *text;
        bool expected;
    } cases[] = {{"true", true}, {"TRUE", true}, {"t", true},  {"T", true},      {"yes", true},
                 {"YES", true},  {"y", true},    {"On", true}, {"oN", true},     {"1", true},
                 {"no", false},  {"", false},    {"2", false}, {"yes ", false},  {"truex", false},
                 {"0", false},   {"off", false}, {"f", false}, {" true", false}, {"ye", false}};
    for (const Case &c : cases)
        EXPECT_EQ(IsTrueText(QELString(c.text)), c.expected) << c.text;
}

TEST(QELString, ToDouble) {
    struct Case {
        const char *text;
        double expected;
    } cases[] = {{"3.5", 3.5},      {"  -2.25xyz", -2.25}, {"+7", 7},     {"\t\n1e3", 1000},
                 {".5", 0.5},       {"1.5E-2", 0.015},     {"abc", 0},    {"", 0},
                 {"-", 0},          {"+-3", 0},            {"--3", 0},    {"12abc", 12},
                 {"1e999", HUGE_VAL}, {"-1e999", -HUGE_VAL}, {"1e-999", 0}, {"0.0000e500", 0}};
    for (const Case &c : cases)
        EXPECT_EQ(QELString(c.text).toDouble(), c.expected) << c.text;
}

TEST(QELString, BeginAndEndWrite) {
    QELString s("before");
    QELString copy = s;
    char *p = s.beginWrite(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(s.beginWrite(4), nullptr);
    std::memcpy(p, "hi\0junk", 7);
    EXPECT_TRUE(s.endWrite(-1));
    EXPECT_EQ(s.length(), 2u);
    EXPECT_EQ(str(s), "hi");
    EXPECT_EQ(str(copy), "before");
    EXPECT_FALSE(s.endWrite(1));

    p = s.beginWrite(5);
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcde", 5);
    EXPECT_TRUE(s.endWrite(3));
    EXPECT_EQ(str(s), "abc");
    expectTerminated(s);
    EXPECT_NE(s.beginWrite(1), nullptr);
    EXPECT_TRUE(s.endWrite(0));
    EXPECT_TRUE(s.isEmpty());
    expectTerminated(s);

    QELString fresh;
    p = fresh.beginWrite(0);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(fresh.sharesBufferWith(QELString()));
    EXPECT_TRUE(fresh.endWrite(-1));
}

// While a writer holds the buffer, no copy shares it and no change moves or alters it.
TEST(QELString, WriteAccessKeepsTheBufferToTheWriter) {
    struct Change {
        const char *name;
        void (*apply)(QELString &locked);
    };
    static const QELString other("other");
    const Change changes[] = {
        {"append byte", [](QELString &s) { s.append('!'); }},
        {"append text", [](QELString &s) { s.append(std::string(200, 'x').c_str()); }},
        {"append string", [](QELString &s) { s.append(other); }},
        {"assign string", [](QELString &s) { s = other; }},
        {"move-assign", [](QELString &s) { s = QELString("moved"); }},
        {"assign text", [](QELString &s) { s = "text"; }},
        {"clear", [](QELString &s) { s.clear(); }},
        {"insert", [](QELString &s) { s.insert("in", 1); }},
        {"erase", [](QELString &s) { s.erase(0, 2); }},
        {"replace", [](QELString &s) { s.replace(0, 1, "zz", 2); }},
        {"replace all", [](QELString &s) { s.replaceAll("w", QELString("W")); }},
        {"trim", [](QELString &s) { s.trim("wd"); }},
        {"drop last", [](QELString &s) { s.dropLast(2); }},
        {"set byte", [](QELString &s) { s.setAt(0, 'X'); }},
        {"upper", [](QELString &s) { s.toUpper(); }},
        {"reverse", [](QELString &s) { s.reverse(); }},
        {"url-encode", [](QELString &s) { s.urlEncode(true); }},
        {"reserve", [](QELString &s) { s.reserve(4096); }},
    };
    for (const Change &change : changes) {
        QELString s("seed");
        char *p = s.beginWrite(6);
        ASSERT_NE(p, nullptr);
        std::memcpy(p, "wor", 3);
        QELString copy(s);
        QELString assigned;
        assigned = s;
        QELString moved(std::move(s));
        change.apply(s);
        EXPECT_EQ(s.text(), p) << change.name;
        EXPECT_EQ(s.length(), 6u) << change.name;
        std::memcpy(p + 3, "ld", 3);
        ASSERT_TRUE(s.endWrite(-1)) << change.name;
        EXPECT_EQ(str(s), "world") << change.name;
        // The copies hold the bytes of the moment they were taken, in buffers of their own.
        for (const QELString *taken : {&copy, &assigned, &moved}) {
            EXPECT_FALSE(taken->sharesBufferWith(s)) << change.name;
            EXPECT_EQ(taken->length(), 6u) << change.name;
            EXPECT_EQ(std::string(taken->text(), 3), "wor") << change.name;
            expectTerminated(*taken);
        }
        // After the write the string changes and shares again as usual.
        change.apply(s);
        QELString later(s);
        EXPECT_TRUE(later.sharesBufferWith(s)) << change.name;
    }
}

TEST(QELString, AllocationFailureThrows) {
    static int calls;
    calls = 0;
    InstallHostMemoryFunctions([](uint32_t) -> void * { ++calls; return nullptr; }, nullptr);
    EXPECT_THROW(QELString("x"), QELObject::MemoryAllocationFailure);
    InstallHostMemoryFunctions(nullptr, nullptr);
    QELString s("abc");
    InstallHostMemoryFunctions([](uint32_t) -> void * { ++calls; return nullptr; }, nullptr);
    EXPECT_THROW(s.append(std::string(100, 'x').c_str()), QELObject::MemoryAllocationFailure);
    QELString t = s;
    EXPECT_THROW(t.setAt(0, 'x'), QELObject::MemoryAllocationFailure);
    InstallHostMemoryFunctions(nullptr, nullptr);
    EXPECT_EQ(str(s), "abc");
    EXPECT_EQ(str(t), "abc");
    EXPECT_GE(calls, 3);
}

}  // namespace
