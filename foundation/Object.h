// Object.h: the root class of every module object and the module's one source of
// memory, which switches to the host's allocator once the host has installed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "foundation/Exception.h"

typedef void *(*QELHostAllocate)(uint32_t size);
typedef void (*QELHostRelease)(void *block);

// Stores the host's memory functions (either may be null). Called when the host
// initialises the module; blocks handed out before keep going back to the runtime heap.
void InstallHostMemoryFunctions(QELHostAllocate allocate, QELHostRelease release);

// A block of at least size bytes, aligned to 16 bytes, preceded by a marker byte that
// tells where it came from. Returns null when the host's allocator returns null or the
// size cannot be represented; throws QELObject::MemoryAllocationFailure when the runtime
// heap is exhausted.
void *QELAllocate(size_t size);

// Gives a block back to where it came from; null is ignored. A host block goes only to
// the host's release function, and is left alone when none is installed.
void QELRelease(void *block);

// As QELAllocate, but every failure throws QELObject::MemoryAllocationFailure. Used by
// the classes that cannot continue without their memory.
void *QELAllocateOrThrow(size_t size);

class QELObject {
public:
    class MemoryAllocationFailure : public QELException {
    public:
        const char *what() const noexcept override;
    };

    QELObject() = default;
    QELObject(const QELObject &) = default;
    QELObject &operator=(const QELObject &) = default;
    virtual ~QELObject();

    // Every module object lives in module memory. A failed allocation throws
    // MemoryAllocationFailure, which the entry point answers with 'MGen'.
    static void *operator new(size_t size);
    static void *operator new[](size_t size);
    static void operator delete(void *block) noexcept;
    static void operator delete[](void *block) noexcept;
    static void *operator new(size_t, void *place) noexcept { return place; }
    static void operator delete(void *, void *) noexcept {}
};
