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
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "net/TestResolver.h"
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


const SocketAddress kLoopback = TestIPv4(127, 0, 0, 1);

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

class SocketLookupTest : public ::testing::Test {
protected:
    TestResolver resolver_;
};

TEST_F(SocketLookupTest, NamesAndAddressTextsResolve) {
    SocketAddress v6Loopback{};
    v6Loopback.family = kSocketIPv6;
    v6Loopback.bytes[15] = 1;
    // Kept here: a name taken from a temporary would be gone before the loop reads it.
    const std::string machine = TestResolver::MachineName();
    struct Case {
        const char *name;
        SocketStatus status;
        SocketAddress address;
        const char *canonical;
    } cases[] = {
        {"remote.test", kSocketDone, TestIPv4(192, 0, 2, 10), "remote.test"},
        {machine.c_str(), kSocketDone, TestIPv4(192, 0, 2, 7), "machine.test"},
        {"192.0.2.1", kSocketDone, TestIPv4(192, 0, 2, 1), "192.0.2.1"},
        {"127.1", kSocketDone, TestIPv4(127, 0, 0, 1), "127.1"},
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
    EXPECT_TRUE(SameAddress(address, v6Loopback));
}

// A resolver that never answers holds the caller no longer than the time limit; the
// lookup ends on its own once the resolver answers, and its answer is dropped.
TEST_F(SocketLookupTest, ALookupIsBoundedByItsTimeLimit) {
    ASSERT_TRUE(TestResolver::WaitUntilNoLookupRuns(10000));
    SocketAddress address = TestIPv4(1, 2, 3, 4);
    uint64_t start = MonotonicMilliseconds();
    SocketResult outcome = SocketResolve("slow.test", 200, &address, nullptr, 0);
    uint64_t elapsed = MonotonicMilliseconds() - start;
    EXPECT_EQ(outcome.status, kSocketTimedOut);
    EXPECT_GE(elapsed, 200u);
    EXPECT_LT(elapsed, 10000u);
    EXPECT_TRUE(SameAddress(address, TestIPv4(1, 2, 3, 4)));  // untouched
    EXPECT_EQ(SocketLookupsRunning(), 1u);
    TestResolver::ReleaseSlowLookups();
    EXPECT_TRUE(TestResolver::WaitUntilNoLookupRuns(10000));
}

TEST_F(SocketLookupTest, NamesResolveFromManyThreadsAtOnce) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int i = 0; i < 50; ++i) {
                SocketAddress value{};
                bool named = (t + i) % 2 != 0;
                SocketAddress expected = named ? TestIPv4(192, 0, 2, 10) : TestIPv4(10, 1, 2, 3);
                if (SocketResolve(named ? "remote.test" : "10.1.2.3", 5000, &value, nullptr, 0).status != kSocketDone ||
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
