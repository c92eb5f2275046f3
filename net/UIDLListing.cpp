// UIDLListing.cpp: one pass over a UIDL reply, keeping the positions of the entries that
// are well formed so that no entry costs an allocation of its own.
#include "net/UIDLListing.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsIdentifierByte(char c) { return c >= 0x21 && c <= 0x7E; }

// Where the identifier of the line [start, end) begins: after its digits and one space,
// when the line is an entry; 0 when it is not (an entry never begins at 0, which holds
// the status line).
uint32_t IdentifierStart(const char *bytes, uint32_t start, uint32_t end) {
    uint32_t position = start;
    while (position < end && IsDigit(bytes[position]))
        ++position;
    if (position == start || position == end || bytes[position] != ' ')
        return 0;
    const uint32_t identifier = position + 1;
    if (end - identifier < 1 || end - identifier > QELUIDLListing::kLongestIdentifier)
        return 0;
    for (uint32_t i = identifier; i < end; ++i)
        if (!IsIdentifierByte(bytes[i]))
            return 0;
    return identifier;
}

}  // namespace

QELUIDLListing::QELUIDLListing() : terminated_(false) {}

QELUIDLListing::~QELUIDLListing() = default;

bool QELUIDLListing::Parse(const QELString &reply) {
    reply_ = reply;
    positions_.clear();
    terminated_ = false;
    const char *bytes = reply_.text();
    const uint32_t length = reply_.length();
    uint32_t start = 0;
    bool statusLine = true;
    while (start < length) {
        uint32_t lineEnd = start;
        while (lineEnd < length && bytes[lineEnd] != '\n')
            ++lineEnd;
        if (lineEnd == length)
            break;  // cut short: the line may be incomplete
        const uint32_t next = lineEnd + 1;
        uint32_t end = lineEnd;
        if (end > start && bytes[end - 1] == '\r')
            --end;
        if (statusLine) {
            statusLine = false;
        } else if (end - start == 1 && bytes[start] == '.') {
            terminated_ = next == length;
            break;
        } else if (uint32_t identifier = IdentifierStart(bytes, start, end)) {
            positions_.append(start);
            positions_.append(identifier);
            positions_.append(end);
        }
        start = next;
    }
    return terminated_;
}

QELString QELUIDLListing::number(uint32_t index) const {
    if (index >= count())
        return QELString();
    const uint32_t start = static_cast<uint32_t>(positions_.value(3 * index));
    const uint32_t identifier = static_cast<uint32_t>(positions_.value(3 * index + 1));
    return reply_.substring(start, identifier - 1 - start);
}

QELString QELUIDLListing::identifier(uint32_t index) const {
    if (index >= count())
        return QELString();
    const uint32_t identifier = static_cast<uint32_t>(positions_.value(3 * index + 1));
    const uint32_t end = static_cast<uint32_t>(positions_.value(3 * index + 2));
    return reply_.substring(identifier, end - identifier);
}
