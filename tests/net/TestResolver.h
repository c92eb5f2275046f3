// TestResolver.h: the names the network tests look up, answered on this machine instead of
// by the system's resolver, so that no lookup leaves loopback or depends on /etc/hosts.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Socket.h"

// The IPv4 address a.b.c.d.
SocketAddress TestIPv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

// While one lives, lookups of these names are answered (any other name is not found):
//   "server.test"     127.0.0.1          "v6.test"        ::1
//   "remote.test"     192.0.2.10         "linklocal.test" 169.254.1.1
//   the machine's own name (gethostname): canonical "machine.test", 192.0.2.7
//   "slow.test"       127.0.0.1, answered only after ReleaseSlowLookups()
class TestResolver {
public:
    TestResolver();
    // Releases any slow lookup and waits (bounded) until every lookup thread has ended.
    ~TestResolver();
    TestResolver(const TestResolver &) = delete;
    TestResolver &operator=(const TestResolver &) = delete;

    static void ReleaseSlowLookups();
    // Waits at most the given time until no lookup runs; false when one still does.
    static bool WaitUntilNoLookupRuns(int milliseconds);
    // The machine's own name, as gethostname gives it.
    static std::string MachineName();
};
