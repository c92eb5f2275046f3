// HostMemoryTest.cpp: the host memory functions, their counters and the failure switches.
// The counters are process-wide, so each test starts from reset counters.
#include "host/lib/HostMemory.h"
#include "host/lib/HostRequest.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace velquor::host {
namespace {

class HostMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        HostMemory::stopFailing();
        HostMemory::resetCounters();
    }
    void TearDown() override { HostMemory::stopFailing(); }
};

TEST_F(HostMemoryTest, CountsBlocksAndAlignsThem) {
    std::vector<void *> blocks;
    for (uint32_t size : {0u, 1u, 7u, 16u, 1000u, 70000u}) {
        void *block = HostAllocate(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(std::max_align_t), 0u);
        blocks.push_back(block);
    }
    EXPECT_EQ(HostMemory::counters().allocations, 6u);
    EXPECT_EQ(HostMemory::counters().liveBlocks, 6);
    for (void *block : blocks) {
        HostRelease(block);
    }
    HostRelease(nullptr);
    HostMemory::Counters counters = HostMemory::counters();
    EXPECT_EQ(counters.releases, 6u);
    EXPECT_EQ(counters.liveBlocks, 0);
}

TEST_F(HostMemoryTest, FailureSwitches) {
    HostMemory::failNext(2);
    EXPECT_EQ(HostAllocate(8), nullptr);
    EXPECT_EQ(HostAllocate(8), nullptr);
    void *third = HostAllocate(8);
    EXPECT_NE(third, nullptr);
    HostRelease(third);

    HostMemory::failAfter(1);
    void *allowed = HostAllocate(8);
    EXPECT_NE(allowed, nullptr);
    EXPECT_EQ(HostAllocate(8), nullptr);
    EXPECT_EQ(HostAllocate(8), nullptr);
    HostRelease(allowed);
    HostMemory::stopFailing();

    HostMemory::failAlways();
    EXPECT_EQ(HostAllocate(1), nullptr);
    HostMemory::stopFailing();
    void *again = HostAllocate(1);
    EXPECT_NE(again, nullptr);
    HostRelease(again);

    HostMemory::Counters counters = HostMemory::counters();
    EXPECT_EQ(counters.refusals, 5u);
    EXPECT_EQ(counters.liveBlocks, 0);
}

TEST_F(HostMemoryTest, RequestContextCarriesTheMemoryFunctions) {
    HostRequest request(QEL_REQUEST_INITIALISE);
    HostContext *context = request.context();
    EXPECT_EQ(context->allocate, &HostAllocate);
    EXPECT_EQ(context->release, &HostRelease);
    EXPECT_EQ(context->requestCode, QEL_REQUEST_INITIALISE);
    EXPECT_EQ(context->hostRef, request.id()) << "the hostRef names the request";
}

} // namespace
} // namespace velquor::host
