// bluetoothd's device list over D-Bus, read from a private bus with a
// stand-in for bluetoothd (python3-dbusmock's bluez5 template), and the
// inquiry's fall-back to the radio when bluetoothd is not on the bus.
#include "device/bluetooth/BluezDeviceList.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "device/bluetooth/BluetoothException.h"
#include "device/bluetooth/BtInquiry.h"
#include "tests/support/BluezMockBus.h"
#include "tests/support/TempDir.h"

using namespace vbz;
using vbz_test::BluezMockBus;
using Property = vbz_test::BluezMockBus::Property;

namespace {
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kAdapter = "org.bluez.Adapter1";

// The real inquiry, with the radio replaced by a scripted answer that
// counts how often it is asked.
class CountingInquiry : public BtInquiry {
public:
    using BtInquiry::BtInquiry;
    int radioInquiries = 0;
    std::vector<BtDeviceInfo> radioFinds;

protected:
    std::vector<BtDeviceInfo> inquireByRadio() override {
        ++radioInquiries;
        return radioFinds;
    }
};

std::vector<std::string> addressesOf(const std::vector<BtDeviceInfo>& list) {
    std::vector<std::string> out;
    for (const auto& d : list) out.push_back(d.address);
    return out;
}

using BluezList = vbz_test::BluezBusTest;

class BusWithoutBluez : public vbz_test::BluezBusTest {
protected:
    BusWithoutBluez() : BluezBusTest(BluezMockBus::Daemon::None) {}
};

class BluezImpostor : public vbz_test::BluezBusTest {
protected:
    BluezImpostor() : BluezBusTest(BluezMockBus::Daemon::Bare) {}
};
}  // namespace

TEST_F(BluezList, KnownDevicesAreListedAtOncePairedFirstWithTheirFlags) {
    bus->addAdapter("hci0", "desk");
    // In range, not paired.
    bus->addDevice("hci0", "00:11:22:33:44:01", "Speaker");
    // In range and paired, with a class of device.
    const auto inRange = bus->addDevice("hci0", "00:11:22:33:44:02", "VIBRENZA 42");
    bus->pairDevice("hci0", "00:11:22:33:44:02");
    bus->setU32(inRange, kDevice, "Class", 0x240404);
    bus->setBool(inRange, kDevice, "Connected", true);
    // Paired earlier, not discoverable now: no radio inquiry would find it.
    bus->addRememberedDevice("hci0", "00:11:22:33:44:03", "rvd mk x", true, false);
    // Trusted but never paired.
    bus->addRememberedDevice("hci0", "00:11:22:33:44:04", "VIBRENZA 7", false, true);

    CountingInquiry inquiry(bus->address());
    const auto list = inquiry.inquire();
    EXPECT_EQ(inquiry.radioInquiries, 0);
    ASSERT_EQ(addressesOf(list), (std::vector<std::string>{"00:11:22:33:44:02", "00:11:22:33:44:03",
                                                           "00:11:22:33:44:01",
                                                           "00:11:22:33:44:04"}));

    struct Expected {
        const char* name;
        bool connected, remembered, authenticated, seen;
        uint32_t deviceClass, majorClass, serviceClass;
    };
    const Expected expected[] = {
        {"VIBRENZA 42", true, true, true, true, 0x0404, 0x0400, 0x120},
        {"rvd mk x", false, true, true, false, 0, 0, 0},
        {"Speaker", false, false, false, true, 0, 0, 0},
        {"VIBRENZA 7", false, false, false, false, 0, 0, 0},
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE(list[i].address);
        EXPECT_EQ(list[i].name, expected[i].name);
        EXPECT_EQ(list[i].connected, expected[i].connected);
        EXPECT_EQ(list[i].remembered, expected[i].remembered);
        EXPECT_EQ(list[i].authenticated, expected[i].authenticated);
        EXPECT_EQ(list[i].lastSeen != 0, expected[i].seen);
        EXPECT_EQ(list[i].lastUsed, 0);
        EXPECT_EQ(list[i].deviceClass, expected[i].deviceClass);
        EXPECT_EQ(list[i].majorDeviceClass, expected[i].majorClass);
        EXPECT_EQ(list[i].serviceClass, expected[i].serviceClass);
    }
}

TEST_F(BluezList, TheAliasNamesTheDeviceAndTheNameStandsInForAnEmptyOne) {
    bus->addAdapter("hci0", "desk");
    const auto renamed = bus->addDevice("hci0", "00:11:22:33:44:01", "VIBRENZA 42");
    bus->setString(renamed, kDevice, "Alias", "Ann's vest");
    const auto unnamed = bus->addDevice("hci0", "00:11:22:33:44:02", "VIBRENZA 43");
    bus->setString(unnamed, kDevice, "Alias", "");
    const auto list = *bluezDeviceList(bus->address());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "Ann's vest");
    EXPECT_EQ(list[1].name, "VIBRENZA 43");
}

TEST_F(BluezList, OnlyTheFirstPoweredAdaptersDevicesAreListed) {
    bus->addAdapter("hci1", "dongle");
    bus->addAdapter("hci0", "built in");
    bus->addDevice("hci1", "00:11:22:33:44:11", "VIBRENZA 11");
    bus->addDevice("hci0", "00:11:22:33:44:01", "VIBRENZA 1");
    EXPECT_EQ(addressesOf(*bluezDeviceList(bus->address())),
              std::vector<std::string>{"00:11:22:33:44:01"});

    bus->setBool("/org/bluez/hci0", kAdapter, "Powered", false);
    EXPECT_EQ(addressesOf(*bluezDeviceList(bus->address())),
              std::vector<std::string>{"00:11:22:33:44:11"});
}

TEST_F(BluezList, DevicesWithoutAUsableAddressAreLeftOutAndOddTypesIgnored) {
    bus->addAdapter("hci0", "desk");
    bus->addDeviceObject("hci0", "dev_numeric",
                         {Property::u32("Address", 42), Property::text("Name", "VIBRENZA 1")});
    bus->addDeviceObject("hci0", "dev_garbled",
                         {Property::text("Address", "00:11:22:33:44"),
                          Property::text("Name", "VIBRENZA 2")});
    bus->addDeviceObject("hci0", "dev_00_11_22_33_44_aa",
                         {Property::text("Address", "00:11:22:33:44:aa"),
                          Property::u32("Alias", 7), Property::text("Name", "VIBRENZA 3"),
                          Property::text("Paired", "yes"), Property::text("Class", "big")});
    const auto list = *bluezDeviceList(bus->address());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].address, "00:11:22:33:44:AA");
    EXPECT_EQ(list[0].name, "VIBRENZA 3");
    EXPECT_FALSE(list[0].authenticated);
    EXPECT_EQ(list[0].deviceClass, 0u);
}

TEST_F(BluezList, BluetoothdWithoutAnAdapterListsNothingAndTheRadioIsNotAsked) {
    CountingInquiry inquiry(bus->address());
    inquiry.radioFinds.push_back(BtDeviceInfo{});
    EXPECT_TRUE(inquiry.inquire().empty());
    EXPECT_EQ(inquiry.radioInquiries, 0);
}

TEST_F(BusWithoutBluez, TheRadioInquiryAnswersWhenBluetoothdIsNotOnTheBus) {
    EXPECT_FALSE(bluezDeviceList(bus->address()).has_value());
    CountingInquiry inquiry(bus->address());
    BtDeviceInfo found;
    found.address = "00:11:22:33:44:55";
    found.name = "VIBRENZA 42";
    inquiry.radioFinds.push_back(found);
    const auto list = inquiry.inquire();
    EXPECT_EQ(inquiry.radioInquiries, 1);
    EXPECT_EQ(addressesOf(list), std::vector<std::string>{"00:11:22:33:44:55"});
}

TEST_F(BluezImpostor, AnAnswerThatIsNoObjectTreeThrowsAndAnUnansweredCallFallsBack) {
    // org.bluez without an object manager (as an old bluetoothd): the radio.
    CountingInquiry inquiry(bus->address());
    EXPECT_TRUE(inquiry.inquire().empty());
    EXPECT_EQ(inquiry.radioInquiries, 1);

    bus->addMethod("org.freedesktop.DBus.ObjectManager", "GetManagedObjects", "", "s",
                   "ret = 'not a tree'");
    std::string thrown;
    try {
        inquiry.inquire();
    } catch (const BluetoothException& e) {
        thrown = e.what();
    }
    EXPECT_EQ(thrown, "(74) Bad message");
    EXPECT_EQ(inquiry.radioInquiries, 1);
}

TEST(BluezListWithoutABus, NoBusAtTheAddressFallsBackToTheRadio) {
    vbz_test::TempDir dir;
    const std::string nowhere = "unix:path=" + (dir.path() / "no-bus").string();
    EXPECT_FALSE(bluezDeviceList(nowhere).has_value());
    EXPECT_FALSE(bluezDeviceList("not an address").has_value());
    CountingInquiry inquiry(nowhere);
    EXPECT_TRUE(inquiry.inquire().empty());
    EXPECT_EQ(inquiry.radioInquiries, 1);

    // The default is the system bus, which DBUS_SYSTEM_BUS_ADDRESS names: here
    // a socket that does not exist, never the machine's own bus.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", nowhere.c_str(), 1);
    CountingInquiry systemInquiry;
    EXPECT_TRUE(systemInquiry.inquire().empty());
    EXPECT_EQ(systemInquiry.radioInquiries, 1);
}
