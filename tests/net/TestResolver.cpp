// TestResolver.cpp: the tests' resolver behind the platform layer's resolver seam.
#include "TestResolver.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

SocketAddress TestIPv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    SocketAddress address{};
    address.family = kSocketIPv4;
    address.bytes[0] = a;
    address.bytes[1] = b;
    address.bytes[2] = c;
    address.bytes[3] = d;
    return address;
}

namespace {

std::mutex gMutex;
std::condition_variable gReleased;
bool gRelease = false;

bool Answer(const char *name, SocketAddress *address, char *canonical, size_t capacity) {
    std::string text(name);
    const char *official = name;
    if (text == "slow.test") {
        std::unique_lock<std::mutex> lock(gMutex);
        gReleased.wait(lock, [] { return gRelease; });
        *address = TestIPv4(127, 0, 0, 1);
    } else if (text == "server.test") {
        *address = TestIPv4(127, 0, 0, 1);
    } else if (text == "remote.test") {
        *address = TestIPv4(192, 0, 2, 10);
    } else if (text == "linklocal.test") {
        *address = TestIPv4(169, 254, 1, 1);
    } else if (text == "v6.test") {
        *address = SocketAddress{};
        address->family = kSocketIPv6;
        address->bytes[15] = 1;
    } else if (text == TestResolver::MachineName()) {
        *address = TestIPv4(192, 0, 2, 7);
        official = "machine.test";
    } else {
        return false;
    }
    if (canonical != nullptr)
        snprintf(canonical, capacity, "%s", official);
    return true;
}

}  // namespace

TestResolver::TestResolver() {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gRelease = false;
    }
    SocketSetResolver(Answer);
}

TestResolver::~TestResolver() {
    ReleaseSlowLookups();
    WaitUntilNoLookupRuns(10000);
    SocketSetResolver(nullptr);
}

void TestResolver::ReleaseSlowLookups() {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gRelease = true;
    }
    gReleased.notify_all();
}

bool TestResolver::WaitUntilNoLookupRuns(int milliseconds) {
    for (int waited = 0; SocketLookupsRunning() != 0 && waited < milliseconds; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return SocketLookupsRunning() == 0;
}

std::string TestResolver::MachineName() {
    char name[256] = {0};
    gethostname(name, sizeof name - 1);
    return name;
}
