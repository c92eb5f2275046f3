// LoginThrottleTest.cpp: the waits after failed administrator logins, on a clock the test
// moves: per client (doubling), for every client, and for parallel guesses.
#include "host/lib/LoginThrottle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace velquor::host {
namespace {

using namespace std::chrono_literals;
using Kind = LoginThrottle::Answer::Kind;

class LoginThrottleTest : public ::testing::Test {
protected:
    LoginThrottle::Clock::time_point now_ = LoginThrottle::Clock::time_point(1h);
    LoginThrottle::Limits limits_;
};

TEST_F(LoginThrottleTest, FailuresDelayTheirClientLongerEachTimeAndEveryClientBriefly) {
    LoginThrottle throttle(limits_, [this] { return now_; });
    struct Step {
        std::chrono::milliseconds later;  // since the step before
        const char *client;
        bool matches;
        Kind kind;
        int retryAfter;  // seconds
        unsigned failures;
    };
    const Step steps[] = {
        {0ms, "a", true, Kind::Accepted, 0, 0},     // nothing failed yet
        {0ms, "a", false, Kind::Failed, 1, 1},      // waits 1 s
        {0ms, "a", true, Kind::Wait, 1, 0},         // even the right password waits
        {500ms, "b", true, Kind::Wait, 1, 0},       // every client waits briefly after any failure
        {500ms, "b", true, Kind::Accepted, 0, 0},
        {0ms, "a", false, Kind::Failed, 2, 2},      // doubles: 2 s
        {1000ms, "a", false, Kind::Wait, 1, 0},
        {1000ms, "a", false, Kind::Failed, 4, 3},   // 4 s
        {3999ms, "a", false, Kind::Wait, 1, 0},
        {1ms, "a", false, Kind::Failed, 8, 4},      // 8 s
        {8s, "a", false, Kind::Failed, 16, 5},
        {16s, "a", false, Kind::Failed, 32, 6},
        {32s, "a", false, Kind::Failed, 60, 7},     // at most 60 s
        {60s, "a", false, Kind::Failed, 60, 8},
        {60s, "a", true, Kind::Accepted, 0, 0},     // a good login forgets the failures
        {0ms, "a", false, Kind::Failed, 1, 1},
        {15min, "a", false, Kind::Failed, 1, 1},    // so do 15 quiet minutes
    };
    int index = 0;
    for (const Step &step : steps) {
        now_ += step.later;
        LoginThrottle::Answer answer = throttle.attempt(step.client, step.matches);
        EXPECT_EQ(answer.kind, step.kind) << "step " << index;
        EXPECT_EQ(answer.retryAfter.count(), step.retryAfter) << "step " << index;
        EXPECT_EQ(answer.failuresInARow, step.failures) << "step " << index;
        ++index;
    }
}

TEST_F(LoginThrottleTest, ParallelGuessesGetOnePasswordCheck) {
    LoginThrottle throttle(limits_, [this] { return now_; });
    constexpr int kGuesses = 32;
    std::mutex mutex;
    std::condition_variable go;
    bool started = false;
    std::atomic<int> failed{0};
    std::atomic<int> waiting{0};
    std::vector<std::thread> guesses;
    for (int i = 0; i < kGuesses; ++i) {
        guesses.emplace_back([&, i] {
            {
                std::unique_lock<std::mutex> lock(mutex);
                go.wait(lock, [&] { return started; });
            }
            // Many addresses at once: the wait after any failure holds them all.
            LoginThrottle::Answer answer = throttle.attempt("10.0.0." + std::to_string(i), false);
            (answer.kind == Kind::Failed ? failed : waiting)++;
        });
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        started = true;
    }
    go.notify_all();
    for (std::thread &guess : guesses) {
        guess.join();
    }
    EXPECT_EQ(failed.load(), 1);
    EXPECT_EQ(waiting.load(), kGuesses - 1);
}

TEST_F(LoginThrottleTest, RemembersABoundedNumberOfClients) {
    limits_.clients = 3;
    limits_.anyClientDelay = 0s;
    LoginThrottle throttle(limits_, [this] { return now_; });
    for (const char *client : {"a", "b", "c", "d"}) {
        EXPECT_EQ(throttle.attempt(client, false).kind, Kind::Failed) << client;
        now_ += 1ms;
    }
    // "a", whose failure is the oldest, made room for "d"; the others still wait.
    EXPECT_EQ(throttle.attempt("a", true).kind, Kind::Accepted);
    EXPECT_EQ(throttle.attempt("b", true).kind, Kind::Wait);
    EXPECT_EQ(throttle.attempt("d", true).kind, Kind::Wait);
}

} // namespace
} // namespace velquor::host
