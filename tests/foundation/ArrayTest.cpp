// ArrayTest.cpp: growth, insertion, slot access and disposal of QELArray.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "foundation/Array.h"

namespace {

// Records the slot addresses and values that a dispose function was given.
struct DisposeLog {
    std::vector<uintptr_t *> addresses;
    std::vector<uintptr_t> values;
};
DisposeLog *gLog = nullptr;

void RecordDispose(uintptr_t *slot) {
    gLog->addresses.push_back(slot);
    gLog->values.push_back(*slot);
}

std::vector<uintptr_t> Contents(const QELArray &a) {
    std::vector<uintptr_t> v;
    for (uint32_t i = 0; i < a.count(); ++i)
        v.push_back(a.value(i));
    return v;
}

TEST(QELArray, InsertClampsTheIndexAndMovesLaterSlotsUp) {
    struct Step {
        uintptr_t value;
        uint32_t index;
    };
    const Step steps[] = {{1, 0}, {2, 5}, {3, 0}, {4, 1}, {5, 4}, {6, 99}, {7, 6}, {8, 3}};
    QELArray a;
    std::vector<uintptr_t> model;
    for (const Step &s : steps) {
        EXPECT_EQ(a.insert(s.value, s.index), s.value);
        model.insert(model.begin() + std::min<size_t>(s.index, model.size()), s.value);
        EXPECT_EQ(Contents(a), model);
    }
    EXPECT_EQ(Contents(a), (std::vector<uintptr_t>{3, 4, 1, 8, 2, 5, 6, 7}));
}

TEST(QELArray, AtBeyondTheEndGrowsWithZeroedSlots) {
    QELArray a;
    a.append(9);
    uintptr_t *slot = a.at(4);
    EXPECT_EQ(a.count(), 5u);
    EXPECT_EQ(*slot, 0u);
    *slot = 44;
    EXPECT_EQ(Contents(a), (std::vector<uintptr_t>{9, 0, 0, 0, 44}));
    EXPECT_EQ(a.at(2), a.at(0) + 2);  // an index within count does not grow
    EXPECT_EQ(a.count(), 5u);
}

TEST(QELArray, ShrinkingKeepsNoStaleValuesForLaterGrowth) {
    QELArray a;
    for (uintptr_t v = 1; v <= 6; ++v)
        a.append(v);
    a.resize(2);
    EXPECT_EQ(a.count(), 2u);
    a.resize(6);
    EXPECT_EQ(Contents(a), (std::vector<uintptr_t>{1, 2, 0, 0, 0, 0}));
    a.resize(0);
    EXPECT_TRUE(a.isEmpty());
    EXPECT_EQ(a.value(0), 0u);  // out of range reads 0
}

TEST(QELArray, ClearDisposesOfEverySlotInOrder) {
    DisposeLog log;
    gLog = &log;
    {
        QELArray a(RecordDispose);
        for (uintptr_t v = 10; v < 15; ++v)
            a.append(v);
        const uintptr_t *first = a.items();
        a.clear();
        ASSERT_EQ(log.values, (std::vector<uintptr_t>{10, 11, 12, 13, 14}));
        for (size_t i = 0; i < log.addresses.size(); ++i)
            EXPECT_EQ(log.addresses[i], first + i);
        EXPECT_EQ(a.count(), 0u);
        EXPECT_EQ(a.items(), nullptr);
        log = DisposeLog();
        a.append(7);
        a.resize(3);
    }
    // Destruction clears: the grown slots are zero, never garbage.
    EXPECT_EQ(log.values, (std::vector<uintptr_t>{7, 0, 0}));
    gLog = nullptr;
}

TEST(QELArray, ShrinkingDisposesOfNothing) {
    DisposeLog log;
    gLog = &log;
    {
        QELArray a(RecordDispose);
        a.append(1);
        a.append(2);
        a.resize(1);
        EXPECT_TRUE(log.values.empty());
    }
    EXPECT_EQ(log.values, (std::vector<uintptr_t>{1}));
    gLog = nullptr;
}

TEST(QELArray, OwnsWhatItsSlotsPointTo) {
    // The sanitizer run reports any object that the dispose function missed.
    QELArray a([](uintptr_t *slot) { delete reinterpret_cast<std::vector<int> *>(*slot); });
    for (int i = 0; i < 100; ++i)
        a.insert(reinterpret_cast<uintptr_t>(new std::vector<int>(i, i)), static_cast<uint32_t>(i / 2));
    EXPECT_EQ(a.count(), 100u);
    a.clear();
    a.append(reinterpret_cast<uintptr_t>(new std::vector<int>(3)));
}

TEST(QELArray, MoveTransfersTheSlotsAndTheOwnership) {
    DisposeLog log;
    gLog = &log;
    {
        QELArray a(RecordDispose);
        a.append(5);
        a.append(6);
        QELArray b(std::move(a));
        EXPECT_EQ(a.count(), 0u);
        EXPECT_EQ(Contents(b), (std::vector<uintptr_t>{5, 6}));
        QELArray c;
        c = std::move(b);
        EXPECT_EQ(c.disposeFunction(), &RecordDispose);
        EXPECT_TRUE(log.values.empty());
    }
    EXPECT_EQ(log.values, (std::vector<uintptr_t>{5, 6}));
    gLog = nullptr;
}

// resize is virtual: insert and at grow through the override.
class CountingArray : public QELArray {
public:
    void resize(uint32_t n) override {
        ++resizes;
        QELArray::resize(n);
    }
    int resizes = 0;
};

TEST(QELArray, GrowsThroughTheOverriddenResize) {
    CountingArray a;
    a.append(1);
    a.insert(2, 0);
    a.at(5);
    EXPECT_EQ(a.resizes, 3);
    EXPECT_EQ(a.count(), 6u);
}

TEST(QELArray, ManyAppendsKeepEveryValue) {
    QELArray a;
    const uint32_t n = 100000;
    for (uint32_t i = 0; i < n; ++i)
        a.append(i * 3u);
    ASSERT_EQ(a.count(), n);
    for (uint32_t i = 0; i < n; ++i)
        ASSERT_EQ(a.value(i), i * 3u);
}

}  // namespace
