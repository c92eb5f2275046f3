// StringInputStream.cpp: reading the bytes of a string up to its first zero byte.
#include "foundation/StringInputStream.h"

#include <cstring>

QELStringInputStream::QELStringInputStream(const QELString &text) : text_(text) {}

QELStringInputStream::~QELStringInputStream() = default;

bool QELStringInputStream::ReadByte(uint8_t &byte) {
    // The string always keeps a zero byte after its last byte, so its end stops the
    // stream like an embedded zero.
    byte = static_cast<uint8_t>(text_.at(next_));
    if (byte == 0)
        return false;
    ++next_;
    return true;
}

uint32_t QELStringInputStream::ReadBytes(uint8_t *buffer, uint32_t count) {
    uint32_t left = text_.length() - next_;
    if (count > left)
        count = left;
    const char *from = text_.text() + next_;
    const void *zero = std::memchr(from, 0, count);
    if (zero != nullptr)
        count = static_cast<uint32_t>(static_cast<const char *>(zero) - from);
    if (count == 0)
        return 0;
    std::memcpy(buffer, from, count);
    next_ += count;
    return count;
}
