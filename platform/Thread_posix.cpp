// Thread_posix.cpp: detached POSIX threads with a chosen stack size.
#include "platform/Thread.h"

#include <pthread.h>
#include <unistd.h>

#include <new>

namespace platform {

namespace {

// What the new thread runs; pthread wants an entry that returns a pointer.
struct Start {
    ThreadEntry entry;
    void *argument;
};

void *RunStart(void *start) {
    Start run = *static_cast<Start *>(start);
    delete static_cast<Start *>(start);
    run.entry(run.argument);
    return nullptr;
}

}  // namespace

bool StartDetachedThread(ThreadEntry entry, void *argument, size_t stackSize) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    bool ready = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0;
    if (ready && stackSize != 0) {
        long minimum = sysconf(_SC_THREAD_STACK_MIN);
        if (minimum > 0 && stackSize < static_cast<size_t>(minimum))
            stackSize = static_cast<size_t>(minimum);
        ready = pthread_attr_setstacksize(&attributes, stackSize) == 0;
    }
    Start *start = ready ? new (std::nothrow) Start{entry, argument} : nullptr;
    pthread_t thread;
    ready = start != nullptr && pthread_create(&thread, &attributes, RunStart, start) == 0;
    if (!ready)
        delete start;
    pthread_attr_destroy(&attributes);
    return ready;
}

}  // namespace platform
