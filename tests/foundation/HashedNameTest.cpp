// HashedNameTest.cpp: tests of QELHashedName: the key is the CRC-32 of the text, of its
// lower-case form when the name ignores case, and names compare by key alone.
#include "foundation/HashedName.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/CRC32.h"

namespace {

uint32_t crcOf(const std::string &text) {
    QELCRC32 crc;
    return crc.update(text.data(), static_cast<uint32_t>(text.size()));
}

TEST(QELHashedName, DefaultNameIsEmptyWithHashOfNoBytes) {
    QELHashedName name;
    EXPECT_TRUE(name.text().isEmpty());
    EXPECT_EQ(name.hash(), 0xFFFFFFFFu);
    EXPECT_TRUE(name.equals(QELHashedName("", QELHashedName::kCaseInsensitive)));
}

TEST(QELHashedName, HashIsCRCOfTextLowerCasedWhenIgnoringCase) {
    struct Case {
        const char *text;
        uint32_t flags;
        std::string hashed;
    } cases[] = {
        {"Subject", QELHashedName::kCaseInsensitive, "subject"},
        {"SUBJECT", QELHashedName::kCaseInsensitive, "subject"},
        {"Subject", QELHashedName::kCaseSensitive, "Subject"},
        {"Caf\xC9", QELHashedName::kCaseInsensitive, "caf\xC9"},
        {"qelSendMail", QELHashedName::kCaseInsensitive, "qelsendmail"},
    };
    for (const Case &c : cases) {
        QELHashedName name(c.text, c.flags);
        EXPECT_EQ(name.hash(), crcOf(c.hashed)) << c.text;
        EXPECT_STREQ(name.text().text(), c.text);
        EXPECT_EQ(QELHashedName(QELString(c.text), c.flags).hash(), name.hash());
    }
}

TEST(QELHashedName, EqualityFollowsTheHash) {
    QELHashedName a("Content-Type", QELHashedName::kCaseInsensitive);
    QELHashedName b("CONTENT-TYPE", QELHashedName::kCaseInsensitive);
    QELHashedName c("CONTENT-TYPE", QELHashedName::kCaseSensitive);
    QELHashedName d("Content-Length", QELHashedName::kCaseInsensitive);
    EXPECT_TRUE(a.equals(b));
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a != c);
    EXPECT_FALSE(a.equals(d));
    // Bytes above 0x7F keep their case.
    EXPECT_FALSE(QELHashedName("\xE9", QELHashedName::kCaseInsensitive)
                     .equals(QELHashedName("\xC9", QELHashedName::kCaseInsensitive)));

    QELHashedName copy(a);
    EXPECT_EQ(copy.hash(), a.hash());
    EXPECT_STREQ(copy.text().text(), "Content-Type");
    copy = d;
    EXPECT_EQ(copy.hash(), d.hash());
    EXPECT_STREQ(copy.text().text(), "Content-Length");
}

}  // namespace
