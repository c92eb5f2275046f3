// Clock_posix.cpp: the clocks of Clock.h over POSIX clock_gettime.
// CLOCK_MONOTONIC is not affected by changes of the wall clock.
#include "platform/Clock.h"

#include <time.h>

uint64_t MonotonicMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}
