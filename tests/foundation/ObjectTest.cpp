// ObjectTest.cpp: tests of module memory: marker bytes, alignment, where each block goes
// back to once the host's functions are installed, and failed allocations.
#include "foundation/Object.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// Host memory for the tests: blocks come from a static pool, so that handing one to the
// runtime heap's free() would be caught at once.
alignas(16) uint8_t gPool[4096];
size_t gPoolUsed = 0;
int gAllocateCalls = 0;
int gReleaseCalls = 0;
void *gLastReleased = nullptr;

void *poolAllocate(uint32_t size) {
    ++gAllocateCalls;
    size_t rounded = (size + 15u) & ~size_t(15);
    if (gPoolUsed + rounded > sizeof gPool)
        return nullptr;
    void *block = gPool + gPoolUsed;
    gPoolUsed += rounded;
    return block;
}

void countRelease(void *block) {
    ++gReleaseCalls;
    gLastReleased = block;
}

void *failingAllocate(uint32_t) {
    ++gAllocateCalls;
    return nullptr;
}

class ModuleMemory : public ::testing::Test {
protected:
    void SetUp() override {
        gPoolUsed = 0;
        gAllocateCalls = gReleaseCalls = 0;
        gLastReleased = nullptr;
    }
    void TearDown() override { InstallHostMemoryFunctions(nullptr, nullptr); }
};

uint8_t markerOf(void *block) { return static_cast<uint8_t *>(block)[-1]; }

TEST_F(ModuleMemory, ZeroSizeGivesDistinctUsableBlocks) {
    void *a = QELAllocate(0);
    void *b = QELAllocate(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    QELRelease(a);
    QELRelease(b);
    QELRelease(nullptr);
}

TEST_F(ModuleMemory, EveryBlockIsAlignedAndMarked) {
    std::vector<void *> heapBlocks;
    for (size_t size : {0, 1, 7, 15, 16, 17, 100, 1000}) {
        void *block = QELAllocate(size);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << size;
        EXPECT_EQ(markerOf(block), 0xAA);
        heapBlocks.push_back(block);
    }
    InstallHostMemoryFunctions(poolAllocate, countRelease);
    for (size_t size : {0, 1, 7, 15, 16, 17, 100}) {
        void *block = QELAllocate(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << size;
        EXPECT_EQ(markerOf(block), 0x55);
        QELRelease(block);
        EXPECT_EQ(gLastReleased, static_cast<uint8_t *>(block) - 16);
    }
    EXPECT_EQ(gAllocateCalls, 7);
    EXPECT_EQ(gReleaseCalls, 7);
    // Blocks from before the host's functions go back to the runtime heap.
    for (void *block : heapBlocks)
        QELRelease(block);
    EXPECT_EQ(gReleaseCalls, 7);
}

TEST_F(ModuleMemory, HostBlockWithoutReleaseFunctionIsLeftAlone) {
    InstallHostMemoryFunctions(poolAllocate, nullptr);
    void *block = QELAllocate(32);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(markerOf(block), 0x55);
    // A pool block handed to free() would fail loudly here.
    QELRelease(block);
    EXPECT_EQ(gReleaseCalls, 0);
}

TEST_F(ModuleMemory, HostAllocatorFailure) {
    InstallHostMemoryFunctions(failingAllocate, countRelease);
    EXPECT_EQ(QELAllocate(10), nullptr);
    EXPECT_THROW(QELAllocateOrThrow(10), QELObject::MemoryAllocationFailure);
    EXPECT_THROW(new QELObject(), QELObject::MemoryAllocationFailure);
    EXPECT_EQ(gAllocateCalls, 3);
    // Sizes whose header would overflow the host's 32-bit count never reach the host.
    EXPECT_EQ(QELAllocate(UINT32_MAX), nullptr);
    EXPECT_EQ(gAllocateCalls, 3);
}

TEST_F(ModuleMemory, ImpossibleHeapSizeFails) {
    EXPECT_EQ(QELAllocate(SIZE_MAX), nullptr);
    EXPECT_THROW(QELAllocateOrThrow(SIZE_MAX - 8), QELObject::MemoryAllocationFailure);
}

TEST_F(ModuleMemory, ObjectsLiveInHostMemoryAfterInstall) {
    InstallHostMemoryFunctions(poolAllocate, countRelease);
    QELObject *object = new QELObject();
    EXPECT_EQ(gAllocateCalls, 1);
    EXPECT_EQ(markerOf(object), 0x55);
    delete object;
    EXPECT_EQ(gReleaseCalls, 1);
}

TEST(QELException, HierarchyAndDuplicate) {
    try {
        throw QELObject::MemoryAllocationFailure();
    } catch (const QELException &e) {
        EXPECT_NE(dynamic_cast<const QELObject::MemoryAllocationFailure *>(&e), nullptr);
        QELException *copy = e.duplicate();
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(dynamic_cast<QELObject::MemoryAllocationFailure *>(copy), nullptr);
        delete copy;
    }
}

}  // namespace
