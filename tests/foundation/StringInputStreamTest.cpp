// StringInputStreamTest.cpp: the string byte source and its stop at a zero byte.
#include <gtest/gtest.h>

#include <string>

#include "foundation/StringInputStream.h"

namespace {

TEST(StringInputStreamTest, YieldsEveryByteThenEnds) {
    QELStringInputStream stream(QELString("ab"));
    uint8_t byte = 0;
    ASSERT_TRUE(stream.ReadByte(byte));
    EXPECT_EQ(byte, 'a');
    ASSERT_TRUE(stream.ReadByte(byte));
    EXPECT_EQ(byte, 'b');
    EXPECT_FALSE(stream.ReadByte(byte));
    EXPECT_FALSE(stream.ReadByte(byte));
    QELStringInputStream empty{QELString()};
    EXPECT_FALSE(empty.ReadByte(byte));
}

TEST(StringInputStreamTest, AZeroByteEndsTheStreamAndStays) {
    QELStringInputStream stream(QELString("a\0b", 3));
    uint8_t byte = 0;
    ASSERT_TRUE(stream.ReadByte(byte));
    EXPECT_EQ(byte, 'a');
    byte = 0x55;
    EXPECT_FALSE(stream.ReadByte(byte));
    EXPECT_EQ(byte, 0);  // the zero is delivered, but ends the stream
    EXPECT_FALSE(stream.ReadByte(byte));

    QELStringInputStream bulk(QELString("xyz\0tail", 8));
    uint8_t buffer[16];
    EXPECT_EQ(bulk.ReadBytes(buffer, sizeof buffer), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 3), "xyz");
    EXPECT_EQ(bulk.ReadBytes(buffer, sizeof buffer), 0u);
    EXPECT_FALSE(bulk.ReadByte(byte));
}

TEST(StringInputStreamTest, BulkAndSingleReadsInterleave) {
    QELString text("0123456789");
    QELStringInputStream stream(text);
    uint8_t buffer[4];
    uint8_t byte;
    EXPECT_EQ(stream.ReadBytes(buffer, 4), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 4), "0123");
    ASSERT_TRUE(stream.ReadByte(byte));
    EXPECT_EQ(byte, '4');
    EXPECT_EQ(stream.ReadBytes(buffer, 4), 4u);
    EXPECT_EQ(stream.ReadBytes(buffer, 4), 1u);
    EXPECT_EQ(buffer[0], '9');
    // The stream holds its own copy: changing the source afterwards changes nothing.
    QELString source("abc");
    QELStringInputStream copy(source);
    source.setAt(0, 'Z');
    ASSERT_TRUE(copy.ReadByte(byte));
    EXPECT_EQ(byte, 'a');
}

}  // namespace
