// FileInputStreamTest.cpp: the buffered file byte source: refills, bulk reads, missing
// and empty files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/FileInputStream.h"
#include "TemporaryFolder.h"

namespace {

QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

std::string Pattern(size_t size) {
    std::string bytes(size, 0);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

TEST(FileInputStreamTest, YieldsAFileThroughOneReadPerRefill) {
    TemporaryFolder temp;
    std::string bytes = Pattern(5000);
    WriteWholeFile(temp / "five", bytes);
    QELFileInputStream stream(QELFileSystemItem(Q(temp / "five")), 2048);
    ASSERT_TRUE(stream.isOpen());
    std::string got;
    std::vector<uint32_t> refills;  // the file offset reached by each refill
    uint8_t byte;
    uint32_t seen = stream.total();
    while (stream.ReadByte(byte)) {
        got.push_back(static_cast<char>(byte));
        if (stream.total() != seen)
            refills.push_back(seen = stream.total());
    }
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(refills, (std::vector<uint32_t>{2048, 4096, 5000}));
    EXPECT_FALSE(stream.ReadByte(byte));
}

TEST(FileInputStreamTest, BulkReadsDeliverTheSameBytes) {
    TemporaryFolder temp;
    std::string bytes = Pattern(10000);
    WriteWholeFile(temp / "ten", bytes);
    QELFileInputStream stream(QELFileSystemItem(Q(temp / "ten")), 2048);
    std::string got;
    uint8_t chunk[3001];
    uint8_t byte;
    ASSERT_TRUE(stream.ReadByte(byte));
    got.push_back(static_cast<char>(byte));
    for (;;) {
        uint32_t n = stream.ReadBytes(chunk, sizeof chunk);
        got.append(reinterpret_cast<char *>(chunk), n);
        if (n < sizeof chunk)
            break;
        ASSERT_TRUE(stream.ReadByte(byte));  // single bytes between bulk reads
        got.push_back(static_cast<char>(byte));
    }
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(stream.ReadBytes(chunk, sizeof chunk), 0u);
}

TEST(FileInputStreamTest, EmptyMissingAndTinyBuffers) {
    TemporaryFolder temp;
    WriteWholeFile(temp / "empty", "");
    WriteWholeFile(temp / "abc", "abc");
    uint8_t byte;
    QELFileInputStream empty(QELFileSystemItem(Q(temp / "empty")), 2048);
    EXPECT_TRUE(empty.isOpen());
    EXPECT_FALSE(empty.ReadByte(byte));
    QELFileInputStream missing(QELFileSystemItem(Q(temp / "missing")), 2048);
    EXPECT_FALSE(missing.isOpen());
    EXPECT_FALSE(missing.ReadByte(byte));
    QELFileInputStream folder(QELFileSystemItem(Q(temp.path())), 2048);
    EXPECT_FALSE(folder.ReadByte(byte));
    for (uint32_t size : {0u, 1u, 2u}) {
        QELFileInputStream tiny(QELFileSystemItem(Q(temp / "abc")), size);
        std::string got;
        while (tiny.ReadByte(byte))
            got.push_back(static_cast<char>(byte));
        EXPECT_EQ(got, "abc") << size;
    }
}

TEST(FileInputStreamTest, AFileThatShrinksEndsTheStreamEarly) {
    TemporaryFolder temp;
    WriteWholeFile(temp / "shrinks", Pattern(3000));
    QELFileInputStream stream(QELFileSystemItem(Q(temp / "shrinks")), 1000);
    WriteWholeFile(temp / "shrinks", Pattern(1500));  // same file, truncated and rewritten
    uint32_t count = 0;
    uint8_t byte;
    while (stream.ReadByte(byte))
        ++count;
    EXPECT_EQ(count, 1500u);
}

}  // namespace
