// HostIdentityTest.cpp: which Host headers name this host, the virtual host built from
// them, and which clients count as this machine.
#include "host/lib/HostIdentity.h"
#include "host/lib/HostText.h"

#include <gtest/gtest.h>

#include <string>

namespace velquor::host {
namespace {

HostIdentity identity(const std::string &listen = "127.0.0.1") {
    return HostIdentity(listen, 8080, {"www.Example.org"}, {"box"}, {"127.0.0.1", "::1", "192.0.2.10"});
}

TEST(HostIdentity, AcceptsOnlyHostHeadersThatNameThisHost) {
    struct Case {
        const char *header;
        bool names;    // for the administration area
        bool reaches;  // kept as the virtual host, for the module's own requests
    };
    const Case cases[] = {
        {"127.0.0.1:8080", true, true},
        {"localhost:8080", true, true},
        {"LocalHost:8080", true, true},
        // This machine, but not the socket that listens on 127.0.0.1.
        {"box:8080", true, false},
        {"192.0.2.10:8080", true, false},
        {"[::1]:8080", true, false},
        {"[::ffff:127.0.0.1]:8080", true, false},
        // A server name is for links: with another port it may lead anywhere.
        {"www.example.org", true, false},
        {"www.example.org:8443", true, false},
        {"www.example.org:8080", true, false},
        {"127.0.0.1", false, false},
        {"box:9090", false, false},
        {"[::1]", false, false},
        {"localhost:9901", false, false},
        {"127.0.0.2:8080", false, false},
        {"evil.example:8080", false, false},
        {"evil.example", false, false},
        {"", false, false},
        {"127.0.0.1:8080@evil", false, false},
        {"a b:8080", false, false},
        {"127.0.0.1:0", false, false},
        {"127.0.0.1:99999", false, false},
        {"127.0.0.1:", false, false},
        {"[::1:8080", false, false},
        {"[evil]:8080", false, false},
        {"127.0.0.1:8080/x", false, false},
    };
    HostIdentity host = identity();
    for (const Case &test : cases) {
        EXPECT_EQ(host.namesThisHost(test.header), test.names) << test.header;
        EXPECT_EQ(host.reachesListener(test.header), test.reaches) << test.header;
        EXPECT_EQ(host.virtualHost(test.header), test.reaches ? test.header : "127.0.0.1:8080") << test.header;
    }
}

TEST(HostIdentity, KeepsAVirtualHostOnlyWhenItReachesTheListenAddress) {
    struct Case {
        const char *listen;
        const char *header;
        bool reaches;
    };
    const Case cases[] = {
        {"0.0.0.0", "box:8080", true},          {"0.0.0.0", "192.0.2.10:8080", true},
        {"0.0.0.0", "127.0.0.9:8080", true},    {"0.0.0.0", "localhost:8080", true},
        {"0.0.0.0", "[::1]:8080", false},       {"0.0.0.0", "www.example.org:8080", false},
        {"::", "[::1]:8080", true},             {"::", "192.0.2.10:8080", true},
        {"::1", "[::1]:8080", true},            {"::1", "[::1]:9901", false},
        {"::1", "localhost:8080", false},       {"::1", "127.0.0.1:8080", false},
        {"192.0.2.10", "192.0.2.10:8080", true}, {"192.0.2.10", "localhost:8080", false},
        {"127.0.0.1", "localhost", false},      {"127.0.0.1", "localhost:8080", true},
    };
    for (const Case &test : cases) {
        HostIdentity host = identity(test.listen);
        EXPECT_EQ(host.reachesListener(test.header), test.reaches) << test.listen << " " << test.header;
        EXPECT_EQ(host.virtualHost(test.header), test.reaches ? test.header : host.listenAuthority())
            << test.listen << " " << test.header;
    }
    EXPECT_EQ(identity("::1").virtualHost("localhost:8080"), "[::1]:8080");
}

TEST(HostIdentity, AHeaderThatReachesAWildcardListenerNamesThisHost) {
    struct Case {
        const char *listen;
        const char *header;
    };
    const Case cases[] = {
        {"0.0.0.0", "127.0.0.5:8080"},
        {"::", "127.0.0.5:8080"},
        {"::", "[::ffff:127.0.2.7]:8080"},
        {"", "127.1.2.3:8080"},
    };
    for (const Case &test : cases) {
        HostIdentity host = identity(test.listen);
        ASSERT_TRUE(host.reachesListener(test.header)) << test.listen << " " << test.header;
        EXPECT_TRUE(host.namesThisHost(test.header)) << test.listen << " " << test.header;
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

TEST(HostIdentity, ATextWithANulByteIsNoAddress) {
    using namespace std::string_literals;
    struct Case {
        std::string text;
    };
    const Case cases[] = {{"::1\0"s}, {"::1\0\0:8"s}, {"127.0.0.1\0evil"s}, {"192.0.2.10\0"s}};
    HostIdentity host = identity("::1");
    for (const Case &test : cases) {
        const std::string shown = HostText::quoted(test.text);
        EXPECT_FALSE(HostIdentity::splitHostHeader("[" + test.text + "]:8080")) << shown;
        EXPECT_FALSE(host.reachesListener("[" + test.text + "]:8080")) << shown;
        EXPECT_FALSE(HostIdentity::isLoopback(test.text)) << shown;
        EXPECT_FALSE(host.isLocalClient(test.text)) << shown;
        EXPECT_EQ(HostIdentity::normalise(test.text), test.text) << shown;
        EXPECT_EQ(host.clientAddress("127.0.0.1", "10.0.0.1, " + test.text), "") << shown;
    }
}

TEST(HostIdentity, KnowsThisMachinesOwnAddresses) {
    HostIdentity host = HostIdentity::forThisMachine("0.0.0.0", 8080, {});
    EXPECT_TRUE(host.namesThisHost("127.0.0.1:8080"));
    EXPECT_TRUE(host.namesThisHost("localhost:8080"));
    EXPECT_FALSE(host.namesThisHost("evil.example:8080"));
}

} // namespace
} // namespace velquor::host
