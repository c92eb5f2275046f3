// Thread.cpp: background jobs on detached threads, and the count of those that run.
#include "mail/Thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/Thread.h"

namespace {

// The running jobs. When the module is unloaded, its static objects are destroyed and
// this waits (at most a minute) until every job's thread has left the module's code.
class RunningJobs {
public:
    ~RunningJobs() { waitUntilNone(60000); }

    void started() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }
    void failedToStart() {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        finished_.notify_all();
    }
    // The last step of a job's thread: waiters wake only once the thread has ended,
    // after the last instruction of this module it runs.
    void ending() {
        std::unique_lock<std::mutex> lock(mutex_);
        --running_;
        std::notify_all_at_thread_exit(finished_, std::move(lock));
    }
    uint32_t running() {
        std::lock_guard<std::mutex> lock(mutex_);
        return running_;
    }
    bool waitUntilNone(uint32_t milliseconds) {
        std::unique_lock<std::mutex> lock(mutex_);
        return finished_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return running_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    uint32_t running_ = 0;
};

RunningJobs &Jobs() {
    static RunningJobs jobs;
    return jobs;
}

}  // namespace

QELThread::~QELThread() = default;

void QELThread::OnFinished(int32_t) {}

bool QELThread::Start() {
    Jobs().started();
    if (platform::StartDetachedThread(Entry, this, kStackSize))
        return true;
    Jobs().failedToStart();
    return false;
}

void QELThread::Entry(void *argument) {
    auto *job = static_cast<QELThread *>(argument);
    int32_t result = 0;
    try {
        result = job->Run();
    } catch (...) {
        result = -1;
    }
    try {
        job->OnFinished(result);
    } catch (...) {
    }
    delete job;
    Jobs().ending();
}

uint32_t QELThread::RunningCount() { return Jobs().running(); }

bool QELThread::WaitUntilNoneRuns(uint32_t milliseconds) { return Jobs().waitUntilNone(milliseconds); }
