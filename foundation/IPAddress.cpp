// IPAddress.cpp: the dotted text of an IPv4 address, built from the least significant
// octet outwards; the compressed text of an IPv6 address; loopback and link-local tests.
#include "foundation/IPAddress.h"

#include <cstring>

#include "foundation/NumberText.h"

QELIPAddress::QELIPAddress() : QELIPAddress(0) {}

QELIPAddress::QELIPAddress(uint32_t address) : address_(address) {
    dottedText_ = IntegerToText(address & 0xFF);
    for (uint32_t shift = 8; shift < 32; shift += 8) {
        QELString octet = IntegerToText((address >> shift) & 0xFF);
        octet.append('.');
        octet.append(dottedText_);
        dottedText_ = octet;
    }
}

QELIPAddress QELIPAddress::IPv6(const uint8_t bytes[16]) {
    QELIPAddress result(0);
    result.ipv6_ = true;
    std::memcpy(result.bytes_, bytes, 16);
    uint32_t groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = (uint32_t(bytes[2 * i]) << 8) | bytes[2 * i + 1];
    // The longest run of zero groups (the first of equal runs), when it is at least two.
    int runStart = -1, runLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > runLength && j - i >= 2) {
            runStart = i;
            runLength = j - i;
        }
        i = j;
    }
    QELString text;
    for (int i = 0; i < 8; ++i) {
        if (i == runStart) {
            text.append("::");
            i += runLength - 1;
            continue;
        }
        if (!text.isEmpty() && !text.endsWith(":"))
            text.append(':');
        QELString group = IntegerToText(groups[i], 16);
        group.toLower();
        text.append(group);
    }
    result.dottedText_ = text;
    return result;
}

QELIPAddress::~QELIPAddress() = default;

QELString QELIPAddress::hostText() const {
    if (!ipv6_)
        return dottedText_;
    QELString text("[");
    text.append(dottedText_);
    text.append(']');
    return text;
}

bool QELIPAddress::mappedIPv4(uint32_t *address) const {
    static const uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes_, kPrefix, 12) != 0)
        return false;
    *address = (uint32_t(bytes_[12]) << 24) | (uint32_t(bytes_[13]) << 16) | (uint32_t(bytes_[14]) << 8) | bytes_[15];
    return true;
}

bool QELIPAddress::equals(const QELIPAddress &other) const {
    return ipv6_ == other.ipv6_ && address_ == other.address_ && std::memcmp(bytes_, other.bytes_, 16) == 0;
}

bool QELIPAddress::isUnspecified() const {
    static const uint8_t kZero[16] = {0};
    return address_ == 0 && std::memcmp(bytes_, kZero, 16) == 0;
}

bool QELIPAddress::isLoopback() const {
    uint32_t ipv4 = address_;
    if (ipv6_ && !mappedIPv4(&ipv4)) {
        static const uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return std::memcmp(bytes_, kLoopback, 16) == 0;
    }
    return (ipv4 >> 24) == 127;
}

bool QELIPAddress::isLinkLocal() const {
    uint32_t ipv4 = address_;
    if (ipv6_ && !mappedIPv4(&ipv4))
        return bytes_[0] == 0xFE && (bytes_[1] & 0xC0) == 0x80;
    return (ipv4 >> 16) == 0xA9FE;
}
