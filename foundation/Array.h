// Array.h: QELArray, the module's growable array of pointer-wide slots, optionally
// owning what its slots point to through a dispose function.
#pragma once

#include <cstdint>

#include "foundation/Object.h"

// Called with the address of one slot when an array that owns its items is cleared.
typedef void (*QELArrayDisposeFunction)(uintptr_t *slot);

class QELArray : public QELObject {
public:
    explicit QELArray(QELArrayDisposeFunction disposeFunction = nullptr);
    // An array may own what its slots point to, so it is moved, never copied.
    QELArray(const QELArray &) = delete;
    QELArray &operator=(const QELArray &) = delete;
    QELArray(QELArray &&other) noexcept;
    QELArray &operator=(QELArray &&other) noexcept;
    // Clears the array (disposing of every slot when a dispose function is set).
    ~QELArray() override;

    // Sets the number of slots to n. Slots added by growth hold 0; shrinking keeps the
    // block and disposes of nothing. Throws QELObject::MemoryAllocationFailure when
    // the slots cannot be had.
    virtual void resize(uint32_t n);

    // The address of slot index; an index at or beyond count() first grows the array
    // to index + 1 slots. The address stays valid until the array next grows.
    uintptr_t *at(uint32_t index);
    // The value of slot index, or 0 when index is at or beyond count().
    uintptr_t value(uint32_t index) const { return index < count_ ? items_[index] : 0; }
    // Stores value at index (clamped to count()), moving later slots up; returns value.
    uintptr_t insert(uintptr_t value, uint32_t index);
    uintptr_t append(uintptr_t value) { return insert(value, count_); }
    // Passes the address of every slot, first to last, to the dispose function when one
    // is set, then releases the block; count() becomes 0.
    void clear();

    uint32_t count() const { return count_; }
    bool isEmpty() const { return count_ == 0; }
    // The slots themselves (null while the array has never grown).
    const uintptr_t *items() const { return items_; }
    QELArrayDisposeFunction disposeFunction() const { return disposeFunction_; }

private:
    uintptr_t *items_ = nullptr;
    uint32_t count_ = 0;
    // Slots in the block. The block grows geometrically so that appending n slots costs
    // O(n) overall; only count_ slots are in use.
    uint32_t capacity_ = 0;
    QELArrayDisposeFunction disposeFunction_;
};
