// HostMemory.cpp: malloc-based host memory functions with atomic counters and the
// on-purpose allocation failures used by the tests.
#include "host/lib/HostMemory.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> releases{0};
std::atomic<uint64_t> refusals{0};
std::atomic<int64_t> liveBlocks{0};

// Failure switches: a count of allocations still to refuse, a count of successes still
// allowed before every allocation fails (-1: no such limit), and "fail always".
std::atomic<int64_t> refuseNext{0};
std::atomic<int64_t> successesLeft{-1};
std::atomic<bool> refuseAll{false};

bool takeOne(std::atomic<int64_t> &counter) {
    int64_t value = counter.load();
    while (value > 0) {
        if (counter.compare_exchange_weak(value, value - 1)) {
            return true;
        }
    }
    return false;
}

bool shouldRefuse() {
    if (refuseAll.load()) {
        return true;
    }
    if (takeOne(refuseNext)) {
        return true;
    }
    if (successesLeft.load() >= 0 && !takeOne(successesLeft)) {
        return true;
    }
    return false;
}

} // namespace

extern "C" void *HostAllocate(uint32_t size) {
    if (shouldRefuse()) {
        refusals.fetch_add(1);
        return nullptr;
    }
    void *block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        refusals.fetch_add(1);
        return nullptr;
    }
    allocations.fetch_add(1);
    liveBlocks.fetch_add(1);
    return block;
}

extern "C" void HostRelease(void *block) {
    if (block == nullptr) {
        return;
    }
    releases.fetch_add(1);
    liveBlocks.fetch_sub(1);
    std::free(block);
}

namespace velquor::host {

HostMemory::Counters HostMemory::counters() {
    Counters result;
    result.allocations = allocations.load();
    result.releases = releases.load();
    result.refusals = refusals.load();
    result.liveBlocks = liveBlocks.load();
    return result;
}

void HostMemory::resetCounters() {
    allocations = 0;
    releases = 0;
    refusals = 0;
    liveBlocks = 0;
}

void HostMemory::failNext(uint32_t count) { refuseNext = count; }

void HostMemory::failAfter(uint32_t successes) { successesLeft = successes; }

void HostMemory::failAlways() { refuseAll = true; }

void HostMemory::stopFailing() {
    refuseAll = false;
    refuseNext = 0;
    successesLeft = -1;
}

} // namespace velquor::host
