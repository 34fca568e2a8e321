// The Bluetooth transport on the system's BlueZ, on a machine without
// Bluetooth: every way of failing ends in a code and a log line.
#include <bluetooth/bluetooth.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "device/HidComBT.h"
#include "tests/support/LogCapture.h"

using namespace vbz;

namespace {
constexpr const char* kTag = "BTStandalone";
constexpr const char* kChecklist =
    "make sure that: \n\t - Bluetooth is enabled on your system.\n\t - the board is already "
    "paired with your system.\n\t - the board is turned on.\n\t - the board is set to use "
    "Bluetooth.\n\t - the board is not already in use by another application.";

class BtSystem : public ::testing::Test {
protected:
    void SetUp() override {
        const int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
        if (fd >= 0) {
            ::close(fd);
            GTEST_SKIP() << "this machine has Bluetooth";
        }
        if (errno != EAFNOSUPPORT) GTEST_SKIP() << "Bluetooth sockets fail otherwise here";
    }
    vbz_test::LogCapture log;
};
}  // namespace

TEST_F(BtSystem, OpenFindsNoDeviceAndSaysWhatToCheck) {
    HidComBT t;
    EXPECT_TRUE(t.hasInquiry());
    EXPECT_EQ(t.open(0, ""), -6);
    EXPECT_TRUE(log.has(kTag,
                        std::string("No device is available over Bluetooth. If it was expected to "
                                    "connect to one, ") + kChecklist,
                        2));
    EXPECT_EQ(t.open(21030042, ""), -6);
    EXPECT_TRUE(log.has(kTag,
                        std::string("Device 21030042 is not available over Bluetooth. If it was "
                                    "expected to connect, ") + kChecklist,
                        2));
    EXPECT_FALSE(t.isConnected());
}

TEST_F(BtSystem, DirectAddressLogsTheSystemsReason) {
    HidComBT t;
    EXPECT_EQ(t.open(7, "00:11:22:33:44:55"), -6);
    EXPECT_TRUE(log.has(kTag,
                        "Failed to connect to 00:11:22:33:44:55: Cannot connect: (97) Address "
                        "family not supported by protocol",
                        3));
}

TEST_F(BtSystem, ScanFindsNothingAndIoNeedsAConnection) {
    HidComBT t;
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    EXPECT_EQ(t.scan(devices, addresses, texts), 0);
    EXPECT_TRUE(devices.empty());
    EXPECT_TRUE(addresses.empty());
    EXPECT_TRUE(texts.empty());
    const uint8_t frame[5] = {8, 0xAD, 0xDE, 0xAC, 0x24};
    EXPECT_EQ(t.write(frame, 5), -3);
    EXPECT_EQ(t.read(), -3);
    EXPECT_EQ(t.close(), -3);
}
