// The hidapi double: what a program linked with it sees of the bus.
#include "tools/vest-emulator/usb/UsbBus.h"

#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <chrono>
#include <string>

using namespace vbz::emu;

class HidapiDouble : public ::testing::Test {
protected:
    void SetUp() override { UsbBus::instance().reset(); }
    void TearDown() override { UsbBus::instance().reset(); }
};

TEST_F(HidapiDouble, EnumeratesPluggedVestsByVendorWithPathsOfTheirOwn) {
    auto& bus = UsbBus::instance();
    const auto a = bus.plug(std::make_shared<VestModel>());
    const auto b = bus.plug(std::make_shared<VestModel>());
    bus.plug(std::make_shared<VestModel>(), 0x1234, 0x0001);  // another maker's device
    EXPECT_NE(a, b);

    hid_device_info* list = hid_enumerate(0x34A8, 0);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->next->next, nullptr);
    EXPECT_EQ(std::string(list->path), a);
    EXPECT_EQ(std::string(list->next->path), b);
    EXPECT_EQ(list->vendor_id, 0x34A8);
    hid_free_enumeration(list);
    EXPECT_EQ(bus.liveEnumerations(), 0);

    bus.unplug(a);
    list = hid_enumerate(0x34A8, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(std::string(list->path), b);
    hid_free_enumeration(list);

    bus.failEnumerate();
    EXPECT_EQ(hid_enumerate(0x34A8, 0), nullptr);
    EXPECT_NE(hid_error(nullptr), nullptr);
    EXPECT_EQ(bus.counters().enumerate, 3);
}

TEST_F(HidapiDouble, WritesReachTheVestAndReadsWaitForItsAnswer) {
    auto& bus = UsbBus::instance();
    auto vest = std::make_shared<VestModel>(VestIdentity::withSerial(21030042));
    const auto path = bus.plug(vest);
    hid_device* dev = hid_open_path(path.c_str());
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(hid_open_path("vbz-emu-usb/404"), nullptr);
    EXPECT_EQ(hid_open_path(nullptr), nullptr);

    unsigned char buffer[105] = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof buffer, 10), 0);
    // Nothing waiting: the read sat out its whole time-out.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));

    const unsigned char request[5] = {0x08, 0xAD, 0xDE, 0xAC, 0x24};
    EXPECT_EQ(hid_write(dev, request, 5), 5);
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof buffer, 10), 9);
    EXPECT_EQ(buffer[0], 0x88);
    EXPECT_EQ(hid_error(dev), nullptr);

    bus.failNextWrites(1);
    EXPECT_EQ(hid_write(dev, request, 5), -1);
    EXPECT_EQ(std::wstring(hid_error(dev)), L"Emulated write failure");
    bus.failNextReads(1);
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof buffer, 10), -1);
    EXPECT_EQ(hid_write(dev, request, 5), 5);  // the switches were for one call each

    bus.unplug(path);
    EXPECT_EQ(hid_write(dev, request, 5), -1);
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof buffer, 10), -1);
    EXPECT_EQ(bus.openHandles(), 1);
    hid_close(dev);
    EXPECT_EQ(bus.openHandles(), 0);
    EXPECT_EQ(vest->countReceived(0x08), 2u);
}

TEST_F(HidapiDouble, AShortReadBufferTakesThePartOfTheFrameThatFits) {
    auto vest = std::make_shared<VestModel>();
    const auto path = UsbBus::instance().plug(vest);
    hid_device* dev = hid_open_path(path.c_str());
    ASSERT_NE(dev, nullptr);
    vest->sendUnsolicited(makeFrame(0x89, 105));
    unsigned char buffer[16] = {};
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof buffer, 10), 16);
    EXPECT_EQ(buffer[0], 0x89);
    hid_close(dev);
}

TEST_F(HidapiDouble, InitAndExitAreCounted) {
    hid_init();
    hid_init();
    hid_exit();
    EXPECT_EQ(UsbBus::instance().initDepth(), 1);
    hid_exit();
    EXPECT_EQ(UsbBus::instance().initDepth(), 0);
    EXPECT_EQ(UsbBus::instance().counters().init, 2);
    EXPECT_EQ(UsbBus::instance().counters().exit, 2);
}
