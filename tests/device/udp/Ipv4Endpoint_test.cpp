// Address texts of Wi-Fi vests, parsed without any socket.
#include <gtest/gtest.h>

#include "device/platform/UdpSocket.h"

using vbz::Ipv4Endpoint;

TEST(Ipv4Endpoint, ParsesAddressAndDecimalPortAsDiscoveryWritesThem) {
    const auto e = Ipv4Endpoint::parse("10.213.0.1:33624");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->address, 0x0AD50001u);
    EXPECT_EQ(e->port, 33624);
    EXPECT_EQ(e->text(), "10.213.0.1:33624");
    // The port is read like strtol: blanks and a sign first, digits up to
    // the first other character.
    EXPECT_EQ(Ipv4Endpoint::parse("10.0.0.1: +555")->port, 555);
    EXPECT_EQ(Ipv4Endpoint::parse("10.0.0.1:2601x")->port, 2601);
}

TEST(Ipv4Endpoint, RefusesTextsThatWouldBecomeAnotherAddressOrPort) {
    // Each of these must fail instead of turning into 0.0.0.0 (this host)
    // or a port cut to 16 bits.
    for (const char* bad : {"", "vest.local:33624", "10.0.0:33624", "10.0.0.256:33624",
                            ":33624", "10.0.0.1", "10.0.0.1:", "10.0.0.1:0", "10.0.0.1:-1",
                            "10.0.0.1:65536", "10.0.0.1:99999999999999999999", "10.0.0.1:port"}) {
        EXPECT_FALSE(Ipv4Endpoint::parse(bad)) << bad;
    }
    EXPECT_TRUE(Ipv4Endpoint::parse("10.0.0.1:65535"));
}
