// ByteBufferTest.cpp: tests of QELByteBuffer: growing, shrinking, zeroing, keeping the
// contents, copies and failures.
#include "foundation/ByteBuffer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(QELByteBuffer, StartsEmptyOrSized) {
    QELByteBuffer empty;
    EXPECT_EQ(empty.data(), nullptr);
    EXPECT_EQ(empty.size(), 0u);
    QELByteBuffer zeroed(64, QELByteBuffer::kZero);
    ASSERT_NE(zeroed.data(), nullptr);
    EXPECT_EQ(zeroed.size(), 64u);
    for (uint32_t i = 0; i < 64; ++i)
        EXPECT_EQ(*zeroed.at(i), 0) << i;
}

TEST(QELByteBuffer, ShrinkKeepsTheBlock) {
    QELByteBuffer buffer(100);
    std::memcpy(buffer.data(), "0123456789", 10);
    uint8_t *block = buffer.data();
    EXPECT_EQ(buffer.resize(10), block);
    EXPECT_EQ(buffer.size(), 10u);
    EXPECT_EQ(std::memcmp(buffer.data(), "0123456789", 10), 0);
    // Growing within the old block still takes a new one of the exact size.
    buffer.resize(50, QELByteBuffer::kKeep);
    EXPECT_EQ(buffer.size(), 50u);
    EXPECT_EQ(std::memcmp(buffer.data(), "0123456789", 10), 0);
}

TEST(QELByteBuffer, GrowKeepsOrDiscardsContents) {
    QELByteBuffer buffer(8);
    std::memcpy(buffer.data(), "abcdefgh", 8);
    uint8_t *old = buffer.data();
    buffer.resize(16, QELByteBuffer::kKeep);
    EXPECT_NE(buffer.data(), old);
    EXPECT_EQ(std::memcmp(buffer.data(), "abcdefgh", 8), 0);

    old = buffer.data();
    buffer.resize(32);
    EXPECT_NE(buffer.data(), old);
    EXPECT_EQ(buffer.size(), 32u);

    QELByteBuffer zeroGrow(4);
    std::memcpy(zeroGrow.data(), "wxyz", 4);
    zeroGrow.resize(8, QELByteBuffer::kZero | QELByteBuffer::kKeep);
    EXPECT_EQ(std::memcmp(zeroGrow.data(), "wxyz\0\0\0\0", 8), 0);
}

TEST(QELByteBuffer, CopyAndAssign) {
    QELByteBuffer source(6);
    std::memcpy(source.data(), "source", 6);
    QELByteBuffer copy(source);
    EXPECT_NE(copy.data(), source.data());
    EXPECT_EQ(copy.size(), 6u);
    EXPECT_EQ(std::memcmp(copy.data(), "source", 6), 0);

    QELByteBuffer target(2);
    target = source;
    EXPECT_EQ(target.size(), 6u);
    EXPECT_EQ(std::memcmp(target.data(), "source", 6), 0);

    uint8_t *block = target.data();
    QELByteBuffer &alias = target;
    target = alias;
    EXPECT_EQ(target.data(), block);
    EXPECT_EQ(std::memcmp(target.data(), "source", 6), 0);

    QELByteBuffer empty;
    target = empty;
    EXPECT_EQ(target.size(), 0u);
    QELByteBuffer emptyCopy(empty);
    EXPECT_EQ(emptyCopy.size(), 0u);
}

TEST(QELByteBuffer, FailedGrowthThrowsAndKeepsTheBuffer) {
    QELByteBuffer buffer(4);
    std::memcpy(buffer.data(), "keep", 4);
    InstallHostMemoryFunctions([](uint32_t) -> void * { return nullptr; }, nullptr);
    EXPECT_THROW(buffer.resize(1000, QELByteBuffer::kKeep), QELObject::MemoryAllocationFailure);
    InstallHostMemoryFunctions(nullptr, nullptr);
    EXPECT_EQ(buffer.size(), 4u);
    EXPECT_EQ(std::memcmp(buffer.data(), "keep", 4), 0);
}

}  // namespace
