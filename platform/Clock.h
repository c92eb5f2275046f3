// Clock.h: the operating system's clocks. MonotonicMilliseconds measures time limits;
// it never jumps when the wall clock is set.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary fixed moment (typically the machine's start).
uint64_t MonotonicMilliseconds();
