// HostIdentityTest.cpp: which Host headers name this host, the virtual host built from
// them, and which clients count as this machine.
#include "host/lib/HostIdentity.h"

#include <gtest/gtest.h>

namespace velquor::host {
namespace {

HostIdentity identity(const std::string &listen = "127.0.0.1") {
    return HostIdentity(listen, 8080, {"www.Example.org"}, {"box"}, {"127.0.0.1", "::1", "192.0.2.10"});
}

TEST(HostIdentity, AcceptsOnlyHostHeadersThatNameThisHost) {
    struct Case {
        const char *header;
        bool names;
    };
    const Case cases[] = {
        {"127.0.0.1:8080", true},     {"localhost:8080", true},      {"LocalHost:8080", true},
        {"box:8080", true},           {"192.0.2.10:8080", true},     {"[::1]:8080", true},
        {"[::ffff:127.0.0.1]:8080", true},
        {"www.example.org", true},    {"www.example.org:8443", true},
        {"127.0.0.1", false},         {"box:9090", false},           {"[::1]", false},
        {"127.0.0.2:8080", false},    {"evil.example:8080", false},  {"evil.example", false},
        {"", false},                  {"127.0.0.1:8080@evil", false}, {"a b:8080", false},
        {"127.0.0.1:0", false},       {"127.0.0.1:99999", false},    {"127.0.0.1:", false},
        {"[::1:8080", false},         {"[evil]:8080", false},        {"127.0.0.1:8080/x", false},
    };
    HostIdentity host = identity();
    for (const Case &test : cases) {
        EXPECT_EQ(host.namesThisHost(test.header), test.names) << test.header;
        EXPECT_EQ(host.virtualHost(test.header), test.names ? test.header : "127.0.0.1:8080") << test.header;
    }
}

TEST(HostIdentity, FallsBackToAnAddressThatReachesTheListeningSocket) {
    EXPECT_EQ(identity("127.0.0.1").listenAuthority(), "127.0.0.1:8080");
    EXPECT_EQ(identity("0.0.0.0").listenAuthority(), "127.0.0.1:8080");
    EXPECT_EQ(identity("::").listenAuthority(), "[::1]:8080");
    EXPECT_EQ(identity("::1").listenAuthority(), "[::1]:8080");
    EXPECT_EQ(identity("0.0.0.0").virtualHost("evil.example"), "127.0.0.1:8080");
    // The listen address names this host even when it is not among the machine's.
    HostIdentity other("198.51.100.1", 8080, {}, {}, {});
    EXPECT_TRUE(other.namesThisHost("198.51.100.1:8080"));
    EXPECT_FALSE(other.namesThisHost("192.0.2.10:8080"));
}

TEST(HostIdentity, CountsLoopbackAndOwnAddressesAsThisMachine) {
    struct Case {
        const char *address;
        bool local;
    };
    const Case cases[] = {
        {"127.0.0.1", true},  {"127.5.5.5", true},        {"::1", true},           {"::ffff:127.0.0.1", true},
        {"192.0.2.10", true}, {"::ffff:192.0.2.10", true}, {"198.51.100.7", false}, {"::ffff:198.51.100.7", false},
        {"2001:db8::1", false}, {"", false},              {"garbage", false},
    };
    HostIdentity host = identity();
    for (const Case &test : cases) {
        EXPECT_EQ(host.isLocalClient(test.address), test.local) << test.address;
    }
    EXPECT_FALSE(HostIdentity::isLoopback("192.0.2.10"));
}

TEST(HostIdentity, TakesTheClientFromALocalProxysForwardedForHeader) {
    HostIdentity host = identity();
    EXPECT_EQ(host.clientAddress("127.0.0.1", ""), "127.0.0.1");
    EXPECT_EQ(host.clientAddress("127.0.0.1", "198.51.100.7"), "198.51.100.7");
    EXPECT_EQ(host.clientAddress("::1", "10.0.0.1, 198.51.100.7 "), "198.51.100.7");
    EXPECT_EQ(host.clientAddress("192.0.2.10", "127.0.0.1, 192.0.2.10"), "192.0.2.10");
    EXPECT_EQ(host.clientAddress("127.0.0.1", "unknown"), "");
    // A remote peer cannot make itself local with the header.
    EXPECT_EQ(host.clientAddress("198.51.100.7", "127.0.0.1"), "198.51.100.7");
}

TEST(HostIdentity, KnowsThisMachinesOwnAddresses) {
    HostIdentity host = HostIdentity::forThisMachine("0.0.0.0", 8080, {});
    EXPECT_TRUE(host.namesThisHost("127.0.0.1:8080"));
    EXPECT_TRUE(host.namesThisHost("localhost:8080"));
    EXPECT_FALSE(host.namesThisHost("evil.example:8080"));
}

} // namespace
} // namespace velquor::host
