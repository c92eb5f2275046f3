// ReplyCompletion.cpp: the SMTP and POP3 completion tests. They look only at the end of
// what has arrived, or at what arrived since the last look, so a long reply costs no
// repeated scans.
#include "net/ReplyCompletion.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// SMTP reply lines and POP3 status lines are short (512 bytes at most by their
// protocols); a longer one means the peer speaks something else, and the search for a
// line start never runs far back.
constexpr uint32_t kLongestReplyLine = 1000;

// The start of the text after the last LF before end, looking back at most
// kLongestReplyLine bytes; false when no line start lies within that reach.
bool StartOfLine(const char *bytes, uint32_t end, uint32_t *start) {
    uint32_t position = end;
    while (position > 0 && bytes[position - 1] != '\n') {
        if (end - position > kLongestReplyLine)
            return false;
        --position;
    }
    *start = position;
    return true;
}

}  // namespace

QELReplyCompletion::~QELReplyCompletion() = default;

uint64_t QELReplyCompletion::expectedLength() const { return 0; }

uint32_t QELReplyCompletion::headLength() const { return 0; }

QELReplyCompletion::Verdict QELSMTPReplyCompletion::examine(const char *bytes, uint32_t length) {
    if (length == 0)
        return kIncomplete;
    uint32_t start;
    if (bytes[length - 1] != '\n') {
        // A line still arriving: it must begin like "ddd" to be SMTP.
        if (!StartOfLine(bytes, length, &start))
            return kUnknown;
        for (uint32_t i = start; i < length && i < start + 3; ++i)
            if (!IsDigit(bytes[i]))
                return kUnknown;
        return kIncomplete;
    }
    if (!StartOfLine(bytes, length - 1, &start))
        return kUnknown;
    uint32_t lineLength = length - start;
    const char *line = bytes + start;
    if (lineLength < 4 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]))
        return kUnknown;
    if (line[3] == '-')
        return kIncomplete;
    if (line[3] == ' ' || line[3] == '\r' || line[3] == '\n')
        return kComplete;
    return kUnknown;
}

QELReplyCompletion::Verdict QELPOP3ReplyCompletion::examine(const char *bytes, uint32_t length) {
    if (length == 0)
        return kIncomplete;
    if (bytes[0] != '+' && bytes[0] != '-')
        return kUnknown;
    // The status line must be whole first; a status line longer than any the protocol
    // allows means the peer speaks something else.
    uint32_t statusEnd = 0;
    while (statusEnd < length && bytes[statusEnd] != '\n') {
        if (statusEnd > kLongestReplyLine)
            return kUnknown;
        ++statusEnd;
    }
    if (statusEnd == length)
        return kIncomplete;
    if (!multiLine_ || bytes[0] == '-') {
        length_ = statusEnd + 1;
        return kComplete;
    }
    // The first terminating line "." after the status line's LF or another line end; the
    // search goes on where the last one stopped, so each byte is looked at about once.
    uint32_t position = scanFrom_ > statusEnd ? scanFrom_ : statusEnd;
    for (; position < length; ++position) {
        if (bytes[position] != '\n')
            continue;
        if (position + 2 >= length)
            break;  // too few bytes yet to tell
        if (bytes[position + 1] != '.')
            continue;
        if (bytes[position + 2] == '\n') {
            length_ = position + 3;
            return kComplete;
        }
        if (bytes[position + 2] == '\r') {
            if (position + 3 >= length)
                break;
            if (bytes[position + 3] == '\n') {
                length_ = position + 4;
                return kComplete;
            }
        }
    }
    scanFrom_ = position;
    return kIncomplete;
}
