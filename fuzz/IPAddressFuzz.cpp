// IPAddressFuzz.cpp: fuzzes QELIPAddress's texts: every address's text parses back (with
// inet_pton) to the same bytes and is written as inet_ntop writes it, and the address
// classes agree with a plain reading of the bytes. Texts that inet_pton accepts make
// addresses whose texts read back as the same address.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "foundation/IPAddress.h"
#include "fuzz/FuzzCheck.h"

namespace {

uint32_t FromBytes(const uint8_t *b) {
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

void CheckIPv4(const uint8_t bytes[4]) {
    const uint32_t value = FromBytes(bytes);
    const QELIPAddress address(value);
    const std::string text = fuzz::Text(address.dottedText());
    char expected[INET_ADDRSTRLEN] = {};
    FUZZ_CHECK(inet_ntop(AF_INET, bytes, expected, sizeof expected) != nullptr);
    FUZZ_CHECK(text == expected && fuzz::Text(address.hostText()) == text);
    uint8_t back[4];
    FUZZ_CHECK(inet_pton(AF_INET, text.c_str(), back) == 1 && std::memcmp(back, bytes, 4) == 0);
    FUZZ_CHECK(!address.isIPv6() && address.address() == value);
    FUZZ_CHECK(address.isLoopback() == (bytes[0] == 127));
    FUZZ_CHECK(address.isLinkLocal() == (bytes[0] == 169 && bytes[1] == 254));
    FUZZ_CHECK(address.isUnspecified() == (value == 0));
}

void CheckIPv6(const uint8_t bytes[16]) {
    const QELIPAddress address = QELIPAddress::IPv6(bytes);
    const std::string text = fuzz::Text(address.dottedText());
    uint8_t back[16];
    FUZZ_CHECK(inet_pton(AF_INET6, text.c_str(), back) == 1 && std::memcmp(back, bytes, 16) == 0);
    FUZZ_CHECK(fuzz::Text(address.hostText()) == "[" + text + "]");
    // inet_ntop writes the same, except that it shows an embedded IPv4 address dotted.
    char expected[INET6_ADDRSTRLEN] = {};
    FUZZ_CHECK(inet_ntop(AF_INET6, bytes, expected, sizeof expected) != nullptr);
    if (std::strchr(expected, '.') == nullptr)
        FUZZ_CHECK(text == expected);
    FUZZ_CHECK(text.find_first_not_of("0123456789abcdef:") == std::string::npos);
    const size_t doubled = text.find("::");
    FUZZ_CHECK(doubled == std::string::npos || text.find("::", doubled + 1) == std::string::npos);

    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    static const uint8_t kZero[16] = {0};
    const bool mapped = std::memcmp(bytes, kMapped, 12) == 0;
    const bool zero = std::memcmp(bytes, kZero, 16) == 0;
    const bool loopback = std::memcmp(bytes, kZero, 15) == 0 && bytes[15] == 1;
    FUZZ_CHECK(address.isIPv6() && address.address() == 0 && std::memcmp(address.ipv6Bytes(), bytes, 16) == 0);
    FUZZ_CHECK(address.isUnspecified() == zero);
    FUZZ_CHECK(address.isLoopback() == (mapped ? bytes[12] == 127 : loopback));
    FUZZ_CHECK(address.isLinkLocal() ==
               (mapped ? bytes[12] == 169 && bytes[13] == 254 : bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80));
    FUZZ_CHECK(!address.equals(QELIPAddress(FromBytes(bytes + 12))));
    FUZZ_CHECK(address.equals(QELIPAddress::IPv6(back)));
}

}  // namespace

// Input: 16 bytes of address (the first 4 are also taken as an IPv4 address), then a text
// that inet_pton may accept.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 16)
        return 0;
    CheckIPv4(data);
    CheckIPv6(data);
    const std::string text(reinterpret_cast<const char *>(data) + 16, size - 16);
    uint8_t parsed[16];
    if (inet_pton(AF_INET, text.c_str(), parsed) == 1)
        CheckIPv4(parsed);
    if (inet_pton(AF_INET6, text.c_str(), parsed) == 1)
        CheckIPv6(parsed);
    return 0;
}
