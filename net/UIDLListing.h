// UIDLListing.h: QELUIDLListing, the (message number, unique identifier) pairs of a POP3
// UIDL reply, read without a connection so that any bytes a server sends can be checked.
#pragma once

#include <cstdint>

#include "foundation/Array.h"
#include "foundation/String.h"

class QELUIDLListing : public QELObject {
public:
    // The longest unique identifier a server may send.
    static constexpr uint32_t kLongestIdentifier = 70;

    QELUIDLListing();
    ~QELUIDLListing() override;

    // Reads a whole UIDL reply ("+OK ...\r\n1 id\r\n2 id\r\n.\r\n") in place of any earlier
    // one. The first line is the status line, whatever it says; the lines up to the line
    // "." are entries. Lines end with LF, a CR before it dropped; a last line without its
    // LF was cut short and is not read. An entry is a message number of decimal digits, one
    // space and an identifier of 1 to 70 bytes 0x21-0x7E; any other line is skipped. Returns
    // terminated(). Throws only when memory runs out.
    bool Parse(const QELString &reply);

    // Whether the last reply read ended with the line "." (nothing after it).
    bool terminated() const { return terminated_; }
    // The entries, in the server's order.
    uint32_t count() const { return positions_.count() / 3; }
    // The message number of entry index, as the server wrote it; empty beyond the end.
    QELString number(uint32_t index) const;
    // The unique identifier of entry index; empty beyond the end.
    QELString identifier(uint32_t index) const;

private:
    QELString reply_;
    // Three slots per entry: where its number starts, where its identifier starts and
    // where the identifier ends (the number ends one byte before the identifier).
    QELArray positions_;
    bool terminated_;
};
