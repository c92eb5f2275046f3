// NameValueListTest.cpp: the name and value list: order, duplicates, look-up without
// regard to case, and indexes past the end.
#include "mail/NameValueList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Std(const QELString &text) { return std::string(text.text(), text.length()); }

TEST(QELNameValueList, KeepsPairsInOrderWithDuplicatesAndFindsNamesIgnoringCase) {
    QELNameValueList list;
    list.Add(QELString("file"), QELString("r.txt"));
    list.Add(QELString("Comment"), QELString("first"));
    list.Add(QELString("file_Original"), QELString("C-r.txt"));
    list.Add(QELString("COMMENT"), QELString("second"));
    list.Add(QELString(""), QELString("nameless"));
    ASSERT_EQ(5u, list.count());
    EXPECT_EQ("COMMENT", Std(list.name(3).text()));
    EXPECT_TRUE(list.name(1) == list.name(3));
    EXPECT_EQ("nameless", Std(list.value(4)));

    struct Case {
        const char *name;
        uint32_t occurrence;
        bool found;
        const char *value;
    } cases[] = {
        {"comment", 0, true, "first"},
        {"comment", 1, true, "second"},
        {"comment", 2, false, "untouched"},
        {"FILE", 0, true, "r.txt"},
        {"file_original", 0, true, "C-r.txt"},
        {"fil", 0, false, "untouched"},
        {"", 0, true, "nameless"},
    };
    for (const Case &c : cases) {
        QELString value("untouched");
        EXPECT_EQ(c.found, list.Find(QELString(c.name), &value, c.occurrence)) << c.name << " " << c.occurrence;
        EXPECT_EQ(c.value, Std(value)) << c.name << " " << c.occurrence;
    }

    EXPECT_EQ("", Std(list.name(5).text()));
    EXPECT_EQ("", Std(list.value(5)));
    list.Clear();
    EXPECT_EQ(0u, list.count());
    QELString value("untouched");
    EXPECT_FALSE(list.Find(QELString("file"), &value));
}

}  // namespace
