// HashedName.h: a name together with the CRC-32 of its (lower-cased) text; names are
// compared by that key alone, one 32-bit comparison per candidate.
#pragma once

#include "foundation/String.h"

class QELHashedName : public QELObject {
public:
    enum Flags : uint32_t { kCaseSensitive = 0u, kCaseInsensitive = 1u };

    // Empty text; the hash of the empty string (0xFFFFFFFF).
    QELHashedName();
    QELHashedName(const char *text, uint32_t flags);
    QELHashedName(const QELString &text, uint32_t flags);

    const QELString &text() const { return text_; }
    uint32_t hash() const { return hash_; }
    bool equals(const QELHashedName &other) const { return hash_ == other.hash_; }
    bool operator==(const QELHashedName &other) const { return hash_ == other.hash_; }
    bool operator!=(const QELHashedName &other) const { return hash_ != other.hash_; }

private:
    QELString text_;
    uint32_t hash_;
};
