// String.h: QELString, the module's byte string: stored length, trailing NUL, embedded
// NULs allowed, copy-on-write over a shared, reference-counted QELStringBuffer.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/ByteBuffer.h"

// ASCII case maps; bytes 0x80-0xFF map to themselves.
extern const uint8_t QELUpperCaseTable[256];
extern const uint8_t QELLowerCaseTable[256];

// The shared storage of one or more QELString values. The inherited size is the
// capacity; capacity > length and the byte at length is always 0.
class QELStringBuffer : public QELByteBuffer {
public:
    // A buffer for n bytes: capacity is the next multiple of 32 above n, length n.
    explicit QELStringBuffer(uint32_t n);
    ~QELStringBuffer() override;

    uint32_t capacity() const { return size(); }
    uint32_t length() const { return length_; }
    char *chars() { return reinterpret_cast<char *>(data()); }
    const char *chars() const { return reinterpret_cast<const char *>(data()); }

    // Reference counts are atomic: strings that share a buffer may live on different
    // threads (a request and a delivery job).
    void addReference() { referenceCount_.fetch_add(1, std::memory_order_relaxed); }
    // Drops one reference and destroys the buffer when it was the last.
    void dropReference();
    bool isShared() const { return referenceCount_.load(std::memory_order_acquire) != 1; }
    int32_t referenceCount() const { return referenceCount_.load(std::memory_order_acquire); }

    // The module-wide empty buffer: created on first use, never destroyed.
    static QELStringBuffer *empty();

private:
    friend class QELString;
    uint32_t length_ = 0;
    std::atomic<int32_t> referenceCount_{1};
    bool locked_ = false;
};

class QELString : public QELObject {
public:
    // Flags of find, startsWith, endsWith, compare and replaceAll.
    enum Flags : uint32_t { kIgnoreCase = 1u, kBackward = 2u, kRescan = 4u };
    // compare results; their bytes in memory spell "Less", "Equ " and "Grtr".
    enum CompareResult : uint32_t { kLess = 0x7373654Cu, kEqual = 0x20757145u, kGreater = 0x72747247u };
    // "Up to the end" for counts and ranges; "from the end" for a backward start.
    static constexpr uint32_t kAll = UINT32_MAX;

    QELString();
    explicit QELString(char c);
    QELString(const char *bytes, uint32_t count);
    QELString(const char *text);  // NOLINT: a literal converts to a string implicitly
    QELString(const QELString &other);
    QELString(QELString &&other);
    ~QELString() override;

    QELString &operator=(const QELString &other);
    QELString &operator=(QELString &&other);
    QELString &operator=(const char *text);
    QELString &operator=(char c);
    QELString &assign(const char *bytes, uint32_t count);
    // Drops the buffer and shares the module-wide empty one.
    void clear();

    // Access. text() is NUL-terminated and valid until the next change.
    uint32_t length() const { return buffer_->length_; }
    bool isEmpty() const { return buffer_->length_ == 0; }
    const char *text() const { return buffer_->chars(); }
    // No bounds check: index < length, or == length to read the NUL.
    char at(uint32_t index) const { return buffer_->chars()[index]; }
    char operator[](uint32_t index) const { return buffer_->chars()[index]; }
    void setAt(uint32_t index, char c);
    // Copies min(length, capacity - 1) bytes and a NUL; returns the count (0 for null).
    uint32_t copyTo(char *array, uint32_t capacity) const;
    // The bytes without the NUL, in a buffer of exactly length bytes.
    QELByteBuffer bytes() const;

    // Changing operations; each makes the buffer unique first.
    QELString &append(char c) {
        QELStringBuffer *b = buffer_;
        uint32_t n = b->length_;
        if (n + 1 < b->capacity() && !b->isShared() && !b->locked_) {
            char *p = b->chars();
            p[n] = c;
            p[n + 1] = 0;
            b->length_ = n + 1;
            return *this;
        }
        return appendBytes(&c, 1);
    }
    QELString &append(const char *text);
    QELString &append(const QELString &other);
    QELString &append(const char *bytes, uint32_t count) { return appendBytes(bytes, count); }
    QELString &operator+=(char c) { return append(c); }
    QELString &operator+=(const char *text) { return append(text); }
    QELString &operator+=(const QELString &other) { return append(other); }

    // The position is clamped to length; later bytes move up.
    void insert(const char *bytes, uint32_t count, uint32_t position);
    void insert(const char *text, uint32_t position);
    void insert(const QELString &other, uint32_t position);
    // Removes count bytes (clamped) from start; the removed bytes go to removed when
    // given. A start at or past the end removes nothing and empties removed.
    void erase(uint32_t start, uint32_t count, QELString *removed = nullptr);
    // Replaces count bytes (clamped) at start; returns the change in length, 0 when
    // start is at or past the end.
    int32_t replace(uint32_t start, uint32_t count, const char *bytes, uint32_t byteCount);
    // Replaces every match of the pattern; returns the number of replacements.
    uint32_t replaceAll(const char *pattern, uint32_t count, const QELString &replacement, uint32_t flags = 0);
    uint32_t replaceAll(const char *pattern, const QELString &replacement, uint32_t flags = 0);
    uint32_t replaceAll(const QELString &pattern, const QELString &replacement, uint32_t flags = 0);
    // Removes the longest prefix / suffix / both made of bytes in set; returns the count.
    uint32_t trimLeading(const char *set);
    uint32_t trimTrailing(const char *set);
    uint32_t trim(const char *set);
    uint32_t dropFirst(uint32_t n);
    uint32_t dropLast(uint32_t n);
    // Removes up to limit trailing copies of c; returns how many.
    uint32_t stripTrailing(char c, uint32_t limit);
    void toUpper(uint32_t start = 0, uint32_t count = kAll);
    void toLower(uint32_t start = 0, uint32_t count = kAll);
    void reverse();
    // Percent-encodes in place; true when any byte was encoded.
    bool urlEncode(bool encodePathCharacters);
    // Room for n bytes without changing the length.
    void reserve(uint32_t n);

    // Queries.
    QELString substring(uint32_t start, uint32_t count = kAll) const;
    QELString operator+(const QELString &other) const;
    QELString operator+(const char *text) const;
    QELString urlEncoded(bool encodePathCharacters) const;
    // Searches count pattern bytes within range bytes from start (forwards), or in the
    // range bytes that end at start (kBackward; start kAll means the last byte).
    // On success stores the match position and returns true.
    bool find(const char *pattern, uint32_t count, uint32_t *position, uint32_t start = 0,
              uint32_t range = kAll, uint32_t flags = 0) const;
    bool find(const char *pattern, uint32_t *position, uint32_t start = 0, uint32_t range = kAll,
              uint32_t flags = 0) const;
    bool find(const QELString &pattern, uint32_t *position, uint32_t start = 0, uint32_t range = kAll,
              uint32_t flags = 0) const;
    bool contains(const char *pattern, uint32_t flags = 0) const;
    bool startsWith(const char *pattern, uint32_t flags = 0) const;
    bool startsWith(const QELString &pattern, uint32_t flags = 0) const;
    bool endsWith(const char *pattern, uint32_t flags = 0) const;
    bool endsWith(const QELString &pattern, uint32_t flags = 0) const;
    // Bytes compare as signed 8-bit values; kIgnoreCase compares upper-case forms.
    CompareResult compare(const QELString &other, uint32_t flags = 0) const;
    bool equals(const QELString &other) const { return compare(other) == kEqual; }
    bool notEquals(const QELString &other) const { return compare(other) != kEqual; }
    bool equalsIgnoringCase(const QELString &other) const { return compare(other, kIgnoreCase) == kEqual; }
    bool operator==(const QELString &other) const { return equals(other); }
    bool operator!=(const QELString &other) const { return !equals(other); }
    // The decimal number at the start of the text (leading blanks skipped); 0 when none.
    double toDouble() const;

    // Direct write access: a pointer to n writable bytes of a unique buffer, or null
    // when the string is locked. endWrite sets the length (-1: up to the first NUL),
    // writes the NUL and unlocks; false when the string was not locked.
    // While locked the buffer is the writer's alone: a copy of the string gets the bytes
    // as they are at that moment in a buffer of its own, and every change of the string
    // (append, assignment, clear, ...) is refused and leaves it as it is. The string must
    // outlive the write.
    char *beginWrite(uint32_t n);
    bool endWrite(int32_t newLength);
    bool isLocked() const { return buffer_->locked_; }

    // For tests and diagnostics.
    bool sharesBufferWith(const QELString &other) const { return buffer_ == other.buffer_; }
    int32_t referenceCount() const { return buffer_->referenceCount(); }
    uint32_t capacity() const { return buffer_->capacity(); }

private:
    // The buffer for a new holder of buffer: buffer itself with one more reference, or a
    // copy of its bytes while a writer holds it locked.
    static QELStringBuffer *shareBuffer(QELStringBuffer *buffer);
    QELString &appendBytes(const char *bytes, uint32_t count);
    // Maps count bytes from start through a case table.
    void mapCase(const uint8_t *table, uint32_t start, uint32_t count);
    // Makes the buffer unique with length n (contents kept up to min(old, n)) and writes
    // the NUL. growForAppend lets a unique buffer grow geometrically.
    char *setLength(uint32_t n, bool growForAppend = false);

    QELStringBuffer *buffer_;
};

// True when the text is, ignoring case, "true", "t", "yes", "y", "on" or "1".
bool IsTrueText(const QELString &text);
// Percent-encodes the bytes that URLs reserve; "/", ":" and "~" only with the flag.
bool URLEncodeInPlace(QELString &text, bool encodePathCharacters);
