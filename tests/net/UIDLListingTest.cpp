// UIDLListingTest.cpp: the entries read from UIDL replies, well formed or not, and whether
// each reply ended with its terminating line.
#include "net/UIDLListing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ListingCase {
    std::string reply;
    std::string entries;  // "number=identifier;" for each entry read
    bool terminated;
};

TEST(UIDLListingTest, OnlyWellFormedEntriesBeforeTheTerminatorAreRead) {
    const std::string longest(70, 'z');
    const ListingCase cases[] = {
        {"+OK\r\n1 a1\r\n2 b2\r\n.\r\n", "1=a1;2=b2;", true},
        {"+OK 2 messages\n1 a\n007 !~\n.\n", "1=a;007=!~;", true},
        {"+OK\r\n1 " + longest + "\r\n2 " + longest + "z\r\n3 \r\n4\r\n.\r\n", "1=" + longest + ";", true},
        // Numbers must be digits only, followed by exactly one space.
        {"+OK\r\nx1 a\r\n1a b\r\n 1 c\r\n-1 d\r\n1  e\r\n5\tf\r\n6 g\r\n.\r\n", "6=g;", true},
        // Identifiers are printable ASCII without blanks.
        {"+OK\r\n1 a b\r\n2 a\tb\r\n3 \x7F\r\n4 \xC3\xA9\r\n5 a\r\r\n6 ok\r\n.\r\n", "6=ok;", true},
        // Cut short: a last line without its LF is not read.
        {"+OK\r\n1 a\r\n2 bc", "1=a;", false},
        {"+OK\r\n1 a\r\n.", "1=a;", false},
        // Nothing after the terminator belongs to the listing.
        {"+OK\r\n1 a\r\n.\r\n2 b\r\n", "1=a;", false},
        {"-ERR not now\r\n", "", false},
        // The first line is the status line, whatever it holds.
        {"1 a\r\n.\r\n", "", true},
        {"", "", false},
    };
    QELUIDLListing listing;  // one listing for all: each reply replaces the last
    for (const ListingCase &c : cases) {
        EXPECT_EQ(listing.Parse(QELString(c.reply.data(), static_cast<uint32_t>(c.reply.size()))), c.terminated)
            << c.reply;
        EXPECT_EQ(listing.terminated(), c.terminated) << c.reply;
        std::string entries;
        for (uint32_t i = 0; i < listing.count(); ++i)
            entries += std::string(listing.number(i).text()) + "=" + listing.identifier(i).text() + ";";
        EXPECT_EQ(entries, c.entries) << c.reply;
        EXPECT_TRUE(listing.identifier(listing.count()).isEmpty());
    }
}

}  // namespace
