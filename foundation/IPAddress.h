// IPAddress.h: QELIPAddress, an IPv4 address as a 32-bit value in host byte order
// (first octet most significant) together with its dotted text.
#pragma once

#include <cstdint>

#include "foundation/String.h"

class QELIPAddress : public QELObject {
public:
    // 0.0.0.0.
    QELIPAddress();
    // The address whose first octet is the most significant byte of address.
    explicit QELIPAddress(uint32_t address);
    ~QELIPAddress() override;

    uint32_t address() const { return address_; }
    // The four octets in decimal joined by ".", such as 192.0.2.1.
    const QELString &dottedText() const { return dottedText_; }

private:
    uint32_t address_;
    QELString dottedText_;
};
