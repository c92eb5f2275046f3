// IPAddress.h: QELIPAddress, an IPv4 address as a 32-bit value in host byte order (first
// octet most significant) with its dotted text, or an IPv6 address with its usual text.
#pragma once

#include <cstdint>

#include "foundation/String.h"

class QELIPAddress : public QELObject {
public:
    // 0.0.0.0.
    QELIPAddress();
    // The IPv4 address whose first octet is the most significant byte of address.
    explicit QELIPAddress(uint32_t address);
    // The IPv6 address of these 16 bytes (network order).
    static QELIPAddress IPv6(const uint8_t bytes[16]);
    ~QELIPAddress() override;

    bool isIPv6() const { return ipv6_; }
    // The IPv4 address; 0 for an IPv6 address.
    uint32_t address() const { return address_; }
    // The 16 bytes of an IPv6 address; all 0 for an IPv4 one.
    const uint8_t *ipv6Bytes() const { return bytes_; }
    // IPv4: the four octets in decimal joined by ".", such as 192.0.2.1. IPv6: eight
    // groups of lower-case hexadecimal digits joined by ":", the longest run of two or
    // more zero groups written "::", such as 2001:db8::1.
    const QELString &dottedText() const { return dottedText_; }
    // The text as a URL or a Host header writes it: IPv6 in brackets, "[::1]".
    QELString hostText() const;

    // The same family and the same address.
    bool equals(const QELIPAddress &other) const;
    // 0.0.0.0 or :: (which reach this machine when connected to).
    bool isUnspecified() const;
    // 127.0.0.0/8 or ::1 (and ::ffff:127.x.y.z).
    bool isLoopback() const;
    // 169.254.0.0/16 or fe80::/10 (and ::ffff:169.254.x.y).
    bool isLinkLocal() const;

private:
    // The IPv4 address an IPv6 address maps (::ffff:a.b.c.d); false when it maps none.
    bool mappedIPv4(uint32_t *address) const;

    uint32_t address_;
    bool ipv6_ = false;
    uint8_t bytes_[16] = {0};
    QELString dottedText_;
};
