// SocketTest.cpp: the platform socket layer on loopback: non-blocking receives, waits and
// sends bounded by their limits and not cut short by signals, thread-safe lookups.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"

namespace {

// A listening socket on 127.0.0.1 at a free port.
class Listener {
public:
    explicit Listener(int backlog = 8) {
        descriptor_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in address;
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(descriptor_, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(listen(descriptor_, backlog), 0);
        socklen_t length = sizeof address;
        getsockname(descriptor_, reinterpret_cast<struct sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { close(descriptor_); }
    uint16_t port() const { return port_; }
    int accept() { return ::accept(descriptor_, nullptr, nullptr); }

private:
    int descriptor_;
    uint16_t port_;
};

SocketAddress IPv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    SocketAddress address{};
    address.family = kSocketIPv4;
    address.bytes[0] = a;
    address.bytes[1] = b;
    address.bytes[2] = c;
    address.bytes[3] = d;
    return address;
}

const SocketAddress kLoopback = IPv4(127, 0, 0, 1);

bool SameAddress(const SocketAddress &one, const SocketAddress &other) {
    size_t size = one.family == kSocketIPv6 ? 16 : 4;
    return one.family == other.family && memcmp(one.bytes, other.bytes, size) == 0;
}

TEST(SocketTest, ConnectedPairMovesBytesBothWays) {
    Listener listener;
    SocketHandle client = kInvalidSocket;
    ASSERT_EQ(SocketConnect(kLoopback, listener.port(), 2000, &client).status, kSocketDone);
    int server = listener.accept();
    ASSERT_GE(server, 0);
    SocketResult sent = SocketSend(client, "ping", 4, 2000);
    EXPECT_EQ(sent.status, kSocketDone);
    EXPECT_EQ(sent.count, 4u);
    char buffer[16];
    ASSERT_EQ(recv(server, buffer, sizeof buffer, 0), 4);
    // Nothing waiting yet: the receive does not block.
    SocketResult nothing = SocketReceive(client, buffer, sizeof buffer);
    EXPECT_EQ(nothing.status, kSocketDone);
    EXPECT_EQ(nothing.count, 0u);
    ASSERT_EQ(send(server, "pong", 4, 0), 4);
    EXPECT_EQ(SocketWaitReadable(client, 2000).status, kSocketDone);
    SocketResult received = SocketReceive(client, buffer, sizeof buffer);
    EXPECT_EQ(received.status, kSocketDone);
    ASSERT_EQ(received.count, 4u);
    EXPECT_EQ(std::string(buffer, 4), "pong");
    close(server);
    EXPECT_EQ(SocketWaitReadable(client, 2000).status, kSocketDone);
    EXPECT_EQ(SocketReceive(client, buffer, sizeof buffer).status, kSocketClosed);
    SocketClose(client);
}

volatile sig_atomic_t gSignals = 0;
void CountSignal(int) { gSignals = gSignals + 1; }

TEST(SocketTest, WaitResumesAfterSignalsForTheRemainingTime) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    Listener listener;
    SocketHandle client = kInvalidSocket;
    ASSERT_EQ(SocketConnect(kLoopback, listener.port(), 2000, &client).status, kSocketDone);
    int server = listener.accept();

    gSignals = 0;
    std::atomic<bool> waiting{true};
    pthread_t waiter = pthread_self();
    std::thread signaller([&] {
        while (waiting) {
            pthread_kill(waiter, SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    uint64_t start = MonotonicMilliseconds();
    SocketResult outcome = SocketWaitReadable(client, 400);
    uint64_t elapsed = MonotonicMilliseconds() - start;
    waiting = false;
    signaller.join();
    sigaction(SIGUSR2, &previous, nullptr);
    EXPECT_EQ(outcome.status, kSocketTimedOut);
    EXPECT_GE(elapsed, 400u);  // never cut short by a signal
    EXPECT_GT(gSignals, 5);
    close(server);
    SocketClose(client);
}

TEST(SocketTest, SendWaitsAtMostItsLimitForAPeerThatDoesNotRead) {
    Listener listener;
    SocketHandle client = kInvalidSocket;
    ASSERT_EQ(SocketConnect(kLoopback, listener.port(), 2000, &client).status, kSocketDone);
    int server = listener.accept();
    std::vector<char> block(65536, 'x');
    SocketResult outcome = {kSocketDone, 0, 0};
    for (int i = 0; i < 10000 && outcome.status == kSocketDone; ++i)
        outcome = SocketSend(client, block.data(), block.size(), 200);
    EXPECT_EQ(outcome.status, kSocketTimedOut);
    close(server);
    SocketClose(client);
}

// The names the tests' resolver knows; "slow.test" is answered only once released.
std::mutex gSlowMutex;
std::condition_variable gSlowReleased;
bool gSlowRelease = false;

bool TestResolver(const char *name, SocketAddress *address, char *canonical, size_t capacity) {
    std::string text(name);
    if (text == "slow.test") {
        std::unique_lock<std::mutex> lock(gSlowMutex);
        gSlowReleased.wait(lock, [] { return gSlowRelease; });
    }
    if (text == "alpha.test" || text == "slow.test") {
        *address = IPv4(10, 0, 0, 5);
    } else if (text == "v6.test") {
        address->family = kSocketIPv6;
        memset(address->bytes, 0, 16);
        address->bytes[0] = 0xFE;
        address->bytes[1] = 0x80;
        address->bytes[15] = 1;
    } else {
        return false;
    }
    if (canonical != nullptr)
        snprintf(canonical, capacity, "official.%s", name);
    return true;
}

// Waits, bounded, until no lookup thread runs any more.
bool NoLookupRunsWithinSeconds(int seconds) {
    for (int i = 0; i < seconds * 200 && SocketLookupsRunning() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return SocketLookupsRunning() == 0;
}

class SocketLookupTest : public ::testing::Test {
protected:
    void SetUp() override { SocketSetResolver(TestResolver); }
    void TearDown() override {
        EXPECT_TRUE(NoLookupRunsWithinSeconds(10));
        SocketSetResolver(nullptr);
    }
};

TEST_F(SocketLookupTest, NamesAndAddressTextsResolve) {
    SocketAddress v6Loopback{};
    v6Loopback.family = kSocketIPv6;
    v6Loopback.bytes[15] = 1;
    struct Case {
        const char *name;
        SocketStatus status;
        SocketAddress address;
        const char *canonical;
    } cases[] = {
        {"alpha.test", kSocketDone, IPv4(10, 0, 0, 5), "official.alpha.test"},
        {"192.0.2.1", kSocketDone, IPv4(192, 0, 2, 1), "192.0.2.1"},
        {"127.1", kSocketDone, IPv4(127, 0, 0, 1), "127.1"},
        {"::1", kSocketDone, v6Loopback, "::1"},
        {"unknown.test", kSocketNotFound, {}, ""},
        {"", kSocketNotFound, {}, ""},
    };
    for (const Case &c : cases) {
        SocketAddress address{};
        char canonical[64] = "";
        SocketResult outcome = SocketResolve(c.name, 2000, &address, canonical, sizeof canonical);
        EXPECT_EQ(outcome.status, c.status) << c.name;
        if (c.status == kSocketDone) {
            EXPECT_TRUE(SameAddress(address, c.address)) << c.name;
            EXPECT_STREQ(canonical, c.canonical) << c.name;
        }
    }
    SocketAddress address{};
    ASSERT_EQ(SocketResolve("v6.test", 2000, &address, nullptr, 0).status, kSocketDone);
    EXPECT_EQ(address.family, kSocketIPv6);
    EXPECT_EQ(address.bytes[0], 0xFE);
}

// A resolver that never answers holds the caller no longer than the time limit; the
// lookup ends on its own once the resolver answers, and its answer is dropped.
TEST_F(SocketLookupTest, ALookupIsBoundedByItsTimeLimit) {
    {
        std::lock_guard<std::mutex> lock(gSlowMutex);
        gSlowRelease = false;
    }
    ASSERT_TRUE(NoLookupRunsWithinSeconds(10));
    SocketAddress address = IPv4(1, 2, 3, 4);
    uint64_t start = MonotonicMilliseconds();
    SocketResult outcome = SocketResolve("slow.test", 200, &address, nullptr, 0);
    uint64_t elapsed = MonotonicMilliseconds() - start;
    EXPECT_EQ(outcome.status, kSocketTimedOut);
    EXPECT_GE(elapsed, 200u);
    EXPECT_LT(elapsed, 10000u);
    EXPECT_TRUE(SameAddress(address, IPv4(1, 2, 3, 4)));  // untouched
    EXPECT_EQ(SocketLookupsRunning(), 1u);
    {
        std::lock_guard<std::mutex> lock(gSlowMutex);
        gSlowRelease = true;
    }
    gSlowReleased.notify_all();
    EXPECT_TRUE(NoLookupRunsWithinSeconds(10));
}

TEST_F(SocketLookupTest, NamesResolveFromManyThreadsAtOnce) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int i = 0; i < 50; ++i) {
                SocketAddress value{};
                bool named = (t + i) % 2 != 0;
                SocketAddress expected = named ? IPv4(10, 0, 0, 5) : IPv4(10, 1, 2, 3);
                if (SocketResolve(named ? "alpha.test" : "10.1.2.3", 5000, &value, nullptr, 0).status != kSocketDone ||
                    !SameAddress(value, expected))
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
}

// The system's resolver, where this machine names itself "localhost" in its hosts file.
TEST(SocketTest, TheSystemResolverAnswersLocalhostFromTheHostsFile) {
    std::ifstream hosts("/etc/hosts");
    std::string line;
    bool listed = false;
    while (std::getline(hosts, line))
        listed = listed || (line.rfind("127.0.0.1", 0) == 0 && line.find("localhost") != std::string::npos);
    if (!listed)
        GTEST_SKIP() << "/etc/hosts does not give 127.0.0.1 the name localhost";
    SocketAddress address{};
    char canonical[64] = "";
    ASSERT_EQ(SocketResolve("localhost", 5000, &address, canonical, sizeof canonical).status, kSocketDone);
    EXPECT_TRUE(SameAddress(address, kLoopback));
    EXPECT_STRNE(canonical, "");
}

TEST(SocketTest, LocalHostNameIsNotEmpty) {
    char name[128];
    ASSERT_TRUE(SocketLocalHostName(name, sizeof name));
    char expected[128] = {0};
    gethostname(expected, sizeof expected - 1);
    EXPECT_STREQ(name, expected);
    EXPECT_FALSE(SocketLocalHostName(name, 1));
}

}  // namespace
