// ElasticThreadPool.h: the worker threads of velquor-host: a few kept ready, and more
// started whenever every worker is busy, up to a ceiling.
#ifndef VELQUOR_HOST_ELASTIC_THREAD_POOL_H
#define VELQUOR_HOST_ELASTIC_THREAD_POOL_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velquor::host {

// A page whose tag fetches another page of the same host holds its worker while the
// inner request waits for one; with a fixed pool, enough such pages at once would leave
// every inner request queued behind them. This pool starts another worker whenever a
// job arrives and none is idle, so inner requests are served at once; only at the
// ceiling do jobs queue (and an include then waits no longer than its own time limit).
class ElasticThreadPool {
public:
    // `ready` workers start at once; at most `ceiling` run in all.
    ElasticThreadPool(size_t ready, size_t ceiling);
    // Shuts down if that was not done.
    ~ElasticThreadPool();
    ElasticThreadPool(const ElasticThreadPool &) = delete;
    ElasticThreadPool &operator=(const ElasticThreadPool &) = delete;

    void enqueue(std::function<void()> job);
    // Runs the queued jobs to their end, then joins every worker.
    void shutdown();

    size_t workerCount() const;

private:
    void work();
    void startWorker();  // with mutex_ held

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    size_t idle_ = 0;
    size_t ceiling_;
    bool stopping_ = false;
};

} // namespace velquor::host

#endif
