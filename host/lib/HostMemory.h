// HostMemory.h: the host's memory functions that a HostContext hands to the module, with
// counters of every block and a switch that makes allocation fail on purpose.
#ifndef VELQUOR_HOST_HOST_MEMORY_H
#define VELQUOR_HOST_HOST_MEMORY_H

#include <cstdint>

extern "C" {
// Allocates size bytes (aligned as malloc aligns); null when the size cannot be had or when
// a failure was asked for with HostMemory.
void *HostAllocate(uint32_t size);
// Releases a block from HostAllocate; null is ignored.
void HostRelease(void *block);
}

namespace velquor::host {

// Counters and failure switches of HostAllocate / HostRelease. The counters are process-wide
// and atomic: blocks may be allocated on one thread and released on another.
class HostMemory {
public:
    struct Counters {
        uint64_t allocations = 0;  // blocks handed out
        uint64_t releases = 0;     // non-null blocks given back
        uint64_t refusals = 0;     // allocations answered with null
        int64_t liveBlocks = 0;    // allocations - releases
    };

    static Counters counters();
    // Sets every counter back to 0 (live blocks included: call it while nothing is held).
    static void resetCounters();

    // The next `count` allocations answer null; later ones succeed again.
    static void failNext(uint32_t count);
    // After `successes` more successful allocations, every allocation answers null.
    static void failAfter(uint32_t successes);
    // Every allocation answers null from now on.
    static void failAlways();
    // Ends every failure set with the three calls above.
    static void stopFailing();
};

} // namespace velquor::host

#endif
