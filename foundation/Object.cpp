// Object.cpp: module memory (marker-byte blocks from the host or the runtime heap) and
// the object root's allocation operators.
#include "foundation/Object.h"

#include <atomic>
#include <cstdlib>

namespace {

// Each block is preceded by a 16-byte header whose last byte is the marker, so that
// blocks keep the 16-byte alignment of their source.
constexpr size_t kHeaderSize = 16;
constexpr uint8_t kHostMarker = 0x55;
constexpr uint8_t kHeapMarker = 0xAA;

// Written when the host initialises the module, read by every allocation, possibly on
// delivery threads: atomics keep those reads well defined.
std::atomic<QELHostAllocate> gHostAllocate{nullptr};
std::atomic<QELHostRelease> gHostRelease{nullptr};

}  // namespace

void InstallHostMemoryFunctions(QELHostAllocate allocate, QELHostRelease release) {
    gHostAllocate.store(allocate, std::memory_order_release);
    gHostRelease.store(release, std::memory_order_release);
}

void *QELAllocate(size_t size) {
    QELHostAllocate hostAllocate = gHostAllocate.load(std::memory_order_acquire);
    if (hostAllocate != nullptr) {
        if (size > UINT32_MAX - kHeaderSize)
            return nullptr;
        auto *start = static_cast<uint8_t *>(hostAllocate(static_cast<uint32_t>(size + kHeaderSize)));
        if (start == nullptr)
            return nullptr;
        start[kHeaderSize - 1] = kHostMarker;
        return start + kHeaderSize;
    }
    if (size > SIZE_MAX - kHeaderSize)
        return nullptr;
    auto *start = static_cast<uint8_t *>(std::malloc(size + kHeaderSize));
    if (start == nullptr)
        throw QELObject::MemoryAllocationFailure();
    start[kHeaderSize - 1] = kHeapMarker;
    return start + kHeaderSize;
}

void QELRelease(void *block) {
    if (block == nullptr)
        return;
    uint8_t *start = static_cast<uint8_t *>(block) - kHeaderSize;
    if (start[kHeaderSize - 1] == kHostMarker) {
        // A host block never goes to the runtime heap; without a release function it
        // is left to the host.
        if (QELHostRelease hostRelease = gHostRelease.load(std::memory_order_acquire))
            hostRelease(start);
        return;
    }
    std::free(start);
}

void *QELAllocateOrThrow(size_t size) {
    void *block = QELAllocate(size);
    if (block == nullptr)
        throw QELObject::MemoryAllocationFailure();
    return block;
}

QELException::~QELException() = default;

QELException *QELException::duplicate() const { return new QELException(); }

const char *QELException::what() const noexcept { return "module exception"; }

void *QELException::operator new(size_t size) { return QELAllocateOrThrow(size); }

void QELException::operator delete(void *block) noexcept { QELRelease(block); }

const char *QELObject::MemoryAllocationFailure::what() const noexcept {
    return "memory allocation failure";
}

QELObject::~QELObject() = default;

void *QELObject::operator new(size_t size) { return QELAllocateOrThrow(size); }

void *QELObject::operator new[](size_t size) { return QELAllocateOrThrow(size); }

void QELObject::operator delete(void *block) noexcept { QELRelease(block); }

void QELObject::operator delete[](void *block) noexcept { QELRelease(block); }
