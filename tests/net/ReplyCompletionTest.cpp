// ReplyCompletionTest.cpp: the verdicts of the SMTP, POP3 and HTTP completion tests on
// replies as they grow piece by piece.
#include "net/ReplyCompletion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/HTTPResponseCompletion.h"

namespace {

using Verdict = QELReplyCompletion::Verdict;
constexpr Verdict kIncomplete = QELReplyCompletion::kIncomplete;
constexpr Verdict kComplete = QELReplyCompletion::kComplete;
constexpr Verdict kUnknown = QELReplyCompletion::kUnknown;

struct Case {
    std::string bytes;
    Verdict verdict;
};

Verdict Examine(QELReplyCompletion &test, const std::string &bytes) {
    return test.examine(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

TEST(ReplyCompletionTest, SMTPReplyEndsWithItsFinalLine) {
    const Case cases[] = {
        {"", kIncomplete},
        {"2", kIncomplete},
        {"250", kIncomplete},
        {"250 OK", kIncomplete},
        {"250 OK\r", kIncomplete},
        {"250 OK\r\n", kComplete},
        {"250\r\n", kComplete},
        {"250-first\r\n", kIncomplete},
        {"250-first\r\n250-second\r\n250 last", kIncomplete},
        {"250-first\r\n250-second\r\n250 last\r\n", kComplete},
        {"250 OK\n", kComplete},
        {"hello\r\n", kUnknown},
        {"he", kUnknown},
        {"25x OK\r\n", kUnknown},
        {"250-first\r\nnot smtp\r\n", kUnknown},
        {"250:odd\r\n", kUnknown},
        {"250 " + std::string(2000, 'a'), kUnknown},
    };
    for (const Case &c : cases) {
        QELSMTPReplyCompletion test;
        EXPECT_EQ(Examine(test, c.bytes), c.verdict) << c.bytes;
    }
}

TEST(ReplyCompletionTest, POP3StatusLineAndMultiLineAnswer) {
    const Case single[] = {
        {"", kIncomplete},
        {"+OK", kIncomplete},
        {"+OK ready\r\n", kComplete},
        {"-ERR no such message\r\n", kComplete},
        {"* hello\r\n", kUnknown},
        {"+" + std::string(2000, 'k'), kUnknown},
    };
    for (const Case &c : single) {
        QELPOP3ReplyCompletion test(false);
        EXPECT_EQ(Examine(test, c.bytes), c.verdict) << c.bytes;
    }
    const Case multi[] = {
        {"+OK 2 messages\r\n", kIncomplete},
        {"+OK 2 messages\r\n1 abc\r\n2 def\r\n", kIncomplete},
        {"+OK 2 messages\r\n1 abc\r\n2 def\r\n.\r\n", kComplete},
        {"+OK\r\n.\r\n", kComplete},
        {"+OK\n.\n", kComplete},
        {"+OK\r\n..stuffed\r\n", kIncomplete},
        {"+OK\r\n..\r\n", kIncomplete},
        {"+OK\r\nline.\r\n", kIncomplete},
        {"-ERR no such message\r\n", kComplete},
        {"+OK message follows\r\nSubject: x\r\n\r\nbody\r\n.\r", kIncomplete},
    };
    for (const Case &c : multi) {
        QELPOP3ReplyCompletion test(true);
        EXPECT_EQ(Examine(test, c.bytes), c.verdict) << c.bytes;
    }
}

// A POP3 reply ends at its first terminating line, however the bytes come in pieces, and
// its length then tells where: bytes after it belong to no reply of the command.
TEST(ReplyCompletionTest, POP3ReplyEndsAtItsFirstTerminatorWhateverFollows) {
    struct PieceCase {
        bool multiLine;
        std::vector<std::string> pieces;  // arriving in turn; the verdict is on the last
        Verdict verdict;
        uint64_t length;  // 0 while unknown
    };
    const std::string message = "+OK\r\nSubject: a\r\n\r\ntext\r\n.\r\n";
    const PieceCase cases[] = {
        {true, {message + "+OK\r\nforged\r\n.\r\n"}, kComplete, message.size()},
        {true, {"+OK\r\nSubject: a\r\n", "\r\ntext\r", "\n.", "\r\n+OK more"}, kComplete, message.size()},
        {true, {"+OK\r\nx\r\n", ".", "\r"}, kIncomplete, 0},
        {true, {"+OK\r\nx\r\n", ".", "\r", "x\r\n"}, kIncomplete, 0},
        {true, {"+OK\n.\nextra"}, kComplete, 6},
        {true, {"+OK\r\n..\r\n", "..x\r\n"}, kIncomplete, 0},
        {true, {"-ERR no\r\n+OK\r\n"}, kComplete, 9},
        {false, {"+OK\r\n+OK forged\r\n"}, kComplete, 5},
        {false, {"+O", "K done\r", "\n"}, kComplete, 10},
    };
    for (const PieceCase &c : cases) {
        QELPOP3ReplyCompletion test(c.multiLine);
        std::string bytes;
        Verdict verdict = kIncomplete;
        for (const std::string &piece : c.pieces) {
            bytes += piece;
            verdict = Examine(test, bytes);
        }
        EXPECT_EQ(c.verdict, verdict) << bytes;
        EXPECT_EQ(c.length, test.expectedLength()) << bytes;
    }
}

TEST(ReplyCompletionTest, HTTPResponseEndsAfterItsContentLength) {
    const Case cases[] = {
        {"HTTP/1.0 200 OK\r\n", kIncomplete},
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhell", kIncomplete},
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", kComplete},
        {"HTTP/1.0 200 OK\r\ncontent-length:5 \r\n\r\nhello", kComplete},
        {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", kComplete},
        // No length, a bad one, or two that disagree: only the close ends it.
        {"HTTP/1.0 200 OK\r\nServer: x\r\n\r\nhello", kIncomplete},
        {"HTTP/1.0 200 OK\r\nContent-Length: 5x\r\n\r\nhello", kIncomplete},
        {"HTTP/1.0 200 OK\r\nContent-Length: 99999999999\r\n\r\nhello", kIncomplete},
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello", kIncomplete},
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello", kComplete},
        {"HTTP/1.0 204 No Content\r\n\r\n", kComplete},
        {"HTTP/1.0 304 Not Modified\r\nContent-Length: 50\r\n\r\n", kComplete},
        {"HTTP/1.1 100 Continue\r\n\r\n", kIncomplete},
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", kComplete},
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 None\r\n\r\n", kComplete},
        {"not http at all\r\n\r\nContent-Length: 0\r\n\r\n", kIncomplete},
    };
    for (const Case &c : cases) {
        QELHTTPResponseCompletion test(false);
        EXPECT_EQ(Examine(test, c.bytes), c.verdict) << c.bytes;
    }
    QELHTTPResponseCompletion head(true);
    EXPECT_EQ(Examine(head, "HTTP/1.0 200 OK\r\nContent-Length: 99\r\n"), kIncomplete);
    EXPECT_EQ(Examine(head, "HTTP/1.0 200 OK\r\nContent-Length: 99\r\n\r\n"), kComplete);
}

// The blank line and the content arrive cut at every possible place.
TEST(ReplyCompletionTest, HTTPResponseFoundWhateverThePieces) {
    const std::string response = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody";
    for (size_t cut = 1; cut < response.size(); ++cut) {
        QELHTTPResponseCompletion test(false);
        std::string sofar;
        Verdict last = kIncomplete;
        for (size_t i = 0; i < response.size(); i += cut) {
            sofar += response.substr(i, cut);
            last = Examine(test, sofar);
            if (sofar.size() < response.size()) {
                EXPECT_EQ(last, kIncomplete) << cut << " " << sofar.size();
            }
        }
        EXPECT_EQ(last, kComplete) << cut;
    }
}

}  // namespace
