// POP3ReplyFuzz.cpp: fuzzes the reading of POP3 replies: a UIDL listing and the split of
// a retrieval into header and text, each against a plain reference reading.
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "net/POP3Client.h"
#include "net/UIDLListing.h"

namespace {

struct Entry {
    std::string number, identifier;
};

// The listing read line by line: status line first, entries up to ".", a last line
// without its LF not read.
void ReferenceUIDL(const std::string &reply, std::vector<Entry> &entries, bool &terminated) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t lf; (lf = reply.find('\n', at)) != std::string::npos; at = lf + 1) {
        std::string line = reply.substr(at, lf - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    terminated = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line == ".") {
            terminated = i + 1 == lines.size() && at == reply.size();
            return;
        }
        size_t space = line.find(' ');
        if (space == std::string::npos || space == 0)
            continue;
        bool good = true;
        for (size_t k = 0; k < space; ++k)
            good = good && line[k] >= '0' && line[k] <= '9';
        std::string id = line.substr(space + 1);
        good = good && !id.empty() && id.size() <= QELUIDLListing::kLongestIdentifier;
        for (char c : id)
            good = good && c >= 0x21 && c <= 0x7E;
        if (good)
            entries.push_back({line.substr(0, space), id});
    }
}

// Takes the first dot off every line that begins with "..".
std::string Unstuffed(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((i == 0 || text[i - 1] == '\n') && text.compare(i, 2, "..") == 0)
            continue;
        out += text[i];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const QELString reply = fuzz::Qel(input);

    QELUIDLListing listing;
    bool terminated = listing.Parse(reply);
    std::vector<Entry> expected;
    bool expectedTerminated = false;
    ReferenceUIDL(input, expected, expectedTerminated);
    FUZZ_CHECK(terminated == listing.terminated());
    FUZZ_CHECK(terminated == expectedTerminated);
    FUZZ_CHECK(listing.count() == expected.size());
    for (uint32_t i = 0; i < listing.count(); ++i) {
        FUZZ_CHECK(fuzz::Text(listing.number(i)) == expected[i].number);
        FUZZ_CHECK(fuzz::Text(listing.identifier(i)) == expected[i].identifier);
    }
    FUZZ_CHECK(listing.number(listing.count()).isEmpty() && listing.identifier(listing.count()).isEmpty());

    QELString header, text;
    bool ended = QELPOP3Client::SplitRetrieval(reply, header, text);
    size_t lf = input.find('\n');
    if (lf == std::string::npos) {
        FUZZ_CHECK(!ended && header.isEmpty() && text.isEmpty());
        return 0;
    }
    std::string message = input.substr(lf + 1);
    bool dotLine = false;
    for (const char *tail : {".\r\n", ".\n"}) {
        std::string t(tail);
        if (!dotLine && message.size() >= t.size() && message.compare(message.size() - t.size(), t.size(), t) == 0 &&
            (message.size() == t.size() || message[message.size() - t.size() - 1] == '\n')) {
            message.erase(message.size() - t.size());
            dotLine = true;
        }
    }
    FUZZ_CHECK(ended == dotLine);
    const std::string h = fuzz::Text(header), x = fuzz::Text(text);
    // Header and text put together again give the whole message, unstuffed.
    FUZZ_CHECK(h + (!h.empty() && !x.empty() ? "\r\n" : "") + x == Unstuffed(message));
    FUZZ_CHECK(h.find("\r\n\r\n") == std::string::npos);
    FUZZ_CHECK(x.empty() || x.compare(0, 2, "\r\n") == 0);
    return 0;
}
