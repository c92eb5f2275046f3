// Array.cpp: growth, insertion and clearing of QELArray. The block grows
// geometrically, and every slot that growth adds starts at 0.
#include "foundation/Array.h"

#include <cstring>

QELArray::QELArray(QELArrayDisposeFunction disposeFunction) : disposeFunction_(disposeFunction) {}

QELArray::QELArray(QELArray &&other) noexcept
    : items_(other.items_), count_(other.count_), capacity_(other.capacity_),
      disposeFunction_(other.disposeFunction_) {
    other.items_ = nullptr;
    other.count_ = 0;
    other.capacity_ = 0;
}

QELArray &QELArray::operator=(QELArray &&other) noexcept {
    if (this != &other) {
        clear();
        items_ = other.items_;
        count_ = other.count_;
        capacity_ = other.capacity_;
        disposeFunction_ = other.disposeFunction_;
        other.items_ = nullptr;
        other.count_ = 0;
        other.capacity_ = 0;
    }
    return *this;
}

QELArray::~QELArray() { clear(); }

void QELArray::resize(uint32_t n) {
    if (n > capacity_) {
        uint64_t grown = static_cast<uint64_t>(capacity_) * 2;
        if (grown < 8)
            grown = 8;
        if (grown > UINT32_MAX)
            grown = UINT32_MAX;
        uint32_t newCapacity = n > grown ? n : static_cast<uint32_t>(grown);
        auto *block = static_cast<uintptr_t *>(
            QELAllocateOrThrow(static_cast<size_t>(newCapacity) * sizeof(uintptr_t)));
        if (count_ != 0)
            std::memcpy(block, items_, static_cast<size_t>(count_) * sizeof(uintptr_t));
        QELRelease(items_);
        items_ = block;
        capacity_ = newCapacity;
    }
    if (n > count_ && n - count_ == 1)
        items_[count_] = 0;  // one slot: the common case of insert and append
    else if (n > count_)
        std::memset(items_ + count_, 0, static_cast<size_t>(n - count_) * sizeof(uintptr_t));
    count_ = n;
}

uintptr_t *QELArray::at(uint32_t index) {
    if (index >= count_) {
        // Slot UINT32_MAX would need 2^32 slots, which no count can describe.
        if (index == UINT32_MAX)
            throw QELObject::MemoryAllocationFailure();
        resize(index + 1);
    }
    return items_ + index;
}

uintptr_t QELArray::insert(uintptr_t value, uint32_t index) {
    if (count_ == UINT32_MAX)
        throw QELObject::MemoryAllocationFailure();
    uint32_t oldCount = count_;
    if (index > oldCount)
        index = oldCount;
    resize(oldCount + 1);
    if (index < oldCount)
        std::memmove(items_ + index + 1, items_ + index,
                     static_cast<size_t>(oldCount - index) * sizeof(uintptr_t));
    items_[index] = value;
    return value;
}

void QELArray::clear() {
    if (disposeFunction_ != nullptr) {
        for (uint32_t i = 0; i < count_; ++i)
            disposeFunction_(items_ + i);
    }
    QELRelease(items_);
    items_ = nullptr;
    count_ = 0;
    capacity_ = 0;
}
