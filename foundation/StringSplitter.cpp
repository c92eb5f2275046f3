// StringSplitter.cpp: splitting a text at a delimiter with a first-byte scan (memchr
// where case matters), and handing out the fields.
#include "foundation/StringSplitter.h"

#include <cstring>

namespace {

// The first occurrence of the count delimiter bytes in text[start, length), matched
// byte for byte; false when there is none.
bool FindExact(const char *text, uint32_t length, const char *delimiter, uint32_t count,
               uint32_t start, uint32_t *position) {
    if (count == 0 || count > length || start > length - count)
        return false;
    const char first = delimiter[0];
    const char *p = text + start;
    const char *last = text + (length - count);  // last possible match start
    while (p <= last) {
        const void *hit = std::memchr(p, first, static_cast<size_t>(last - p) + 1);
        if (hit == nullptr)
            return false;
        p = static_cast<const char *>(hit);
        if (std::memcmp(p + 1, delimiter + 1, count - 1) == 0) {
            *position = static_cast<uint32_t>(p - text);
            return true;
        }
        ++p;
    }
    return false;
}

// As FindExact, comparing the upper-case forms of the bytes; upperDelimiter is already
// upper case.
bool FindIgnoringCase(const char *text, uint32_t length, const char *upperDelimiter, uint32_t count,
                      uint32_t start, uint32_t *position) {
    if (count == 0 || count > length || start > length - count)
        return false;
    const auto *bytes = reinterpret_cast<const uint8_t *>(text);
    const auto *pattern = reinterpret_cast<const uint8_t *>(upperDelimiter);
    const uint32_t last = length - count;
    for (uint32_t i = start; i <= last; ++i) {
        if (QELUpperCaseTable[bytes[i]] != pattern[0])
            continue;
        uint32_t k = 1;
        while (k < count && QELUpperCaseTable[bytes[i + k]] == pattern[k])
            ++k;
        if (k == count) {
            *position = i;
            return true;
        }
    }
    return false;
}

}  // namespace

QELStringSplitter::QELStringSplitter() = default;

QELStringSplitter::QELStringSplitter(const QELString &source, const QELString &delimiter, uint32_t flags) {
    split(source, delimiter, flags);
}

QELStringSplitter::QELStringSplitter(const QELStringSplitter &other)
    : QELObject(other), source_(other.source_), delimiter_(other.delimiter_) {
    fieldStarts_.resize(other.fieldStarts_.count());
    for (uint32_t i = 0; i < other.fieldStarts_.count(); ++i)
        *fieldStarts_.at(i) = other.fieldStarts_.value(i);
}

QELStringSplitter &QELStringSplitter::operator=(const QELStringSplitter &other) {
    if (this != &other) {
        source_ = other.source_;
        delimiter_ = other.delimiter_;
        fieldStarts_.clear();
        fieldStarts_.resize(other.fieldStarts_.count());
        for (uint32_t i = 0; i < other.fieldStarts_.count(); ++i)
            *fieldStarts_.at(i) = other.fieldStarts_.value(i);
    }
    return *this;
}

QELStringSplitter::~QELStringSplitter() = default;

void QELStringSplitter::split(const QELString &source, const QELString &delimiter, uint32_t flags) {
    fieldStarts_.clear();
    source_ = source;
    delimiter_ = delimiter;
    if (source_.isEmpty() || delimiter_.isEmpty())
        return;

    const char *text = source_.text();
    const uint32_t length = source_.length();
    const uint32_t count = delimiter_.length();
    QELString upperDelimiter;
    if (flags & kIgnoreCase) {
        upperDelimiter = delimiter_;
        upperDelimiter.toUpper();
    }
    uint32_t start = 0;
    for (;;) {
        fieldStarts_.append(start);
        uint32_t found = 0;
        bool hit = (flags & kIgnoreCase)
                       ? FindIgnoringCase(text, length, upperDelimiter.text(), count, start, &found)
                       : FindExact(text, length, delimiter_.text(), count, start, &found);
        if (!hit)
            break;
        start = found + count;
    }
}

uint32_t QELStringSplitter::fieldStart(uint32_t index) const {
    return index < fieldStarts_.count() ? static_cast<uint32_t>(fieldStarts_.value(index)) : 0;
}

uint32_t QELStringSplitter::fieldLength(uint32_t index) const {
    const uint32_t n = fieldStarts_.count();
    if (index >= n)
        return 0;
    const uint32_t begin = static_cast<uint32_t>(fieldStarts_.value(index));
    if (index + 1 == n)
        return source_.length() - begin;
    // The next field starts just behind the delimiter that ends this one.
    return static_cast<uint32_t>(fieldStarts_.value(index + 1)) - delimiter_.length() - begin;
}

QELString QELStringSplitter::field(uint32_t index) const {
    const uint32_t n = fieldStarts_.count();
    if (index >= n)
        return QELString();
    if (n == 1)
        return source_;
    return QELString(source_.text() + fieldStart(index), fieldLength(index));
}
