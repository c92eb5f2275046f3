// FileStreamTest.cpp: opening, positioned reads and writes, text lines and sharing of
// QELFileStream on real files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/FileStream.h"
#include "TemporaryFolder.h"

namespace {

QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }
std::string S(const QELString &text) { return std::string(text.text(), text.length()); }

class FileStreamTest : public ::testing::Test {
protected:
    TemporaryFolder temp_;
    std::string Make(const std::string &name, const std::string &bytes) {
        WriteWholeFile(temp_ / name, bytes);
        return temp_ / name;
    }
    QELOwned<QELFileStream> Open(const std::string &path, FileOpenMode mode) {
        return OpenFileStream(QELFileSystemItem(Q(path)), mode);
    }
};

const FileOpenMode kModes[] = {FileOpenMode::ReadOnly, FileOpenMode::WriteOnly, FileOpenMode::ReadWrite,
                               FileOpenMode::AnyAccess};

TEST_F(FileStreamTest, OpeningWhatIsNoExistingFileGivesNone) {
    ASSERT_EQ(::mkdir((temp_ / "dir").c_str(), 0700), 0);
    for (FileOpenMode mode : kModes) {
        EXPECT_FALSE(Open(temp_ / "missing", mode)) << int(mode);
        EXPECT_FALSE(Open(temp_ / "dir", mode)) << int(mode);
        EXPECT_FALSE(Open("", mode)) << int(mode);
        EXPECT_FALSE(PathExists(temp_ / "missing"));  // a stream never creates a file
    }
    std::string file = Make("file", "abc");
    EXPECT_FALSE(Open(file, static_cast<FileOpenMode>(99)));
    for (FileOpenMode mode : kModes)
        EXPECT_TRUE(Open(file, mode)) << int(mode);
}

TEST_F(FileStreamTest, PositionedReadsAndWrites) {
    std::string path = Make("data", "0123456789");
    auto stream = Open(path, FileOpenMode::ReadWrite);
    ASSERT_NE(stream, nullptr);
    char buffer[16] = {};
    EXPECT_EQ(stream->ReadAt(3, 4, buffer), 4u);
    EXPECT_EQ(std::string(buffer, 4), "3456");
    EXPECT_EQ(stream->position(), 7u);
    EXPECT_EQ(stream->Read(10, buffer), 3u);  // only three are left
    EXPECT_EQ(std::string(buffer, 3), "789");
    EXPECT_EQ(stream->position(), 10u);

    EXPECT_EQ(stream->WriteAt(2, 3, "abc"), 3u);
    EXPECT_EQ(stream->position(), 5u);
    EXPECT_EQ(stream->Write(7, "DEFGHIJ"), 7u);  // grows the file
    EXPECT_EQ(stream->position(), 12u);
    EXPECT_EQ(stream->GetSize(), 12u);
    EXPECT_EQ(ReadWholeFile(path), "01abcDEFGHIJ");
}

TEST_F(FileStreamTest, ReadAtOrPastTheEndReadsNothingAndKeepsTheOffset) {
    auto stream = Open(Make("short", "abc"), FileOpenMode::ReadOnly);
    ASSERT_NE(stream, nullptr);
    char buffer[8];
    EXPECT_EQ(stream->ReadAt(3, 5, buffer), 0u);
    EXPECT_EQ(stream->position(), 3u);
    EXPECT_EQ(stream->ReadAt(100, 5, buffer), 0u);
    EXPECT_EQ(stream->position(), 100u);
}

TEST_F(FileStreamTest, AccessFollowsTheMode) {
    std::string path = Make("modes", "abc");
    char buffer[4];
    {
        auto reader = Open(path, FileOpenMode::ReadOnly);
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(reader->WriteAt(0, 1, "X"), 0u);
    }
    {
        auto writer = Open(path, FileOpenMode::WriteOnly);
        ASSERT_NE(writer, nullptr);
        EXPECT_EQ(writer->ReadAt(0, 3, buffer), 0u);
        EXPECT_EQ(writer->WriteAt(0, 1, "X"), 1u);
    }
    EXPECT_EQ(ReadWholeFile(path), "Xbc");
    ASSERT_EQ(::chmod(path.c_str(), 0400), 0);
    auto any = Open(path, FileOpenMode::AnyAccess);  // read access at least
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(any->ReadAt(0, 3, buffer), 3u);
}

TEST_F(FileStreamTest, ReadersShareAFileWritersDoNot) {
    std::string path = Make("shared", "abc");
    auto first = Open(path, FileOpenMode::ReadOnly);
    auto second = Open(path, FileOpenMode::ReadOnly);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_FALSE(Open(path, FileOpenMode::ReadWrite));
    EXPECT_FALSE(Open(path, FileOpenMode::WriteOnly));
    first.reset();
    second.reset();
    auto writer = Open(path, FileOpenMode::WriteOnly);
    ASSERT_NE(writer, nullptr);
    for (FileOpenMode mode : kModes)
        EXPECT_FALSE(Open(path, mode)) << int(mode);
    writer.reset();
    EXPECT_TRUE(Open(path, FileOpenMode::ReadOnly));
}

TEST_F(FileStreamTest, AClosedStreamAnswersZero) {
    QELFileStream stream{QELFileSpecification(Q(Make("closed", "abc")))};
    EXPECT_FALSE(stream.isOpen());
    char buffer[4];
    EXPECT_EQ(stream.GetSize(), 0u);
    EXPECT_EQ(stream.ReadAt(0, 3, buffer), 0u);
    EXPECT_EQ(stream.WriteAt(0, 3, "xyz"), 0u);
    EXPECT_FALSE(stream.AppendLine(QELString("x")));
    ASSERT_TRUE(stream.open(FileOpenMode::ReadOnly));
    EXPECT_EQ(stream.GetSize(), 3u);
    stream.close();
    EXPECT_EQ(stream.GetSize(), 0u);
}

std::vector<std::string> AllLines(QELFileStream &stream) {
    std::vector<std::string> lines;
    while (stream.position() < stream.GetSize())
        lines.push_back(S(stream.ReadLine()));
    return lines;
}

TEST_F(FileStreamTest, ReadLineKnowsEveryLineEnd) {
    auto stream = Open(Make("lines", "a\r\nb\rc\nd"), FileOpenMode::ReadOnly);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(S(stream->ReadLine()), "a");
    EXPECT_EQ(stream->position(), 3u);
    EXPECT_EQ(S(stream->ReadLine()), "b");
    EXPECT_EQ(S(stream->ReadLine()), "c");
    EXPECT_EQ(S(stream->ReadLine()), "d");
    EXPECT_EQ(stream->position(), 8u);
    EXPECT_EQ(S(stream->ReadLine()), "");
    EXPECT_EQ(stream->position(), stream->GetSize());

    struct Case {
        std::string bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"\r\n\r\nx", {"", "", "x"}},
        {"\n\r", {"", ""}},        // LF then a lone CR: two empty lines
        {"\r\r\n", {"", ""}},      // a lone CR, then CR LF
        {"x\r\n", {"x"}},
        {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    int n = 0;
    for (const Case &c : cases) {
        auto s = Open(Make("case" + std::to_string(n++), c.bytes), FileOpenMode::ReadOnly);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(AllLines(*s), c.lines) << n;
    }
}

TEST_F(FileStreamTest, ReadLineAcrossTheEndOfA1024ByteBlock) {
    std::string head(1023, 'x');
    struct Case {
        std::string bytes;
        std::vector<std::string> lines;
        uint32_t firstEnd;  // position after the first line
    } cases[] = {
        {head + "\r\nnext", {head, "next"}, 1025},  // CR ends the block, its LF comes next
        {head + "\rnext", {head, "next"}, 1024},    // a lone CR at the block's end
        {head + "\r", {head}, 1024},                // a CR that ends the file too
        {head + "\n\nz", {head, "", "z"}, 1024},
        {std::string(1024, 'y') + "\r\nq", {std::string(1024, 'y'), "q"}, 1026},  // line end in the next block
        {std::string(3000, 'z') + "\n", {std::string(3000, 'z')}, 3001},
    };
    int n = 0;
    for (const Case &c : cases) {
        auto s = Open(Make("block" + std::to_string(n++), c.bytes), FileOpenMode::ReadOnly);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(S(s->ReadLine()), c.lines[0]) << n;
        EXPECT_EQ(s->position(), c.firstEnd) << n;
        s->setPosition(0);
        EXPECT_EQ(AllLines(*s), c.lines) << n;
    }
}

TEST_F(FileStreamTest, AppendLineEndsEveryLineWithCRLF) {
    struct Case {
        std::string text, written;
    } cases[] = {
        {"x", "x\r\n"},          {"x\n", "x\r\n"},     {"x\r\n", "x\r\n"},   {"x\r", "x\r\n"},
        {"x\n\r", "x\r\n"},      {"", "\r\n"},         {"x\r\n\r\n", "x\r\n\r\n"},
        {"x\n\n\r\n", "x\n\n\r\n"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string path = Make("append" + std::to_string(n++), "head|");
        auto s = Open(path, FileOpenMode::ReadWrite);
        ASSERT_NE(s, nullptr);
        s->setPosition(1);  // appending ignores the position
        EXPECT_TRUE(s->AppendLine(Q(c.text)));
        EXPECT_EQ(ReadWholeFile(path), "head|" + c.written) << c.text;
    }
}

TEST_F(FileStreamTest, AppendedLinesReadBack) {
    std::string path = Make("spool", "");
    auto writer = Open(path, FileOpenMode::WriteOnly);
    ASSERT_NE(writer, nullptr);
    for (const char *line : {"Subject: hi", "", "body", "."})
        ASSERT_TRUE(writer->AppendLine(QELString(line)));
    writer.reset();
    auto reader = Open(path, FileOpenMode::ReadOnly);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(AllLines(*reader), (std::vector<std::string>{"Subject: hi", "", "body", "."}));
}

TEST_F(FileStreamTest, CreateFileStreamCreatesExclusivelyAndOpens) {
    QELFileSystemItem item(Q(temp_ / "spool/msg1"));
    QELOwned<QELFileStream> stream = CreateFileStream(item, false);
    ASSERT_TRUE(stream);
    EXPECT_EQ(S(item.path()), temp_ / "spool/msg1");
    EXPECT_FALSE(Open(temp_ / "spool/msg1", FileOpenMode::ReadOnly));  // kept to itself
    EXPECT_TRUE(stream->AppendLine(QELString("line")));
    char buffer[8];
    EXPECT_EQ(stream->ReadAt(0, 8, buffer), 6u);
    stream.reset();
    EXPECT_EQ(ReadWholeFile(temp_ / "spool/msg1"), "line\r\n");

    // A taken name is never opened, unless the next free name may be used.
    QELFileSystemItem again(Q(temp_ / "spool/msg1"));
    EXPECT_FALSE(CreateFileStream(again, false));
    EXPECT_EQ(S(again.path()), temp_ / "spool/msg1");
    stream = CreateFileStream(again, true);
    ASSERT_TRUE(stream);
    EXPECT_EQ(S(again.path()), temp_ / "spool/msg11");
    EXPECT_EQ(ReadWholeFile(temp_ / "spool/msg1"), "line\r\n");

    // A symbolic link is a taken name; its target is never created.
    ASSERT_EQ(::symlink((temp_ / "target").c_str(), (temp_ / "link").c_str()), 0);
    QELFileSystemItem link(Q(temp_ / "link"));
    EXPECT_FALSE(CreateFileStream(link, false));
    EXPECT_FALSE(PathExists(temp_ / "target"));
    stream = CreateFileStream(link, true);
    ASSERT_TRUE(stream);
    EXPECT_EQ(S(link.path()), temp_ / "link1");
    EXPECT_FALSE(PathExists(temp_ / "target"));
}

}  // namespace
