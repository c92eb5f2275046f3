// ByteBuffer.h: an owned block of bytes from module memory, with an explicit size and
// a resize that can zero or keep the contents.
#pragma once

#include <cstdint>

#include "foundation/Object.h"

class QELByteBuffer : public QELObject {
public:
    enum ResizeFlags : uint32_t { kZero = 1u, kKeep = 2u };

    QELByteBuffer() = default;
    // Starts empty, then resizes to size with the given flags.
    explicit QELByteBuffer(uint32_t size, uint32_t flags = 0);
    QELByteBuffer(const QELByteBuffer &other);
    QELByteBuffer &operator=(const QELByteBuffer &other);
    ~QELByteBuffer() override;

    // Growing takes a new block of exactly newSize bytes (zeroed with kZero, holding
    // the old bytes with kKeep); shrinking keeps the block. Returns the data pointer.
    // Throws QELObject::MemoryAllocationFailure when no block can be had.
    uint8_t *resize(uint32_t newSize, uint32_t flags = 0);

    uint8_t *data() { return data_; }
    const uint8_t *data() const { return data_; }
    uint8_t *at(uint32_t offset) { return data_ + offset; }
    const uint8_t *at(uint32_t offset) const { return data_ + offset; }
    uint32_t size() const { return size_; }

private:
    uint8_t *data_ = nullptr;
    uint32_t size_ = 0;
};
