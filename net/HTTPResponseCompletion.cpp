// HTTPResponseCompletion.cpp: finds the header block of the final response, reads its
// status and Content-Length once, and afterwards only compares lengths; the length it
// finds sizes the connection's storage.
#include "net/HTTPResponseCompletion.h"

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool StartsWithIgnoringCase(const char *bytes, uint32_t length, const char *prefix) {
    uint32_t i = 0;
    for (; prefix[i] != 0; ++i)
        if (i >= length || Upper(bytes[i]) != Upper(prefix[i]))
            return false;
    return true;
}

// The status code of the header block that starts at bytes: "HTTP/x.y ddd ...".
// 0 when the block does not begin with an HTTP status line.
uint32_t StatusOf(const char *bytes, uint32_t length) {
    if (!StartsWithIgnoringCase(bytes, length, "HTTP/"))
        return 0;
    uint32_t position = 5;
    while (position < length && !IsBlank(bytes[position]) && bytes[position] != '\r')
        ++position;
    while (position < length && IsBlank(bytes[position]))
        ++position;
    if (position + 3 > length || !IsDigit(bytes[position]) || !IsDigit(bytes[position + 1]) ||
        !IsDigit(bytes[position + 2]))
        return 0;
    return static_cast<uint32_t>((bytes[position] - '0') * 100 + (bytes[position + 1] - '0') * 10 +
                                 (bytes[position + 2] - '0'));
}

}  // namespace

QELHTTPResponseCompletion::QELHTTPResponseCompletion(bool headRequest) : headRequest_(headRequest) {}

void QELHTTPResponseCompletion::examineFinalBlock(const char *bytes, uint32_t end, uint32_t status) {
    if (headRequest_ || status == 204 || status == 304) {
        noContent_ = true;
        return;
    }
    // Every Content-Length line must give the same number; otherwise only the close
    // tells where the content ends.
    bool found = false;
    bool valid = true;
    uint32_t value = 0;
    uint32_t line = blockStart_;
    while (line < end) {
        uint32_t lineEnd = line;
        while (lineEnd < end && bytes[lineEnd] != '\n')
            ++lineEnd;
        static const char kField[] = "Content-Length:";
        if (StartsWithIgnoringCase(bytes + line, lineEnd - line, kField)) {
            uint32_t position = line + sizeof kField - 1;
            while (position < lineEnd && IsBlank(bytes[position]))
                ++position;
            uint64_t number = 0;
            uint32_t digits = 0;
            while (position < lineEnd && IsDigit(bytes[position]) && number <= UINT32_MAX) {
                number = number * 10 + static_cast<uint64_t>(bytes[position] - '0');
                ++position;
                ++digits;
            }
            while (position < lineEnd && (IsBlank(bytes[position]) || bytes[position] == '\r'))
                ++position;
            if (digits == 0 || position != lineEnd || number > UINT32_MAX ||
                (found && value != static_cast<uint32_t>(number)))
                valid = false;
            found = true;
            value = static_cast<uint32_t>(number);
        }
        line = lineEnd + 1;
    }
    if (found && valid) {
        lengthKnown_ = true;
        contentLength_ = value;
    }
}

QELReplyCompletion::Verdict QELHTTPResponseCompletion::examine(const char *bytes, uint32_t length) {
    while (!finalBlockFound_) {
        uint32_t position = searchFrom_ > blockStart_ ? searchFrom_ : blockStart_;
        uint32_t blankLine = UINT32_MAX;
        for (; position + 4 <= length; ++position) {
            if (bytes[position] == '\r' && bytes[position + 1] == '\n' && bytes[position + 2] == '\r' &&
                bytes[position + 3] == '\n') {
                blankLine = position;
                break;
            }
        }
        if (blankLine == UINT32_MAX) {
            // Resume where a blank line cut by the piece boundary could begin.
            searchFrom_ = length >= 3 ? length - 3 : 0;
            return kIncomplete;
        }
        uint32_t status = StatusOf(bytes + blockStart_, blankLine - blockStart_);
        // Interim responses (1xx) come before the final one; 101 is final: the
        // connection then carries another protocol until the server closes it.
        if (status >= 100 && status < 200 && status != 101) {
            blockStart_ = blankLine + 4;
            searchFrom_ = blockStart_;
            continue;
        }
        finalBlockFound_ = true;
        contentStart_ = blankLine + 4;
        // Without a status line this is no response the test understands: the close
        // ends it.
        if (status != 0)
            examineFinalBlock(bytes, blankLine, status);
    }
    if (noContent_)
        return kComplete;
    if (lengthKnown_ && length - contentStart_ >= contentLength_)
        return kComplete;
    return kIncomplete;
}

uint64_t QELHTTPResponseCompletion::expectedLength() const {
    if (!finalBlockFound_)
        return 0;
    if (noContent_)
        return contentStart_;
    if (lengthKnown_)
        return static_cast<uint64_t>(contentStart_) + contentLength_;
    return 0;
}

uint32_t QELHTTPResponseCompletion::headLength() const { return finalBlockFound_ ? contentStart_ : 0; }
