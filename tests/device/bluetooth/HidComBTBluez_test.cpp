// The Bluetooth transport finding vests in bluetoothd's list: the real
// inquiry reads a private D-Bus with a stand-in for bluetoothd
// (python3-dbusmock's bluez5 template), and the vests answer behind Unix
// socket pairs (tests/support/BtTestLink.h).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/HidComBT.h"
#include "tests/support/BluezMockBus.h"
#include "tests/support/BtTestLink.h"
#include "tests/support/LogCapture.h"
#include "tools/vest-emulator/VestModel.h"

using namespace vbz;
using vbz::emu::VestIdentity;
using vbz_test::BluezMockBus;

namespace {
constexpr const char* kTag = "BTStandalone";
constexpr const char* kA1 = "00:11:22:33:44:01";
constexpr const char* kA2 = "00:11:22:33:44:02";
constexpr const char* kA3 = "00:11:22:33:44:03";
constexpr const char* kA4 = "00:11:22:33:44:04";
constexpr const char* kA5 = "00:11:22:33:44:05";

template <typename Base>
class TransportOnBus : public Base {
protected:
    void SetUp() override {
        Base::SetUp();
        if (this->IsSkipped() || this->HasFatalFailure()) return;
        link->listFromBus(this->bus->address());
    }
    std::unique_ptr<HidComBT> transport() {
        return std::make_unique<HidComBT>(
            link, HidComBT::Timing{std::chrono::milliseconds(0), std::chrono::milliseconds(1500)});
    }
    vbz_test::LogCapture log;
    std::shared_ptr<vbz_test::BtTestLink> link = std::make_shared<vbz_test::BtTestLink>();
};

class BusWithoutBluez : public vbz_test::BluezBusTest {
protected:
    BusWithoutBluez() : BluezBusTest(BluezMockBus::Daemon::None) {}
};

using BtOnBluez = TransportOnBus<vbz_test::BluezBusTest>;
using BtWithoutBluez = TransportOnBus<BusWithoutBluez>;
}  // namespace

TEST_F(BtOnBluez, APairedVestThatIsNotDiscoverableIsFoundWithoutARadioInquiry) {
    bus->addAdapter("hci0", "desk");
    // A discoverable vest that was never paired comes first in address order.
    bus->addDevice("hci0", kA1, "VIBRENZA 1");
    bus->addRememberedDevice("hci0", kA2, "VIBRENZA 2", /*paired=*/true, /*trusted=*/false);
    link->addVest(kA1, VestIdentity::withSerial(11111111));
    link->addVest(kA2, VestIdentity::withSerial(22222222));

    auto t = transport();
    EXPECT_EQ(t->open(0, ""), 0);
    EXPECT_EQ(link->connections(), std::vector<std::string>{kA2});
    EXPECT_TRUE(log.has(kTag, "Try to connect to device VIBRENZA 2", 0));
    EXPECT_TRUE(log.has(kTag, std::string("Connected to ") + kA2, 2));
    EXPECT_EQ(link->radioInquiries(), 0);
}

TEST_F(BtOnBluez, ScanTriesPairedDevicesNamedLikeAVestOnly) {
    bus->addAdapter("hci0", "desk");
    struct Listed {
        const char* address;
        const char* name;
        bool paired;
        bool trusted;
    };
    const Listed listed[] = {
        {kA1, "rvd mk x", true, false},    {kA2, "RVD-MK-II", true, false},
        {kA3, "rvdmkv", true, false},      {kA4, "Speaker", true, true},
        {kA5, "VIBRENZA 5", false, true},
    };
    for (std::size_t i = 0; i < std::size(listed); ++i) {
        bus->addRememberedDevice("hci0", listed[i].address, listed[i].name, listed[i].paired,
                                 listed[i].trusted);
        link->addVest(listed[i].address,
                      VestIdentity::withSerial(static_cast<uint32_t>(10000001 + i)));
    }

    auto t = transport();
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    ASSERT_EQ(t->scan(devices, addresses, texts), 0);
    EXPECT_EQ(link->connections(), (std::vector<std::string>{kA1, kA2}));
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].serialNumber, 10000001u);
    EXPECT_EQ(devices[1].serialNumber, 10000002u);
    EXPECT_EQ(devices[0].outputType, VBZ_OUTPUT_BLUETOOTH);
    EXPECT_EQ(addresses[10000002u], kA2);
    EXPECT_EQ(link->radioInquiries(), 0);
}

TEST_F(BtOnBluez, WithoutAnAdapterNoVestIsAvailable) {
    link->addVest(kA1, VestIdentity::withSerial(11111111));
    link->list(kA1, "VIBRENZA 1");  // what a radio inquiry would find
    auto t = transport();
    EXPECT_EQ(t->open(0, ""), -6);
    EXPECT_TRUE(link->connections().empty());
    EXPECT_EQ(link->radioInquiries(), 0);
    EXPECT_EQ(log.countContaining(kTag, "No device is available over Bluetooth."), 1);
}

TEST_F(BtWithoutBluez, TheRadioInquiryFindsTheVestWhenBluetoothdIsNotOnTheBus) {
    link->addVest(kA1, VestIdentity::withSerial(11111111));
    link->list(kA1, "VIBRENZA 1");
    auto t = transport();
    EXPECT_EQ(t->open(11111111, ""), 0);
    EXPECT_EQ(link->radioInquiries(), 1);
    EXPECT_EQ(link->connections(), std::vector<std::string>{kA1});
}
