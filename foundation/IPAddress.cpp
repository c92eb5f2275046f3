// IPAddress.cpp: the dotted text of an IPv4 address, built from the least significant
// octet outwards.
#include "foundation/IPAddress.h"

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

QELIPAddress::~QELIPAddress() = default;
