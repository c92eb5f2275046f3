// IPAddressTest.cpp: the dotted text of IPv4 addresses held in host byte order.
#include <gtest/gtest.h>

#include <string>

#include "foundation/IPAddress.h"

namespace {

TEST(QELIPAddress, WritesTheOctetsMostSignificantFirst) {
    struct Case {
        uint32_t address;
        const char *text;
    };
    const Case cases[] = {
        {0xC0000201u, "192.0.2.1"}, {0u, "0.0.0.0"},         {0xFFFFFFFFu, "255.255.255.255"},
        {0x7F000001u, "127.0.0.1"}, {0x0A00FF09u, "10.0.255.9"}, {0x01020304u, "1.2.3.4"},
    };
    for (const Case &c : cases) {
        QELIPAddress ip(c.address);
        EXPECT_EQ(ip.address(), c.address);
        EXPECT_EQ(std::string(ip.dottedText().text()), c.text);
    }
}

TEST(QELIPAddress, DefaultsToTheZeroAddress) {
    QELIPAddress ip;
    EXPECT_EQ(ip.address(), 0u);
    EXPECT_EQ(std::string(ip.dottedText().text()), "0.0.0.0");
}

}  // namespace
