// Thread.h: threads of the operating system for the module's background jobs: started
// detached, with a stack of a given size.
#pragma once

#include <cstddef>

namespace platform {

typedef void (*ThreadEntry)(void *argument);

// Starts a detached thread that runs entry(argument) on a stack of stackSize bytes (0:
// the system's default; a size below the system's minimum is raised to it). Nobody waits
// for the thread. False when the system cannot start it; entry then never runs.
bool StartDetachedThread(ThreadEntry entry, void *argument, size_t stackSize);

}  // namespace platform
