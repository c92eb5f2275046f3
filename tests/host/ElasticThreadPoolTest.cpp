// ElasticThreadPoolTest.cpp: the host's worker pool grows while every worker is busy,
// so a job that waits for a later job still finishes, and stops at its ceiling.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "host/lib/ElasticThreadPool.h"

namespace velquor::host {
namespace {

TEST(ElasticThreadPool, JobsWaitingForLaterJobsFinishWithOneReadyWorker) {
    ElasticThreadPool pool(1, 64);
    constexpr int kPairs = 16;
    std::promise<void> inner[kPairs];
    std::atomic<int> finished{0};
    for (int i = 0; i < kPairs; ++i) {
        pool.enqueue([&, i] {
            // An outer job holds its worker until its inner job has run.
            if (inner[i].get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready)
                ++finished;
        });
    }
    for (int i = 0; i < kPairs; ++i)
        pool.enqueue([&, i] { inner[i].set_value(); });
    pool.shutdown();
    EXPECT_EQ(kPairs, finished.load());
}

TEST(ElasticThreadPool, NeverRunsMoreWorkersThanItsCeiling) {
    ElasticThreadPool pool(2, 4);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    for (int i = 0; i < 10; ++i) {
        pool.enqueue([&] {
            int now = ++running;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            released.wait();
            --running;
        });
    }
    EXPECT_EQ(4u, pool.workerCount());
    release.set_value();
    pool.shutdown();
    EXPECT_LE(most.load(), 4);
    EXPECT_EQ(0, running.load());
}

TEST(ElasticThreadPool, ShutdownRunsTheJobsAlreadyQueued) {
    std::atomic<int> ran{0};
    {
        ElasticThreadPool pool(1, 1);
        for (int i = 0; i < 50; ++i)
            pool.enqueue([&] { ++ran; });
    }
    EXPECT_EQ(50, ran.load());
}

}  // namespace
}  // namespace velquor::host
