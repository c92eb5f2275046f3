// ElasticThreadPool.cpp: worker threads that grow with the load, up to a ceiling.
#include "host/lib/ElasticThreadPool.h"

#include <algorithm>

namespace velquor::host {

ElasticThreadPool::ElasticThreadPool(size_t ready, size_t ceiling) : ceiling_(std::max<size_t>(1, ceiling)) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < std::min(ready, ceiling_); ++i)
        startWorker();
}

ElasticThreadPool::~ElasticThreadPool() { shutdown(); }

void ElasticThreadPool::startWorker() {
    ++idle_;
    workers_.emplace_back([this] { work(); });
}

void ElasticThreadPool::enqueue(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        // Every worker that is idle will take one of the queued jobs; start another
        // when the queue holds more jobs than there are idle workers.
        if (jobs_.size() > idle_ && workers_.size() < ceiling_ && !stopping_)
            startWorker();
    }
    wake_.notify_one();
}

void ElasticThreadPool::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return !jobs_.empty() || stopping_; });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            --idle_;
        }
        job();
        std::lock_guard<std::mutex> lock(mutex_);
        ++idle_;
    }
}

void ElasticThreadPool::shutdown() {
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        workers.swap(workers_);
    }
    wake_.notify_all();
    for (std::thread &worker : workers)
        worker.join();
}

size_t ElasticThreadPool::workerCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_.size();
}

} // namespace velquor::host
