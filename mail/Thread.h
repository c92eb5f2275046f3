// Thread.h: QELThread, the base of a background job that owns itself: it runs on a thread
// of its own and is deleted when done; the module counts the jobs that run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/Object.h"

class QELThread : public QELObject {
public:
    // The stack of a job's thread. A whole delivery with spooling and status posts runs
    // in the sanitizer build on 24 KiB and overflows 16 KiB (name lookups run on threads
    // of their own); 64 KiB leaves room for work done on first use, such as reading the
    // time zone, whichever thread comes first.
    static constexpr size_t kStackSize = 64 * 1024;

    ~QELThread() override;

    // Starts the job's thread once the job is completely built. From then on the job
    // owns itself: the thread calls Run, then OnFinished with its result, then deletes
    // the job; nobody else deletes it or waits for it. No exception leaves the thread.
    // False when the thread cannot start: the job is not running and still the caller's.
    bool Start();

    // The jobs whose threads run (started and not yet completely ended).
    static uint32_t RunningCount();
    // Waits until no job runs, at most milliseconds; true when none runs.
    static bool WaitUntilNoneRuns(uint32_t milliseconds);

protected:
    QELThread() = default;
    virtual int32_t Run() = 0;
    // Called with Run's result; does nothing here.
    virtual void OnFinished(int32_t result);

private:
    static void Entry(void *job);
};
