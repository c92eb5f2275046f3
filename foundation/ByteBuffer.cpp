// ByteBuffer.cpp: an owned block of module memory.
#include "foundation/ByteBuffer.h"

#include <cstring>

QELByteBuffer::QELByteBuffer(uint32_t size, uint32_t flags) { resize(size, flags); }

QELByteBuffer::QELByteBuffer(const QELByteBuffer &other) : QELObject() {
    resize(other.size_);
    if (other.size_ != 0)
        std::memcpy(data_, other.data_, other.size_);
}

QELByteBuffer &QELByteBuffer::operator=(const QELByteBuffer &other) {
    if (this != &other) {
        resize(other.size_);
        if (other.size_ != 0)
            std::memcpy(data_, other.data_, other.size_);
    }
    return *this;
}

QELByteBuffer::~QELByteBuffer() { QELRelease(data_); }

uint8_t *QELByteBuffer::resize(uint32_t newSize, uint32_t flags) {
    if (newSize > size_) {
        auto *block = static_cast<uint8_t *>(QELAllocateOrThrow(newSize));
        if (flags & kZero)
            std::memset(block, 0, newSize);
        if ((flags & kKeep) && data_ != nullptr)
            std::memcpy(block, data_, size_);
        QELRelease(data_);
        data_ = block;
    }
    size_ = newSize;
    return data_;
}
