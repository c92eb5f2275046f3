// HostIdentityFuzz.cpp: fuzzes the Host header check: the split of a header against a
// plain reading, and for a few listening set-ups, which headers reach the listening
// socket against a reference that compares addresses as bytes.
#include <arpa/inet.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "host/lib/HostIdentity.h"

using velquor::host::HostIdentity;

namespace {

std::string Lower(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// "name[:port]" or "[v6][:port]": a name of letters, digits, "-", "." and "_" (1 to 253
// bytes) or a bracketed IPv6 address, and a port of 1 to 5 digits between 1 and 65535.
std::optional<std::pair<std::string, int>> ReferenceSplit(const std::string &header) {
    std::string host, port;
    if (!header.empty() && header[0] == '[') {
        const size_t close = header.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        host = header.substr(1, close - 1);
        uint8_t bytes[16];
        if (inet_pton(AF_INET6, host.c_str(), bytes) != 1 || host.find('\0') != std::string::npos)
            return std::nullopt;
        port = header.substr(close + 1);
    } else {
        const size_t colon = header.find(':');
        host = header.substr(0, colon);
        port = colon == std::string::npos ? std::string() : header.substr(colon);
        if (host.empty() || host.size() > 253)
            return std::nullopt;
        for (char c : host)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
                return std::nullopt;
    }
    if (port.empty())
        return std::make_pair(host, 0);
    if (port[0] != ':' || port.size() < 2 || port.size() > 6 ||
        port.find_first_not_of("0123456789", 1) != std::string::npos)
        return std::nullopt;
    const int number = std::stoi(port.substr(1));
    if (number < 1 || number > 65535)
        return std::nullopt;
    return std::make_pair(host, number);
}

// An address as 16 bytes, an IPv4 one (dotted or mapped) as ::ffff:a.b.c.d; nothing
// for a name.
std::optional<std::vector<uint8_t>> AddressBytes(const std::string &text) {
    std::vector<uint8_t> bytes(16, 0);
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    if (inet_pton(AF_INET, text.c_str(), bytes.data() + 12) == 1) {
        bytes[10] = bytes[11] = 0xFF;
        return bytes;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes.data()) == 1)
        return bytes;
    return std::nullopt;
}

bool IsLoopback(const std::optional<std::vector<uint8_t>> &a) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    static const uint8_t kOne[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return a && ((std::memcmp(a->data(), kMapped, 12) == 0 && (*a)[12] == 127) || std::memcmp(a->data(), kOne, 16) == 0);
}

struct Setup {
    const char *listen;
    int port;
};

const char kServerName[] = "proxy.example.org";
const char kMachineName[] = "machine.test";
const char kMachineAddress[] = "192.0.2.7";

// Whether a header reaches a socket listening on setup: the listen port (80 when none is
// given) and the listen address itself; with a wildcard, also "localhost", the machine's
// name, a loopback address or the machine's address (no bracketed address for 0.0.0.0);
// with an IPv4 loopback address, also "localhost".
bool ReferenceReaches(const Setup &setup, const std::string &header) {
    const auto parts = ReferenceSplit(header);
    if (!parts || (parts->second == 0 ? 80 : parts->second) != setup.port)
        return false;
    const bool bracketed = header[0] == '[';
    const std::string name = Lower(parts->first);
    const auto address = AddressBytes(parts->first);
    const std::string listen = setup.listen;
    if (listen == "0.0.0.0" || listen == "::") {
        if (bracketed && listen == "0.0.0.0")
            return false;
        return name == "localhost" || name == kMachineName || IsLoopback(address) ||
               (address && address == AddressBytes(kMachineAddress));
    }
    const bool listenIPv6 = listen.find(':') != std::string::npos;
    if (name == "localhost")
        return !listenIPv6 && IsLoopback(AddressBytes(listen));
    return bracketed == listenIPv6 && address && address == AddressBytes(listen);
}

}  // namespace

// Input: a Host header.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string header(reinterpret_cast<const char *>(data), size);
    const auto split = HostIdentity::splitHostHeader(header);
    const auto expected = ReferenceSplit(header);
    FUZZ_CHECK(split.has_value() == expected.has_value());
    if (split)
        FUZZ_CHECK(*split == *expected);

    static const Setup kSetups[] = {
        {"0.0.0.0", 8080}, {"::", 8080}, {"127.0.0.1", 80}, {"::1", 8443}, {"192.0.2.7", 8080}};
    for (const Setup &setup : kSetups) {
        const HostIdentity identity(setup.listen, setup.port, {kServerName}, {"MACHINE.test"}, {kMachineAddress});
        const bool reaches = identity.reachesListener(header);
        FUZZ_CHECK(reaches == ReferenceReaches(setup, header));
        FUZZ_CHECK(identity.virtualHost(header) == (reaches ? header : identity.listenAuthority()));
        // A header that reaches the socket names this host.
        FUZZ_CHECK(!reaches || identity.namesThisHost(header));
        if (split && Lower(split->first) == kServerName)
            FUZZ_CHECK(identity.namesThisHost(header));
    }
    const std::string normal = HostIdentity::normalise(header);
    FUZZ_CHECK(HostIdentity::normalise(normal) == normal);
    FUZZ_CHECK(HostIdentity::isLoopback(header) == IsLoopback(AddressBytes(header)));
    return 0;
}
