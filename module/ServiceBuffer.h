// ServiceBuffer.h: a module-owned buffer handed to a host output service (capacity on
// entry, answer length on return) and the one-resize repeat after 'MBtS'.
#pragma once

#include <cstdint>

#include "foundation/ByteBuffer.h"
#include "foundation/String.h"
#include "module/HostInterface.h"

class QELServiceBuffer : public QELObject {
public:
    // A buffer of the given capacity; an input copy (in/out services) is written into
    // it with its terminator, and the capacity grows to hold it when needed.
    explicit QELServiceBuffer(uint32_t capacity, const QELString *input = nullptr);

    void *data() { return block_.data(); }
    // The size argument: the capacity on entry, the host's answer on return.
    uint32_t *size() { return &size_; }
    uint32_t capacity() const { return capacity_; }

    // After 'MBtS': the buffer becomes exactly the size the host reported (never
    // smaller than an input copy needs; never shrinking when growOnly), the input is
    // copied in again, and the size argument is reset to the capacity. A size beyond
    // kLargestAnswer is a failed allocation: QELObject::MemoryAllocationFailure is thrown
    // (the request answers 'MGen'), the buffer unchanged.
    void resizeToReported(bool growOnly = false);

    // No host answer is taken that is larger than this (256 MiB).
    static constexpr uint32_t kLargestAnswer = 256u << 20;
    // The answer: the first size bytes; for a size beyond the buffer, the bytes up to the
    // first NUL within it (or all of it).
    QELString answer() const;

private:
    void fill();

    QELByteBuffer block_;
    uint32_t capacity_ = 0;
    uint32_t size_ = 0;
    const QELString *input_;
};

// An input text for the host: a copy of the bytes and their terminator in a block that
// nothing else shares, so a host that writes into its argument changes no string of the
// module; count() is the count argument (length + 1).
class QELInputCopy : public QELObject {
public:
    explicit QELInputCopy(const QELString &text);

    char *bytes() { return reinterpret_cast<char *>(block_.data()); }
    uint32_t *count() { return &count_; }
    uint32_t length() const { return count_ - 1; }

private:
    QELByteBuffer block_;
    uint32_t count_;
};

// Calls a service once and, when the host answers 'MBtS', resizes the buffers to the
// sizes it reported and calls once more; the second answer is final. Throws
// QELObject::MemoryAllocationFailure when a reported size cannot be had.
template <typename Call>
int32_t CallWithRetry(Call call, QELServiceBuffer &first, QELServiceBuffer *second = nullptr) {
    int32_t answer = call();
    if (static_cast<uint32_t>(answer) == QEL_ANSWER_BUFFER_TOO_SMALL) {
        first.resizeToReported(second != nullptr);
        if (second != nullptr)
            second->resizeToReported(true);
        answer = call();
    }
    return answer;
}
