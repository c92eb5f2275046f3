// String.cpp: the module's byte string: shared buffers with atomic reference counts,
// copy-on-write changes, skip-table search, replacement, trims, case maps, URL encoding.
#include "foundation/String.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>

// ---------------------------------------------------------------------------------------
// Case tables

#define QEL_UPPER(i) static_cast<uint8_t>(((i) >= 'a' && (i) <= 'z') ? (i) - 32 : (i))
#define QEL_LOWER(i) static_cast<uint8_t>(((i) >= 'A' && (i) <= 'Z') ? (i) + 32 : (i))
#define QEL_ROW(M, b)                                                                       \
    M((b) + 0), M((b) + 1), M((b) + 2), M((b) + 3), M((b) + 4), M((b) + 5), M((b) + 6),     \
        M((b) + 7), M((b) + 8), M((b) + 9), M((b) + 10), M((b) + 11), M((b) + 12),          \
        M((b) + 13), M((b) + 14), M((b) + 15)
#define QEL_TABLE(M)                                                                        \
    QEL_ROW(M, 0), QEL_ROW(M, 16), QEL_ROW(M, 32), QEL_ROW(M, 48), QEL_ROW(M, 64),          \
        QEL_ROW(M, 80), QEL_ROW(M, 96), QEL_ROW(M, 112), QEL_ROW(M, 128), QEL_ROW(M, 144),  \
        QEL_ROW(M, 160), QEL_ROW(M, 176), QEL_ROW(M, 192), QEL_ROW(M, 208),                 \
        QEL_ROW(M, 224), QEL_ROW(M, 240)

const uint8_t QELUpperCaseTable[256] = {QEL_TABLE(QEL_UPPER)};
const uint8_t QELLowerCaseTable[256] = {QEL_TABLE(QEL_LOWER)};

#undef QEL_TABLE
#undef QEL_ROW
#undef QEL_LOWER
#undef QEL_UPPER

namespace {

constexpr uint32_t kCapacityStep = 32;
// The largest length whose capacity still fits in 32 bits.
constexpr uint32_t kMaxLength = UINT32_MAX - kCapacityStep;

// The capacity of a new buffer for n bytes: the next multiple of 32 above n.
uint32_t capacityFor(uint64_t n) {
    if (n > kMaxLength)
        throw QELObject::MemoryAllocationFailure();
    return static_cast<uint32_t>((n + kCapacityStep) & ~uint64_t(kCapacityStep - 1));
}

// The capacity a unique buffer grows to when an append needs room for n bytes: at
// least double the old capacity, so that appending byte by byte stays linear.
uint32_t grownCapacity(uint32_t capacity, uint32_t n) {
    uint64_t target = std::max<uint64_t>(n, uint64_t(capacity) * 2 - 1);
    if (target > kMaxLength)
        target = std::max<uint64_t>(n, kMaxLength);
    return capacityFor(target);
}

// The length of a text after adding count bytes to length bytes; too long a text is an
// allocation that cannot succeed.
uint32_t lengthAfterAdding(uint32_t length, uint64_t count) {
    uint64_t total = uint64_t(length) + count;
    if (total > kMaxLength)
        throw QELObject::MemoryAllocationFailure();
    return static_cast<uint32_t>(total);
}

uint32_t textLength(const char *text) {
    if (text == nullptr)
        return 0;
    size_t n = std::strlen(text);
    if (n > kMaxLength)
        throw QELObject::MemoryAllocationFailure();
    return static_cast<uint32_t>(n);
}

inline uint8_t upper(uint8_t c) { return QELUpperCaseTable[c]; }

bool equalBytes(const uint8_t *a, const uint8_t *b, uint32_t count, bool ignoreCase) {
    if (!ignoreCase)
        return std::memcmp(a, b, count) == 0;
    for (uint32_t i = 0; i < count; ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

// True when count bytes at p lie (partly) in the buffer's block, which a change may
// move or release before the bytes have been read.
bool overlaps(const QELStringBuffer *buffer, const void *p, uint32_t count) {
    auto start = reinterpret_cast<uintptr_t>(buffer->data());
    auto at = reinterpret_cast<uintptr_t>(p);
    return at < start + buffer->capacity() && at + count > start;
}

// The skip-table search (Horspool) for one pattern, built once and usable for many
// searches. Entries are 32 bits wide, so patterns of any length are handled.
class Searcher {
public:
    Searcher(const char *pattern, uint32_t count, uint32_t flags)
        : pattern_(reinterpret_cast<const uint8_t *>(pattern)), count_(count),
          ignoreCase_((flags & QELString::kIgnoreCase) != 0),
          backward_((flags & QELString::kBackward) != 0) {
        // A single byte needs no table: it is looked for byte by byte.
        if (count_ <= 1)
            return;
        for (uint32_t &entry : skip_)
            entry = count_;
        if (!backward_) {
            // The distance from the last occurrence (before the final byte) to the end.
            for (uint32_t i = 0; i + 1 < count_; ++i)
                skip_[key(pattern_[i])] = count_ - 1 - i;
        } else {
            // The distance from the start to the first occurrence after the first byte.
            for (uint32_t i = count_ - 1; i >= 1; --i)
                skip_[key(pattern_[i])] = i;
        }
    }

    // Searches text of length n from start within range (see QELString::find).
    bool find(const uint8_t *text, uint32_t n, uint32_t start, uint32_t range, uint32_t *position) const {
        if (count_ == 0 || n == 0)
            return false;
        if (!backward_) {
            if (start >= n)
                return false;
            range = std::min(range, n - start);
            if (range == 0 || count_ > range)
                return false;
            return ignoreCase_ ? forward<true>(text, start, start + range - count_, position)
                               : forward<false>(text, start, start + range - count_, position);
        }
        start = std::min(start, n - 1);
        range = std::min(range, start + 1);
        if (range == 0 || count_ > range)
            return false;
        return ignoreCase_ ? backward<true>(text, start + 1 - count_, start + 1 - range, position)
                           : backward<false>(text, start + 1 - count_, start + 1 - range, position);
    }

private:
    uint8_t key(uint8_t c) const { return ignoreCase_ ? upper(c) : c; }

    template <bool kFold>
    bool forward(const uint8_t *text, uint32_t first, uint32_t last, uint32_t *position) const {
        if (count_ == 1)
            return forwardByte<kFold>(text, first, last, position);
        const uint32_t tail = count_ - 1;
        const uint8_t lastByte = kFold ? upper(pattern_[tail]) : pattern_[tail];
        uint64_t window = first;
        while (window <= last) {
            uint8_t c = text[window + tail];
            if (kFold)
                c = upper(c);
            if (c == lastByte && equalBytes(text + window, pattern_, tail, kFold)) {
                if (position != nullptr)
                    *position = static_cast<uint32_t>(window);
                return true;
            }
            window += skip_[c];
        }
        return false;
    }

    template <bool kFold>
    bool forwardByte(const uint8_t *text, uint32_t first, uint32_t last, uint32_t *position) const {
        const uint8_t wanted = kFold ? upper(pattern_[0]) : pattern_[0];
        const uint8_t *found = nullptr;
        if (!kFold) {
            found = static_cast<const uint8_t *>(std::memchr(text + first, wanted, last - first + 1));
        } else {
            for (uint32_t i = first; i <= last && found == nullptr; ++i)
                if (upper(text[i]) == wanted)
                    found = text + i;
        }
        if (found == nullptr)
            return false;
        if (position != nullptr)
            *position = static_cast<uint32_t>(found - text);
        return true;
    }

    template <bool kFold>
    bool backward(const uint8_t *text, uint32_t first, uint32_t lowest, uint32_t *position) const {
        if (count_ == 1) {
            const uint8_t wanted = kFold ? upper(pattern_[0]) : pattern_[0];
            for (int64_t i = first; i >= int64_t(lowest); --i) {
                if ((kFold ? upper(text[i]) : text[i]) == wanted) {
                    if (position != nullptr)
                        *position = static_cast<uint32_t>(i);
                    return true;
                }
            }
            return false;
        }
        const uint8_t firstByte = kFold ? upper(pattern_[0]) : pattern_[0];
        int64_t window = first;
        while (window >= int64_t(lowest)) {
            uint8_t c = text[window];
            if (kFold)
                c = upper(c);
            if (c == firstByte && equalBytes(text + window + 1, pattern_ + 1, count_ - 1, kFold)) {
                if (position != nullptr)
                    *position = static_cast<uint32_t>(window);
                return true;
            }
            window -= skip_[c];
        }
        return false;
    }

    const uint8_t *pattern_;
    uint32_t count_;
    bool ignoreCase_;
    bool backward_;
    uint32_t skip_[256];
};

}  // namespace

// ---------------------------------------------------------------------------------------
// QELStringBuffer

QELStringBuffer::QELStringBuffer(uint32_t n) : QELByteBuffer(capacityFor(n)), length_(n) {
    chars()[n] = 0;
}

QELStringBuffer::~QELStringBuffer() = default;

void QELStringBuffer::dropReference() {
    if (referenceCount_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

namespace {

// Keeps the module-wide empty buffer. It is built once, even when several threads ask
// first, and its own reference keeps it alive while the module is loaded. When the
// module is unloaded it is released, unless a string that outlives the module's static
// objects still shares it.
struct EmptyBufferHolder {
    QELStringBuffer *buffer = new QELStringBuffer(0);
    ~EmptyBufferHolder() {
        if (buffer->referenceCount() == 1)
            delete buffer;
    }
};

}  // namespace

QELStringBuffer *QELStringBuffer::empty() {
    static EmptyBufferHolder holder;
    return holder.buffer;
}

// ---------------------------------------------------------------------------------------
// Construction and assignment

QELString::QELString() : buffer_(QELStringBuffer::empty()) { buffer_->addReference(); }

QELString::QELString(char c) : buffer_(new QELStringBuffer(1)) { buffer_->chars()[0] = c; }

QELString::QELString(const char *bytes, uint32_t count) {
    if (bytes == nullptr || count == 0) {
        buffer_ = QELStringBuffer::empty();
        buffer_->addReference();
        return;
    }
    buffer_ = new QELStringBuffer(count);
    std::memcpy(buffer_->chars(), bytes, count);
}

QELString::QELString(const char *text) : QELString(text, textLength(text)) {}

QELStringBuffer *QELString::shareBuffer(QELStringBuffer *buffer) {
    if (!buffer->locked_) {
        buffer->addReference();
        return buffer;
    }
    // A buffer being written belongs to its writer alone: a copy takes the bytes as
    // they are now and never sees the writer's later bytes or length.
    auto *copy = new QELStringBuffer(buffer->length_);
    std::memcpy(copy->chars(), buffer->chars(), buffer->length_);
    return copy;
}

QELString::QELString(const QELString &other) : QELObject(), buffer_(shareBuffer(other.buffer_)) {}

QELString::QELString(QELString &&other) : QELObject(), buffer_(other.buffer_) {
    if (buffer_->locked_) {
        // The writer's buffer stays where it is, with its string.
        buffer_ = shareBuffer(other.buffer_);
        return;
    }
    other.buffer_ = QELStringBuffer::empty();
    other.buffer_->addReference();
}

QELString::~QELString() { buffer_->dropReference(); }

QELString &QELString::operator=(const QELString &other) {
    if (buffer_ != other.buffer_ && !isLocked()) {
        QELStringBuffer *old = buffer_;
        buffer_ = shareBuffer(other.buffer_);
        old->dropReference();
    }
    return *this;
}

QELString &QELString::operator=(QELString &&other) {
    if (other.isLocked())
        return *this = static_cast<const QELString &>(other);
    if (this != &other && !isLocked())
        std::swap(buffer_, other.buffer_);
    return *this;
}

QELString &QELString::operator=(const char *text) { return assign(text, textLength(text)); }

QELString &QELString::operator=(char c) { return assign(&c, 1); }

QELString &QELString::assign(const char *bytes, uint32_t count) {
    if (isLocked())
        return *this;
    if (bytes == nullptr || count == 0) {
        clear();
        return *this;
    }
    if (overlaps(buffer_, bytes, count)) {
        QELString snapshot(bytes, count);
        return *this = std::move(snapshot);
    }
    if (buffer_->isShared()) {
        auto *fresh = new QELStringBuffer(count);
        std::memcpy(fresh->chars(), bytes, count);
        QELStringBuffer *old = buffer_;
        buffer_ = fresh;
        old->dropReference();
    } else {
        std::memcpy(setLength(count), bytes, count);
    }
    return *this;
}

void QELString::clear() {
    QELStringBuffer *empty = QELStringBuffer::empty();
    if (buffer_ != empty && !isLocked()) {
        QELStringBuffer *old = buffer_;
        empty->addReference();
        buffer_ = empty;
        old->dropReference();
    }
}

// ---------------------------------------------------------------------------------------
// The one primitive of every change

char *QELString::setLength(uint32_t n, bool growForAppend) {
    QELStringBuffer *b = buffer_;
    if (!b->isShared()) {
        if (n >= b->capacity()) {
            uint32_t capacity = growForAppend ? grownCapacity(b->capacity(), n) : capacityFor(n);
            b->resize(capacity, QELByteBuffer::kKeep);
        }
        b->length_ = n;
    } else {
        auto *fresh = new QELStringBuffer(n);
        std::memcpy(fresh->chars(), b->chars(), std::min(b->length_, n));
        buffer_ = fresh;
        b->dropReference();
    }
    buffer_->chars()[n] = 0;
    return buffer_->chars();
}

void QELString::reserve(uint32_t n) {
    if (isLocked())
        return;
    QELStringBuffer *b = buffer_;
    uint32_t length = b->length_;
    n = std::max(n, length);
    if (!b->isShared()) {
        if (n >= b->capacity())
            b->resize(capacityFor(n), QELByteBuffer::kKeep);
        return;
    }
    auto *fresh = new QELStringBuffer(n);
    std::memcpy(fresh->chars(), b->chars(), length);
    fresh->length_ = length;
    fresh->chars()[length] = 0;
    buffer_ = fresh;
    b->dropReference();
}

// ---------------------------------------------------------------------------------------
// Access

void QELString::setAt(uint32_t index, char c) {
    if (index >= length() || isLocked())
        return;
    setLength(length())[index] = c;
}

uint32_t QELString::copyTo(char *array, uint32_t capacity) const {
    if (array == nullptr || capacity == 0)
        return 0;
    uint32_t count = std::min(length(), capacity - 1);
    std::memcpy(array, text(), count);
    array[count] = 0;
    return count;
}

QELByteBuffer QELString::bytes() const {
    QELByteBuffer result(length());
    if (length() != 0)
        std::memcpy(result.data(), text(), length());
    return result;
}

// ---------------------------------------------------------------------------------------
// Changes

QELString &QELString::appendBytes(const char *bytes, uint32_t count) {
    if (bytes == nullptr || count == 0 || isLocked())
        return *this;
    if (overlaps(buffer_, bytes, count)) {
        QELString snapshot(bytes, count);
        return appendBytes(snapshot.text(), count);
    }
    uint32_t n = length();
    char *p = setLength(lengthAfterAdding(n, count), true);
    std::memcpy(p + n, bytes, count);
    return *this;
}

QELString &QELString::append(const char *text) { return appendBytes(text, textLength(text)); }

QELString &QELString::append(const QELString &other) {
    if (buffer_ == QELStringBuffer::empty())
        return *this = other;
    // Holding other's buffer keeps the bytes alive even when other is this string.
    QELString source(other);
    return appendBytes(source.text(), source.length());
}

void QELString::insert(const char *bytes, uint32_t count, uint32_t position) {
    if (bytes == nullptr || count == 0 || isLocked())
        return;
    if (overlaps(buffer_, bytes, count)) {
        QELString snapshot(bytes, count);
        insert(snapshot.text(), count, position);
        return;
    }
    uint32_t n = length();
    position = std::min(position, n);
    char *p = setLength(lengthAfterAdding(n, count), true);
    std::memmove(p + position + count, p + position, n - position);
    std::memcpy(p + position, bytes, count);
}

void QELString::insert(const char *text, uint32_t position) { insert(text, textLength(text), position); }

void QELString::insert(const QELString &other, uint32_t position) {
    QELString source(other);
    insert(source.text(), source.length(), position);
}

void QELString::erase(uint32_t start, uint32_t count, QELString *removed) {
    uint32_t n = length();
    if (start >= n || isLocked()) {
        if (removed != nullptr)
            removed->clear();
        return;
    }
    count = std::min(count, n - start);
    QELString out;
    if (removed != nullptr)
        out.assign(text() + start, count);
    if (count != 0) {
        char *p = setLength(n);
        std::memmove(p + start, p + start + count, n - start - count);
        setLength(n - count);
    }
    if (removed != nullptr)
        *removed = std::move(out);
}

int32_t QELString::replace(uint32_t start, uint32_t count, const char *bytes, uint32_t byteCount) {
    uint32_t n = length();
    if (start >= n || isLocked())
        return 0;
    if (bytes == nullptr)
        byteCount = 0;
    if (byteCount != 0 && overlaps(buffer_, bytes, byteCount)) {
        QELString snapshot(bytes, byteCount);
        return replace(start, count, snapshot.text(), byteCount);
    }
    count = std::min(count, n - start);
    uint32_t tail = n - start - count;
    if (byteCount > count) {
        char *p = setLength(lengthAfterAdding(n, byteCount - count), true);
        std::memmove(p + start + byteCount, p + start + count, tail);
        std::memcpy(p + start, bytes, byteCount);
    } else {
        char *p = setLength(n);
        if (byteCount != 0)
            std::memcpy(p + start, bytes, byteCount);
        std::memmove(p + start + byteCount, p + start + count, tail);
        setLength(n - (count - byteCount));
    }
    return static_cast<int32_t>(int64_t(byteCount) - int64_t(count));
}

uint32_t QELString::replaceAll(const char *pattern, uint32_t count, const QELString &replacement,
                               uint32_t flags) {
    if (pattern == nullptr || count == 0 || isEmpty() || isLocked())
        return 0;
    if (overlaps(buffer_, pattern, count)) {
        QELString snapshot(pattern, count);
        return replaceAll(snapshot.text(), count, replacement, flags);
    }
    // A copy keeps the replacement unchanged even when it is this string.
    const QELString with(replacement);
    const uint32_t findFlags = flags & (kIgnoreCase | kBackward);
    const bool backward = (flags & kBackward) != 0;
    const Searcher searcher(pattern, count, findFlags);
    // Rescanning a replacement that holds the pattern would find it without end: such
    // a replacement is not searched again.
    bool rescan = (flags & kRescan) != 0;
    if (rescan && with.length() >= count &&
        Searcher(pattern, count, flags & kIgnoreCase)
            .find(reinterpret_cast<const uint8_t *>(with.text()), with.length(), 0, kAll, nullptr))
        rescan = false;

    uint32_t replacements = 0;
    uint32_t match = 0;
    if (rescan) {
        // Each round searches the text as changed by the previous replacement.
        if (!backward) {
            uint32_t from = 0;
            while (searcher.find(reinterpret_cast<const uint8_t *>(text()), length(), from, kAll, &match)) {
                replace(match, count, with.text(), with.length());
                ++replacements;
                from = match;
            }
        } else {
            uint32_t end = kAll;
            while (searcher.find(reinterpret_cast<const uint8_t *>(text()), length(), end, kAll, &match)) {
                replace(match, count, with.text(), with.length());
                ++replacements;
                // The next search ends at the replacement's last byte.
                uint64_t next = uint64_t(match) + with.length();
                if (next == 0)
                    break;
                end = static_cast<uint32_t>(next - 1);
            }
        }
        return replacements;
    }

    // Without rescanning, each search covers only text that no replacement has touched,
    // so the matches are those of the original text and the result is built in one pass.
    const auto *source = reinterpret_cast<const uint8_t *>(text());
    const uint32_t n = length();
    if (!backward) {
        QELString out;
        uint32_t from = 0;
        while (searcher.find(source, n, from, kAll, &match)) {
            if (replacements == 0)
                out.reserve(n);
            out.appendBytes(text() + from, match - from);
            out.appendBytes(with.text(), with.length());
            ++replacements;
            from = match + count;
        }
        if (replacements == 0)
            return 0;
        out.appendBytes(text() + from, n - from);
        *this = std::move(out);
        return replacements;
    }

    // Backwards: count the matches (each search ends just before the previous match),
    // then write the result from its end.
    uint32_t end = n - 1;
    bool more = true;
    while (more && searcher.find(source, n, end, kAll, &match)) {
        ++replacements;
        more = match != 0;
        end = match - 1;
    }
    if (replacements == 0)
        return 0;
    uint64_t newLength = uint64_t(n) + uint64_t(replacements) * with.length() - uint64_t(replacements) * count;
    QELString out;
    char *p = out.setLength(lengthAfterAdding(0, newLength));
    uint64_t write = newLength;
    uint32_t sourceEnd = n;
    end = n - 1;
    more = true;
    while (more && searcher.find(source, n, end, kAll, &match)) {
        uint32_t tail = sourceEnd - (match + count);
        write -= tail;
        std::memcpy(p + write, source + match + count, tail);
        write -= with.length();
        if (with.length() != 0)
            std::memcpy(p + write, with.text(), with.length());
        sourceEnd = match;
        more = match != 0;
        end = match - 1;
    }
    std::memcpy(p, source, sourceEnd);
    *this = std::move(out);
    return replacements;
}

uint32_t QELString::replaceAll(const char *pattern, const QELString &replacement, uint32_t flags) {
    return replaceAll(pattern, textLength(pattern), replacement, flags);
}

uint32_t QELString::replaceAll(const QELString &pattern, const QELString &replacement, uint32_t flags) {
    // A copy keeps the pattern's bytes alive while this string changes.
    const QELString what(pattern);
    return replaceAll(what.text(), what.length(), replacement, flags);
}

namespace {

// A byte table of the bytes in a NUL-terminated set.
struct ByteSet {
    explicit ByteSet(const char *set) {
        for (const char *p = set; p != nullptr && *p != 0; ++p)
            member[static_cast<uint8_t>(*p)] = true;
    }
    bool member[256] = {};
};

}  // namespace

uint32_t QELString::trimLeading(const char *set) {
    if (set == nullptr || *set == 0)
        return 0;
    ByteSet bytes(set);
    const auto *p = reinterpret_cast<const uint8_t *>(text());
    uint32_t n = length(), k = 0;
    while (k < n && bytes.member[p[k]])
        ++k;
    return dropFirst(k);
}

uint32_t QELString::trimTrailing(const char *set) {
    if (set == nullptr || *set == 0)
        return 0;
    ByteSet bytes(set);
    const auto *p = reinterpret_cast<const uint8_t *>(text());
    uint32_t n = length(), k = 0;
    while (k < n && bytes.member[p[n - 1 - k]])
        ++k;
    return dropLast(k);
}

uint32_t QELString::trim(const char *set) {
    uint32_t leading = trimLeading(set);
    return leading + trimTrailing(set);
}

uint32_t QELString::dropFirst(uint32_t n) {
    if (isLocked())
        return 0;
    n = std::min(n, length());
    if (n != 0)
        erase(0, n);
    return n;
}

uint32_t QELString::dropLast(uint32_t n) {
    if (isLocked())
        return 0;
    n = std::min(n, length());
    if (n != 0)
        setLength(length() - n);
    return n;
}

uint32_t QELString::stripTrailing(char c, uint32_t limit) {
    uint32_t n = length(), k = 0;
    const char *p = text();
    while (k < limit && k < n && p[n - 1 - k] == c)
        ++k;
    return dropLast(k);
}

void QELString::mapCase(const uint8_t *table, uint32_t start, uint32_t count) {
    uint32_t n = length();
    if (start >= n || count == 0 || isLocked())
        return;
    count = std::min(count, n - start);
    auto *p = reinterpret_cast<uint8_t *>(setLength(n)) + start;
    for (uint32_t i = 0; i < count; ++i)
        p[i] = table[p[i]];
}

void QELString::toUpper(uint32_t start, uint32_t count) { mapCase(QELUpperCaseTable, start, count); }

void QELString::toLower(uint32_t start, uint32_t count) { mapCase(QELLowerCaseTable, start, count); }

void QELString::reverse() {
    uint32_t n = length();
    if (n < 2 || isLocked())
        return;
    char *p = setLength(n);
    std::reverse(p, p + n);
}

namespace {

bool needsURLEncoding(uint8_t c, bool encodePathCharacters) {
    if (c == 0x20 || (c >= 0x22 && c <= 0x26) || c == 0x2B || (c >= 0x3B && c <= 0x40) ||
        (c >= 0x5B && c <= 0x5E) || c == 0x60 || (c >= 0x7B && c <= 0x7D))
        return true;
    return encodePathCharacters && (c == 0x2F || c == 0x3A || c == 0x7E);
}

}  // namespace

bool QELString::urlEncode(bool encodePathCharacters) {
    if (isLocked())
        return false;
    const uint32_t n = length();
    const auto *source = reinterpret_cast<const uint8_t *>(text());
    uint32_t encoded = 0;
    for (uint32_t i = 0; i < n; ++i)
        if (needsURLEncoding(source[i], encodePathCharacters))
            ++encoded;
    if (encoded == 0)
        return false;
    // Each encoded byte becomes "%" and two hexadecimal digits. Working from the last
    // byte towards the first never overwrites a byte that is still to be read.
    static const char kHex[] = "0123456789ABCDEF";
    char *p = setLength(lengthAfterAdding(n, 2 * uint64_t(encoded)));
    uint32_t read = n, write = length();
    while (read > 0) {
        auto c = static_cast<uint8_t>(p[--read]);
        if (needsURLEncoding(c, encodePathCharacters)) {
            p[--write] = kHex[c & 0x0F];
            p[--write] = kHex[c >> 4];
            p[--write] = '%';
        } else {
            p[--write] = static_cast<char>(c);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Queries

QELString QELString::substring(uint32_t start, uint32_t count) const {
    uint32_t n = length();
    if (start >= n)
        return QELString();
    count = std::min(count, n - start);
    if (start == 0 && count == n)
        return *this;
    return QELString(text() + start, count);
}

QELString QELString::operator+(const QELString &other) const {
    QELString result;
    result.reserve(lengthAfterAdding(length(), other.length()));
    result.appendBytes(text(), length());
    result.appendBytes(other.text(), other.length());
    return result;
}

QELString QELString::operator+(const char *text) const {
    uint32_t count = textLength(text);
    QELString result;
    result.reserve(lengthAfterAdding(length(), count));
    result.appendBytes(this->text(), length());
    result.appendBytes(text, count);
    return result;
}

QELString QELString::urlEncoded(bool encodePathCharacters) const {
    QELString copy(*this);
    URLEncodeInPlace(copy, encodePathCharacters);
    return copy;
}

bool QELString::find(const char *pattern, uint32_t count, uint32_t *position, uint32_t start, uint32_t range,
                     uint32_t flags) const {
    if (pattern == nullptr || count == 0)
        return false;
    return Searcher(pattern, count, flags)
        .find(reinterpret_cast<const uint8_t *>(text()), length(), start, range, position);
}

bool QELString::find(const char *pattern, uint32_t *position, uint32_t start, uint32_t range,
                     uint32_t flags) const {
    return find(pattern, textLength(pattern), position, start, range, flags);
}

bool QELString::find(const QELString &pattern, uint32_t *position, uint32_t start, uint32_t range,
                     uint32_t flags) const {
    return find(pattern.text(), pattern.length(), position, start, range, flags);
}

bool QELString::contains(const char *pattern, uint32_t flags) const {
    return find(pattern, nullptr, 0, kAll, flags & kIgnoreCase);
}

namespace {

bool hasPrefix(const QELString &s, const char *pattern, uint32_t count, uint32_t flags, bool atEnd) {
    if (pattern == nullptr || count == 0 || count > s.length())
        return false;
    const auto *p = reinterpret_cast<const uint8_t *>(s.text()) + (atEnd ? s.length() - count : 0);
    return equalBytes(p, reinterpret_cast<const uint8_t *>(pattern), count, (flags & QELString::kIgnoreCase) != 0);
}

}  // namespace

bool QELString::startsWith(const char *pattern, uint32_t flags) const {
    return hasPrefix(*this, pattern, textLength(pattern), flags, false);
}

bool QELString::startsWith(const QELString &pattern, uint32_t flags) const {
    return hasPrefix(*this, pattern.text(), pattern.length(), flags, false);
}

bool QELString::endsWith(const char *pattern, uint32_t flags) const {
    return hasPrefix(*this, pattern, textLength(pattern), flags, true);
}

bool QELString::endsWith(const QELString &pattern, uint32_t flags) const {
    return hasPrefix(*this, pattern.text(), pattern.length(), flags, true);
}

QELString::CompareResult QELString::compare(const QELString &other, uint32_t flags) const {
    if (buffer_ == other.buffer_)
        return kEqual;
    const auto *a = reinterpret_cast<const int8_t *>(text());
    const auto *b = reinterpret_cast<const int8_t *>(other.text());
    const uint32_t n = length(), m = other.length(), common = std::min(n, m);
    if (flags & kIgnoreCase) {
        for (uint32_t i = 0; i < common; ++i) {
            auto x = static_cast<int8_t>(upper(static_cast<uint8_t>(a[i])));
            auto y = static_cast<int8_t>(upper(static_cast<uint8_t>(b[i])));
            if (x != y)
                return x < y ? kLess : kGreater;
        }
    } else if (std::memcmp(a, b, common) != 0) {
        for (uint32_t i = 0; i < common; ++i)
            if (a[i] != b[i])
                return a[i] < b[i] ? kLess : kGreater;
    }
    if (n == m)
        return kEqual;
    return n < m ? kLess : kGreater;
}

double QELString::toDouble() const {
    const char *p = text();
    const char *end = p + length();
    // Leading white space as the C locale knows it.
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r')))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end || *p == '+' || *p == '-')
        return 0;
    double value = 0;
    std::from_chars_result result = std::from_chars(p, end, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: infinity or zero, by the decimal exponent.
        int64_t magnitude = 0;
        const char *q = p;
        while (q < end && *q == '0')
            ++q;
        const char *digits = q;
        while (q < end && *q >= '0' && *q <= '9')
            ++q;
        magnitude = q - digits;
        if (q < end && *q == '.') {
            ++q;
            if (magnitude == 0) {
                const char *zeros = q;
                while (q < end && *q == '0')
                    ++q;
                magnitude = -(q - zeros);
            }
            while (q < end && *q >= '0' && *q <= '9')
                ++q;
        }
        if (q < end && (*q == 'e' || *q == 'E')) {
            ++q;
            bool negativeExponent = false;
            if (q < end && (*q == '+' || *q == '-'))
                negativeExponent = *q++ == '-';
            int64_t exponent = 0;
            while (q < end && *q >= '0' && *q <= '9' && exponent < 100000)
                exponent = exponent * 10 + (*q++ - '0');
            magnitude += negativeExponent ? -exponent : exponent;
        }
        value = magnitude > 0 ? HUGE_VAL : 0.0;
    } else if (result.ec != std::errc()) {
        return 0;
    }
    return negative ? -value : value;
}

// ---------------------------------------------------------------------------------------
// Direct write access

char *QELString::beginWrite(uint32_t n) {
    if (buffer_->locked_)
        return nullptr;
    char *p = setLength(n);
    buffer_->locked_ = true;
    return p;
}

bool QELString::endWrite(int32_t newLength) {
    QELStringBuffer *b = buffer_;
    if (!b->locked_)
        return false;
    // The writer had at most capacity - 1 bytes; the byte after them stays the NUL.
    uint32_t limit = b->capacity() - 1;
    uint32_t n;
    if (newLength < 0) {
        const void *nul = std::memchr(b->chars(), 0, limit);
        n = nul != nullptr ? static_cast<uint32_t>(static_cast<const char *>(nul) - b->chars()) : limit;
    } else {
        n = std::min(static_cast<uint32_t>(newLength), limit);
    }
    b->length_ = n;
    b->chars()[n] = 0;
    b->locked_ = false;
    return true;
}

// ---------------------------------------------------------------------------------------
// Module-wide helpers

bool IsTrueText(const QELString &text) {
    static const char *const kTrueTexts[] = {"true", "t", "yes", "y", "on", "1"};
    for (const char *candidate : kTrueTexts) {
        uint32_t n = static_cast<uint32_t>(std::strlen(candidate));
        if (text.length() == n &&
            equalBytes(reinterpret_cast<const uint8_t *>(text.text()), reinterpret_cast<const uint8_t *>(candidate), n,
                       true))
            return true;
    }
    return false;
}

bool URLEncodeInPlace(QELString &text, bool encodePathCharacters) { return text.urlEncode(encodePathCharacters); }
