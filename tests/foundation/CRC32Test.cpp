// CRC32Test.cpp: tests of QELCRC32, the reflected CRC-32 whose register starts at 0.
#include "foundation/CRC32.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

// Bit by bit, without a table.
uint32_t bitwiseCRC(const std::vector<uint8_t> &bytes) {
    uint32_t r = 0;
    for (uint8_t b : bytes) {
        r ^= b;
        for (int i = 0; i < 8; ++i)
            r = (r & 1u) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    }
    return ~r;
}

TEST(QELCRC32, KnownValues) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint32_t value;
    } cases[] = {
        {{}, 0xFFFFFFFFu},
        {{'a', 'b', 'c'}, 0x359A672Fu},
        // One byte selects one table entry: 0x77073096 and 0xEE0E612C, complemented.
        {{0x01}, ~0x77073096u},
        {{0x02}, ~0xEE0E612Cu},
        {{0x00}, 0xFFFFFFFFu},
    };
    for (const Case &c : cases) {
        QELCRC32 crc;
        EXPECT_EQ(crc.update(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), c.value);
        EXPECT_EQ(crc.value(), c.value);
    }
}

TEST(QELCRC32, NullOrEmptyInputChangesNothing) {
    QELCRC32 crc;
    crc.update("abc", 3);
    EXPECT_EQ(crc.update(nullptr, 10), 0x359A672Fu);
    EXPECT_EQ(crc.update("xyz", 0), 0x359A672Fu);
    EXPECT_EQ(crc.value(), 0x359A672Fu);
}

TEST(QELCRC32, PiecesAndTableAgreeWithBitwiseComputation) {
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        std::vector<uint8_t> bytes(random() % 2000);
        for (uint8_t &b : bytes)
            b = static_cast<uint8_t>(random());
        QELCRC32 whole, pieces;
        whole.update(bytes.data(), static_cast<uint32_t>(bytes.size()));
        size_t cut = bytes.empty() ? 0 : random() % bytes.size();
        pieces.update(bytes.data(), static_cast<uint32_t>(cut));
        pieces.update(bytes.data() + cut, static_cast<uint32_t>(bytes.size() - cut));
        EXPECT_EQ(whole.value(), bitwiseCRC(bytes));
        EXPECT_EQ(pieces.value(), whole.value());
    }
}

}  // namespace
