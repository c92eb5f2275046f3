// ServiceBuffer.cpp: output buffers for host services and the 'MBtS' repeat.
#include "module/ServiceBuffer.h"

#include <cstring>

QELInputCopy::QELInputCopy(const QELString &text) : block_(text.length() + 1), count_(text.length() + 1) {
    std::memcpy(block_.data(), text.text(), count_);
}

QELServiceBuffer::QELServiceBuffer(uint32_t capacity, const QELString *input) : input_(input) {
    if (input_ != nullptr && capacity <= input_->length())
        capacity = input_->length() + 1;
    capacity_ = capacity;
    fill();
}

void QELServiceBuffer::fill() {
    // One spare byte so that even a zero capacity has a valid, terminated block.
    block_.resize(capacity_ + 1);
    uint8_t *bytes = block_.data();
    if (input_ != nullptr)
        std::memcpy(bytes, input_->text(), input_->length() + 1);
    else
        bytes[0] = 0;
    bytes[capacity_] = 0;
    size_ = capacity_;
}

void QELServiceBuffer::resizeToReported(bool growOnly) {
    uint32_t reported = size_;
    if (reported > kLargestAnswer) {
        size_ = capacity_;
        throw QELObject::MemoryAllocationFailure();
    }
    if (growOnly && reported < capacity_)
        reported = capacity_;
    if (input_ != nullptr && reported < input_->length() + 1)
        reported = input_->length() + 1;
    capacity_ = reported;
    fill();
}

QELString QELServiceBuffer::answer() const {
    if (size_ <= capacity_)
        return QELString(reinterpret_cast<const char *>(block_.data()), size_);
    // A size beyond the buffer is no size: the answer ends at its terminator, or at the
    // end of the buffer.
    const void *end = std::memchr(block_.data(), 0, capacity_);
    uint32_t length =
        end == nullptr ? capacity_ : static_cast<uint32_t>(static_cast<const uint8_t *>(end) - block_.data());
    return QELString(reinterpret_cast<const char *>(block_.data()), length);
}
