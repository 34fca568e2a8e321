// The USB transport end to end: hidapi calls go to the double, which routes
// them to emulated vests.
#include "device/HidComUsb.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "sdk/core/ErrorText.h"
#include "tests/support/LogCapture.h"
#include "tools/vest-emulator/VestModel.h"
#include "tools/vest-emulator/usb/UsbBus.h"

using namespace vbz;
using vbz::emu::AnswerFault;
using vbz::emu::UsbBus;
using vbz::emu::VestIdentity;
using vbz::emu::VestModel;

namespace {
constexpr const char* kTag = "HIDStandalone";
constexpr uint8_t kGetSerial = 0x08;
constexpr uint8_t kGetVersion = 0x09;
constexpr uint8_t kGetType = 0x0A;

struct PluggedVest {
    std::shared_ptr<VestModel> vest;
    std::string path;
};

class UsbTransport : public ::testing::Test {
protected:
    void SetUp() override { bus().reset(); }
    void TearDown() override {
        // Whatever a test did, the transport must give every handle back.
        EXPECT_EQ(bus().openHandles(), 0);
        EXPECT_EQ(bus().liveEnumerations(), 0);
        for (const auto& v : vests_)
            EXPECT_TRUE(v->violations().empty()) << v->violations().front();
        bus().reset();
    }
    static UsbBus& bus() { return UsbBus::instance(); }

    PluggedVest plug(uint32_t serial, const std::string& version = "VBZ-EMU 1.4.2",
                     uint32_t type = 0x0123FFFF) {
        VestIdentity id = VestIdentity::withSerial(serial);
        id.version = version;
        id.typeCode = type;
        auto vest = std::make_shared<VestModel>(id);
        vests_.push_back(vest);
        return {vest, bus().plug(vest)};
    }

    vbz_test::LogCapture log;
    std::vector<std::shared_ptr<VestModel>> vests_;
};

std::string noVestText() {
    return "No device is available over USB. If it was expected to connect to one, make sure "
           "that: \n\t - the board is turned on.\n\t - it is set to use plug to the computer.\n\t "
           "- the Operating System is not using the device as the default audio output device.\n\t "
           "- the device is not already in use by another application.";
}
}  // namespace

TEST_F(UsbTransport, FreshTransportRefusesIoAndFindsNothingOnAnEmptyBus) {
    HidComUsb t;
    EXPECT_EQ(t.read(), -3);
    const uint8_t frame[5] = {0x07, 0xAD, 0xDE, 0, 0};
    EXPECT_EQ(t.write(frame, 5), -3);
    EXPECT_EQ(t.close(), -3);

    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    EXPECT_EQ(t.scan(devices, addresses, texts), 0);
    EXPECT_TRUE(devices.empty() && addresses.empty() && texts.empty());

    EXPECT_EQ(t.open(0, ""), -6);
    EXPECT_TRUE(log.has(kTag, noVestText(), 2));
    EXPECT_EQ(t.open(21030042, ""), -6);
    EXPECT_TRUE(log.has(kTag,
                        "Device 21030042 is not available over USB. If it was expected to "
                        "connect, make sure that: \n\t - the board is turned on.\n\t - it is set "
                        "to use plug to the computer.\n\t - the Operating System is not using the "
                        "device as the default audio output device.\n\t - the device is not "
                        "already in use by another application.",
                        2));
    EXPECT_FALSE(t.isConnected());
}

TEST_F(UsbTransport, AnyVestWithoutPathConnectsWithoutAnyExchange) {
    auto v = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(0, ""), 0);
    EXPECT_TRUE(t.isConnected());
    EXPECT_TRUE(v.vest->hostFrames().empty());
    EXPECT_EQ(bus().counters().write, 0);
    EXPECT_TRUE(log.has(kTag, "Start USB connection routine.", 0));
    EXPECT_TRUE(log.has(kTag, "Connected to " + v.path, 0));
    EXPECT_EQ(t.open(0, ""), 0);  // already connected: nothing more happens
    EXPECT_EQ(bus().counters().openPath, 1);
}

TEST_F(UsbTransport, RightSerialOnThePathConnectsWithOneRequestAndNoSearch) {
    plug(11110000);
    auto v = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(21030042, v.path), 0);
    EXPECT_EQ(v.vest->countReceived(kGetSerial), 1u);
    EXPECT_EQ(bus().counters().enumerate, 0);
    EXPECT_EQ(bus().openHandles(), 1);
    EXPECT_TRUE(log.has(kTag, "Connected to " + v.path, 0));
}

TEST_F(UsbTransport, WrongSerialOnThePathRescansAndFindsTheWantedVest) {
    auto other = plug(11110000);
    auto wanted = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(21030042, other.path), 0);
    EXPECT_TRUE(log.has(kTag, "Wrong serial number, rescan devices.", 2));
    EXPECT_TRUE(log.has(kTag, "Wrong serial number: " + other.path, 2));
    EXPECT_TRUE(log.has(kTag, "Connected to " + wanted.path, 0));
    EXPECT_EQ(other.vest->countReceived(kGetSerial), 2u);  // the path, then the search
    EXPECT_EQ(wanted.vest->countReceived(kGetSerial), 1u);
    EXPECT_EQ(bus().openHandles(), 1);
}

TEST_F(UsbTransport, SerialZeroWithAPathAsksThePathThenTakesTheFirstVestOfTheSearch) {
    auto v = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(0, v.path), 0);
    EXPECT_TRUE(log.has(kTag, "Wrong serial number, rescan devices.", 2));
    EXPECT_EQ(v.vest->countReceived(kGetSerial), 1u);
    EXPECT_TRUE(t.isConnected());
}

TEST_F(UsbTransport, StalePathLogsTheInfoLineAndTheSearchFindsTheVest) {
    auto v = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(21030042, "vbz-emu-usb/999"), 0);
    EXPECT_TRUE(log.has(kTag,
                        "The scanned devices list is not up-to-date anymore. Targeted device "
                        "might have been unplugged. Search for another one.",
                        2));
    EXPECT_TRUE(log.has(kTag, "Connected to " + v.path, 0));
}

TEST_F(UsbTransport, SearchSkipsAVestThatCannotBeOpened) {
    auto locked = plug(21030042);
    auto free = plug(21030042);
    bus().failOpen(locked.path);
    HidComUsb t;
    ASSERT_EQ(t.open(21030042, ""), 0);
    EXPECT_TRUE(log.has(kTag, "Could not open port: " + locked.path, 4));
    EXPECT_TRUE(log.has(kTag, "Connected to " + free.path, 0));
}

TEST_F(UsbTransport, APermissionErrorNamesTheUdevRuleOtherFailuresDoNot) {
    auto denied = plug(21030042);
    auto broken = plug(21030042);
    auto free = plug(21030042);
    bus().failOpen(denied.path, true, EACCES);
    bus().failOpen(broken.path, true, EIO);
    const std::string hint = "Permission denied on " + denied.path +
                             ": this user may not open the vest. Install the udev rule "
                             "70-vibrenza.rules (see the SDK's README) into /usr/lib/udev/rules.d "
                             "or /etc/udev/rules.d, then plug the vest in again.";

    HidComUsb t;
    // The direct path, the search and the scan each say why the node failed.
    ASSERT_EQ(t.open(21030042, denied.path), 0);
    EXPECT_EQ(log.count(kTag, hint, 4), 2) << "the direct attempt and the search";
    EXPECT_TRUE(log.has(kTag, "Could not open port: " + denied.path, 4));
    EXPECT_TRUE(log.has(kTag, "Could not open port: " + broken.path, 4));
    EXPECT_EQ(log.countContaining(kTag, "Permission denied on " + broken.path), 0);
    EXPECT_TRUE(log.has(kTag, "Connected to " + free.path, 0));
    ASSERT_EQ(t.close(), 0);

    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    ASSERT_EQ(t.scan(devices, addresses, texts), 0);
    EXPECT_EQ(devices.size(), 1u);
    EXPECT_EQ(log.count(kTag, hint, 4), 3);
}

TEST_F(UsbTransport, NoiseAndRejectedFramesBeforeTheAnswerAreSkipped) {
    auto v = plug(21030042);
    AnswerFault noisy;
    noisy.noiseFrames = 6;  // 0x8B..0x8F and 0xA0, all good frames
    v.vest->setFault(kGetSerial, noisy);
    // A corrupt frame waits in front of everything.
    auto corrupt = emu::makeFrame(0x88, 9, {0x01, 0x00, 0x01, 0x01});
    corrupt[4] ^= 0x01;
    v.vest->sendUnsolicited(corrupt);

    HidComUsb t;
    ASSERT_EQ(t.open(21030042, v.path), 0);
    EXPECT_EQ(log.count(kTag, errorText(-10), 4), 1);
    EXPECT_EQ(log.count(kTag, "Could not process the answer, waiting for the next message.", 4), 1);
    EXPECT_EQ(v.vest->pendingFrames(), 0u);
}

TEST_F(UsbTransport, AnswersUnderAnotherIdOrLateAnswersAreNotTakenForTheSerial) {
    auto v = plug(21030042);
    AnswerFault wrongId;
    wrongId.replaceId = 0x8A;  // same length as 0x88, good CRC
    v.vest->setFault(kGetSerial, wrongId);
    HidComUsb t;
    EXPECT_EQ(t.open(21030042, v.path), -6);  // path, then the search: both time out
    EXPECT_EQ(v.vest->countReceived(kGetSerial), 2u);
    EXPECT_FALSE(t.isConnected());

    AnswerFault late;
    late.delay = std::chrono::seconds(5);
    v.vest->setFault(kGetSerial, late);
    EXPECT_EQ(t.open(21030042, ""), -6);
    EXPECT_EQ(bus().openHandles(), 0);
}

TEST_F(UsbTransport, ReadJudgesOnIdAndCrcOverTheTableLengthNeverTheSyncWord) {
    auto v = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(0, ""), 0);

    EXPECT_EQ(t.read(), 0);  // nothing waiting

    auto request = emu::makeFrame(0x16, 13, {1, 2, 3, 4, 5, 6, 7, 8});
    v.vest->sendUnsolicited(request);
    EXPECT_EQ(t.read(), 13);
    EXPECT_EQ(t.receiveBuffer[0], 0x16);
    EXPECT_EQ(t.receiveBuffer[10], 8);

    auto noSync = emu::makeFrame(0x88, 9, {0x2A, 0, 3, 21});
    noSync[1] = noSync[2] = 0;
    emu::sealFrame(noSync);
    v.vest->sendUnsolicited(noSync);
    EXPECT_EQ(t.read(), 9);
    EXPECT_EQ(serialFromFields(t.receiveBuffer.data()), 21030042);

    v.vest->sendUnsolicited(emu::makeFrame(0x42, 5));  // unknown id
    EXPECT_EQ(t.read(), -10);
    auto bad = emu::makeFrame(0xA0, 10, {1, 2, 3, 4, 5});
    bad.back() ^= 0x80;
    v.vest->sendUnsolicited(bad);
    EXPECT_EQ(t.read(), -10);
    // A version answer cut short is judged on 105 bytes and fails.
    auto full = emu::makeFrame(0x89, 105, {'1', '.', '0'});
    v.vest->sendUnsolicited(emu::Frame(full.begin(), full.begin() + 9));
    EXPECT_EQ(t.read(), -10);
    EXPECT_EQ(log.count(kTag, errorText(-10), 4), 3);
    EXPECT_TRUE(t.isConnected());  // rejected messages do not end the link
}

TEST_F(UsbTransport, WriteFailureGivesMinusSixThenMinusThree) {
    auto v = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(0, ""), 0);
    const auto frame = shortFrame(DeviceCommand::GetStatus);
    bus().failNextWrites(1);
    EXPECT_EQ(t.write(frame.data(), 5), -6);
    EXPECT_TRUE(log.has(kTag, "Emulated write failure", 4));
    EXPECT_FALSE(t.isConnected());
    EXPECT_EQ(t.write(frame.data(), 5), -3);
    EXPECT_EQ(t.read(), -3);
    EXPECT_EQ(bus().counters().write, 1);
}

TEST_F(UsbTransport, ReadFailureAndUnplugDisconnect) {
    auto v = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(0, ""), 0);
    bus().failNextReads(1);
    EXPECT_EQ(t.read(), -6);
    EXPECT_TRUE(log.has(kTag, "Emulated read failure", 4));
    EXPECT_EQ(t.read(), -3);

    ASSERT_EQ(t.open(0, ""), 0);
    bus().unplug(v.path);
    EXPECT_EQ(t.read(), -6);
    EXPECT_TRUE(log.has(kTag, "Emulated device unplugged", 4));
    EXPECT_FALSE(t.isConnected());
}

TEST_F(UsbTransport, WriteRefusesLengthsOutsideTheSendBufferWithoutSending) {
    auto v = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(0, ""), 0);
    std::vector<uint8_t> big(1025, 0);
    EXPECT_EQ(t.write(big.data(), 1025), -6);
    EXPECT_EQ(t.write(big.data(), 0), -6);
    EXPECT_EQ(t.write(big.data(), -5), -6);
    EXPECT_EQ(t.write(nullptr, 5), -6);
    EXPECT_EQ(bus().counters().write, 0);
    EXPECT_EQ(log.countContaining(kTag, "Could not send a"), 4);
    EXPECT_TRUE(t.isConnected());

    // The largest frame fits: a stream data frame.
    std::vector<uint8_t> data(1012, 0);
    data[0] = 0x96;
    data[1] = 0xAD;
    data[2] = 0xDE;
    commandCrc16(data.data(), 1012);
    v.vest->addCommand(0x96, 1012, [](const emu::Frame&, VestModel::Replies&) {});
    EXPECT_EQ(t.write(data.data(), 1012), 0);
    ASSERT_EQ(v.vest->hostFrames().size(), 1u);
    EXPECT_EQ(v.vest->hostFrames()[0].bytes, data);
}

TEST_F(UsbTransport, CloseKeepsTheDeviceOpenUntilTheNextOpen) {
    plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(0, ""), 0);
    EXPECT_EQ(t.close(), 0);
    EXPECT_FALSE(t.isConnected());
    EXPECT_EQ(bus().openHandles(), 1);
    EXPECT_EQ(t.close(), -3);
    ASSERT_EQ(t.open(0, ""), 0);
    EXPECT_EQ(bus().counters().close, 1);  // the old handle went first
    EXPECT_EQ(bus().openHandles(), 1);
}

TEST_F(UsbTransport, ScanListsEveryVestWithLinkedRecordsAndTexts) {
    auto a = plug(21030042, "first 1.0", 0x01100101);
    auto b = plug(12345678, "second 2.0", 0x0122FFFF);
    HidComUsb t;
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    ASSERT_EQ(t.scan(devices, addresses, texts), 0);
    EXPECT_TRUE(log.has(kTag, "Start USB scanning routine.", 0));

    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].outputType, VBZ_OUTPUT_USB);
    EXPECT_EQ(devices[0].serialNumber, 21030042u);
    EXPECT_EQ(static_cast<int>(devices[0].deviceType), 0x01100101);
    EXPECT_EQ(devices[0].next, &devices[1]);
    EXPECT_EQ(devices[0].deviceVersion, nullptr);
    EXPECT_EQ(devices[1].serialNumber, 12345678u);
    EXPECT_EQ(static_cast<int>(devices[1].deviceType), 0x0122FFFF);
    EXPECT_EQ(devices[1].next, nullptr);
    EXPECT_EQ(texts, (std::vector<std::string>{"first 1.0", a.path, "second 2.0", b.path}));
    EXPECT_EQ(addresses, (std::map<uint32_t, std::string>{{21030042, a.path}, {12345678, b.path}}));
    EXPECT_FALSE(t.isConnected());
    for (const auto& v : {a, b}) {
        EXPECT_EQ(v.vest->countReceived(kGetSerial), 1u);
        EXPECT_EQ(v.vest->countReceived(kGetVersion), 1u);
        EXPECT_EQ(v.vest->countReceived(kGetType), 1u);
    }
}

TEST_F(UsbTransport, ScanKeepsTheFirstAddressOfASerialAndCutsVersionTexts) {
    const std::string hundred(100, 'v');
    auto a = plug(21030042, hundred);
    auto b = plug(21030042, "short");
    auto c = plug(99, "unknown type", 0x12345678);
    HidComUsb t;
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    ASSERT_EQ(t.scan(devices, addresses, texts), 0);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(addresses.at(21030042), a.path);
    EXPECT_EQ(texts[0], hundred);
    EXPECT_EQ(texts[2], "short");
    EXPECT_EQ(devices[2].deviceType, VBZ_DEVICE_UNKNOWN);
    EXPECT_EQ(devices[0].next, &devices[1]);
    EXPECT_EQ(devices[1].next, &devices[2]);
}

TEST_F(UsbTransport, ScanLeavesOutVestsThatFailAnyStep) {
    auto silentOnVersion = plug(11111111);
    auto wrongTypeId = plug(22222222);
    auto failingOpen = plug(33333333);
    auto good = plug(44444444);
    AnswerFault silent;
    silent.silent = true;
    silentOnVersion.vest->setFault(kGetVersion, silent);
    AnswerFault error;
    error.deviceError = -5;
    wrongTypeId.vest->setFault(kGetType, error);
    bus().failOpen(failingOpen.path);

    HidComUsb t;
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    ASSERT_EQ(t.scan(devices, addresses, texts), 0);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].serialNumber, 44444444u);
    EXPECT_EQ(texts.size(), 2u);
    EXPECT_TRUE(log.has(kTag, "Could not open port: " + failingOpen.path, 4));
}

TEST_F(UsbTransport, ScanOnAConnectedTransportIsRefused) {
    plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(0, ""), 0);
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    EXPECT_EQ(t.scan(devices, addresses, texts), -11);
    EXPECT_TRUE(devices.empty() && texts.empty());
    EXPECT_TRUE(t.isConnected());
}

TEST_F(UsbTransport, WriteFailureDuringScanLogsHidapisTextAndGoesOn) {
    auto a = plug(21030042);
    auto b = plug(12345678);
    bus().failNextWrites(1);
    HidComUsb t;
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    ASSERT_EQ(t.scan(devices, addresses, texts), 0);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].serialNumber, 12345678u);
    EXPECT_EQ(log.count(kTag, "Emulated write failure", 4), 2);  // reported, then its text
}

TEST_F(UsbTransport, HidapiIsReleasedAfterTheLastTransportOnly) {
    {
        auto first = std::make_unique<HidComUsb>();
        auto second = std::make_unique<HidComUsb>();
        EXPECT_EQ(bus().counters().init, 1);
        first.reset();
        EXPECT_EQ(bus().counters().exit, 0);
        second.reset();
        EXPECT_EQ(bus().counters().exit, 1);
    }
    HidComUsb again;
    EXPECT_EQ(bus().counters().init, 2);
}

TEST_F(UsbTransport, TransportsMadeOnManyThreadsKeepHidapiBalanced) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([] {
            for (int k = 0; k < 200; ++k) HidComUsb t;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(HidComUsb::liveTransports(), 0);
    EXPECT_EQ(bus().initDepth(), 0);
    const auto c = bus().counters();
    EXPECT_EQ(c.init, c.exit);
}

TEST_F(UsbTransport, DestroyingAConnectedTransportClosesItsDevice) {
    plug(21030042);
    {
        HidComUsb t;
        ASSERT_EQ(t.open(0, ""), 0);
        EXPECT_EQ(bus().openHandles(), 1);
    }
    EXPECT_EQ(bus().openHandles(), 0);
}

TEST_F(UsbTransport, OneThreadWritesWhileAnotherReads) {
    auto v = plug(21030042);
    HidComUsb t;
    ASSERT_EQ(t.open(0, ""), 0);
    constexpr int kRequests = 200;
    std::thread writer([&t] {
        const auto request = shortFrame(DeviceCommand::GetSerialNumber);
        for (int i = 0; i < kRequests; ++i) ASSERT_EQ(t.write(request.data(), 5), 0);
    });
    int answers = 0;
    int idleReads = 0;
    while (answers < kRequests && idleReads < 500) {
        const int r = t.read();
        ASSERT_GE(r, 0);
        if (r == 0) {
            ++idleReads;
            continue;
        }
        EXPECT_EQ(r, 9);
        EXPECT_EQ(serialFromFields(t.receiveBuffer.data()), 21030042);
        ++answers;
    }
    writer.join();
    EXPECT_EQ(answers, kRequests);
    EXPECT_EQ(v.vest->countReceived(kGetSerial), static_cast<std::size_t>(kRequests));
}
