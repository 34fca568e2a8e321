// The USB transport linked with the system's hidapi. No vest is plugged into
// these machines: the search finds nothing and every handle is given back.
#include "device/HidComUsb.h"

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"

TEST(UsbTransportOnSystemHidapi, FindsNoVestAndFailsCleanly) {
    vbz_test::LogCapture log;
    vbz::HidComUsb t;
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    EXPECT_EQ(t.scan(devices, addresses, texts), 0);
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(t.open(21030042, "/dev/hidraw-none"), -6);
    EXPECT_EQ(log.countContaining("HIDStandalone", "is not available over USB"), 1);
    EXPECT_EQ(t.read(), -3);
}
