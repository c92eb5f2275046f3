// ReplyCompletionFuzz.cpp: fuzzes the reply-code reader and the SMTP, POP3 and HTTP
// completion tests. The bytes arrive in pieces the fuzzer chooses; after each piece the
// test sees all bytes so far, as a connection shows them, and what it says about them
// must be what a fresh test says about the same bytes seen at once.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "net/HTTPResponseCompletion.h"
#include "net/ReplyCompletion.h"
#include "net/TCPConnection.h"

namespace {

// The reply code read plainly, over the first 15 bytes: after blanks, the digits there,
// or the digits after the first word; digits stop before the code would pass INT32_MAX.
int32_t ReferenceReplyCode(const std::string &text, uint32_t *consumed) {
    const size_t window = text.size() < 15 ? text.size() : 15;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t at = 0;
    while (at < window && blank(text[at]))
        ++at;
    const bool leading = at < window && digit(text[at]);
    if (!leading) {
        while (at < window && !blank(text[at]))
            ++at;
        while (at < window && blank(text[at]))
            ++at;
    }
    int64_t code = 0;
    while (at < window && digit(text[at]) && code * 10 + (text[at] - '0') <= INT32_MAX)
        code = code * 10 + (text[at++] - '0');
    *consumed = leading ? static_cast<uint32_t>(at) : 0;
    return static_cast<int32_t>(code);
}

struct Outcome {
    QELReplyCompletion::Verdict verdict;
    uint64_t expected;
    uint32_t head;
    bool operator==(const Outcome &o) const {
        return verdict == o.verdict && expected == o.expected && head == o.head;
    }
};

Outcome Examine(QELReplyCompletion &test, const std::string &bytes, size_t length) {
    auto verdict = test.examine(bytes.data(), static_cast<uint32_t>(length));
    return {verdict, test.expectedLength(), test.headLength()};
}

// Feeds the pieces to one test as a connection does (stopping once the reply is whole or
// its head is told apart) and compares each answer with a fresh test's on the same bytes.
template <typename Make>
void FeedInPieces(Make make, const std::string &bytes, const std::vector<size_t> &cuts) {
    std::unique_ptr<QELReplyCompletion> test = make();
    for (size_t end : cuts) {
        Outcome piecewise = Examine(*test, bytes, end);
        std::unique_ptr<QELReplyCompletion> fresh = make();
        Outcome atOnce = Examine(*fresh, bytes, end);
        FUZZ_CHECK(piecewise == atOnce);
        FUZZ_CHECK(piecewise.head <= end);
        FUZZ_CHECK(piecewise.expected == 0 || piecewise.expected >= piecewise.head);
        if (piecewise.verdict == QELReplyCompletion::kComplete || piecewise.head != 0)
            return;
    }
}

}  // namespace

// Input: one byte of piece sizes count n, then n piece sizes (one byte each, 0 means 1),
// then the reply's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t pieces = data[0];
    if (size < 1 + pieces)
        return 0;
    const std::string bytes(reinterpret_cast<const char *>(data + 1 + pieces), size - 1 - pieces);
    std::vector<size_t> cuts;
    size_t end = 0;
    for (size_t i = 0; i < pieces && end < bytes.size(); ++i) {
        end += data[1 + i] == 0 ? 1 : data[1 + i];
        cuts.push_back(end < bytes.size() ? end : bytes.size());
    }
    if (cuts.empty() || cuts.back() != bytes.size())
        cuts.push_back(bytes.size());

    uint32_t consumed = 0, expectedConsumed = 0;
    int32_t code = QELTCPConnection::ParseReplyCode(bytes.data(), static_cast<uint32_t>(bytes.size()), &consumed);
    FUZZ_CHECK(code == ReferenceReplyCode(bytes, &expectedConsumed));
    FUZZ_CHECK(consumed == expectedConsumed);
    FUZZ_CHECK(code >= 0);

    FeedInPieces([] { return std::make_unique<QELSMTPReplyCompletion>(); }, bytes, cuts);
    FeedInPieces([] { return std::make_unique<QELPOP3ReplyCompletion>(false); }, bytes, cuts);
    FeedInPieces([] { return std::make_unique<QELPOP3ReplyCompletion>(true); }, bytes, cuts);
    FeedInPieces([] { return std::make_unique<QELHTTPResponseCompletion>(false); }, bytes, cuts);
    FeedInPieces([] { return std::make_unique<QELHTTPResponseCompletion>(true); }, bytes, cuts);

    // A whole reply by each line protocol's own rule ends with a line end.
    QELSMTPReplyCompletion smtp;
    if (smtp.examine(bytes.data(), static_cast<uint32_t>(bytes.size())) == QELReplyCompletion::kComplete)
        FUZZ_CHECK(bytes.back() == '\n');
    // A POP3 reply ends at its first terminator, whatever follows: its length says where,
    // and the bytes up to there make the same whole reply on their own.
    QELPOP3ReplyCompletion pop3(true);
    if (pop3.examine(bytes.data(), static_cast<uint32_t>(bytes.size())) == QELReplyCompletion::kComplete) {
        const uint64_t length = pop3.expectedLength();
        FUZZ_CHECK(length > 0 && length <= bytes.size());
        const std::string reply = bytes.substr(0, static_cast<size_t>(length));
        FUZZ_CHECK(reply.back() == '\n');
        FUZZ_CHECK(reply[0] == '-' || (reply.size() >= 3 && reply.compare(reply.size() - 2, 2, ".\n") == 0) ||
                   (reply.size() >= 4 && reply.compare(reply.size() - 3, 3, ".\r\n") == 0));
        QELPOP3ReplyCompletion alone(true);
        FUZZ_CHECK(alone.examine(reply.data(), static_cast<uint32_t>(reply.size())) == QELReplyCompletion::kComplete);
        FUZZ_CHECK(alone.expectedLength() == length);
    }
    return 0;
}
