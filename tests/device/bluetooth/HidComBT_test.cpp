// The Bluetooth transport through its factory: a scripted device list and
// emulated vests behind Unix socket pairs, read and written by the real
// socket code.
#include "device/HidComBT.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "sdk/core/ErrorText.h"
#include "tests/support/BtTestLink.h"
#include "tests/support/Eventually.h"
#include "tests/support/LogCapture.h"
#include "tools/vest-emulator/VestModel.h"

using namespace vbz;
using vbz::emu::AnswerFault;
using vbz::emu::StreamAdapter;
using vbz::emu::VestIdentity;
using vbz::emu::VestModel;

namespace {
using namespace vbz_test::bt_names;
using vbz_test::eventually;

std::vector<uint8_t> frame(uint8_t id, std::size_t length, std::vector<uint8_t> payload = {}) {
    return vbz::emu::makeFrame(id, length, payload);
}

class BtTransport : public ::testing::Test {
protected:
    std::unique_ptr<HidComBT> transport() {
        // No settling pause keeps the tests quick; answers get their usual time.
        return std::make_unique<HidComBT>(
            link, HidComBT::Timing{std::chrono::milliseconds(0), std::chrono::milliseconds(1500)});
    }
    // Reads until a non-zero result (boundedly).
    static int nextResult(HidComBT& t) {
        int r = 0;
        eventually([&] { return (r = t.read()) != 0; });
        return r;
    }

    vbz_test::LogCapture log;
    std::shared_ptr<vbz_test::BtTestLink> link = std::make_shared<vbz_test::BtTestLink>();
};

}  // namespace

TEST(BtDeviceName, VestNamesAreRecognisedWhateverTheirCase) {
    for (const char* name : {"VIBRENZA 42", "rvd mk x", "rvd-mk-ii", "RVD_MK.V", "my rvd  mk-xiv",
                             "rvd..mk x", "Vibrenza"})
        EXPECT_TRUE(HidComBT::isVestName(name)) << name;
    for (const char* name : {"rvdmkv", "rvd mk  x", "rvd mkx", "rvd mk-y", "vibren za", "", "mk x"})
        EXPECT_FALSE(HidComBT::isVestName(name)) << name;
    EXPECT_FALSE(HidComBT::isVestName(std::string(5000, 'r') + "\xFF"));
}

TEST_F(BtTransport, OnlyNamedAndPairedDevicesAreTried) {
    const char* names[] = {"VIBRENZA 42", "rvd mk x", "rvd-mk-ii", "rvdmkv", "Vibrenza", "Speaker"};
    const char* addresses[] = {kA1, kA2, kA3, kA4, kA5, kA6};
    for (int i = 0; i < 6; ++i) {
        link->addVest(addresses[i], VestIdentity::withSerial(10000000 + i));
        link->list(addresses[i], names[i], /*authenticated=*/i != 4);
    }
    auto t = transport();
    EXPECT_EQ(t->open(99999999, ""), -6);
    EXPECT_EQ(link->connections(), (std::vector<std::string>{kA1, kA2, kA3}));
    EXPECT_TRUE(log.has(kTag, "Try to connect to device rvd-mk-ii", 0));
    EXPECT_EQ(link->liveSockets(), 0);
    EXPECT_EQ(link->mostSocketsAtOnce(), 1);
    EXPECT_EQ(log.countContaining(kTag, "Device 99999999 is not available over Bluetooth."), 1);
}

TEST_F(BtTransport, SerialZeroTakesTheFirstVestThatAnswers) {
    auto silent = link->addVest(kA1);
    AnswerFault mute;
    mute.silent = true;
    silent->setFault(mute);
    link->addVest(kA2, VestIdentity::withSerial(21030042));
    link->list(kA1, "VIBRENZA 1");
    link->list(kA2, "VIBRENZA 2");

    auto t = transport();
    EXPECT_EQ(t->open(0, ""), 0);
    EXPECT_TRUE(t->isConnected());
    EXPECT_TRUE(log.has(kTag, "Timeout, no answer from remote BT device.", 3));
    EXPECT_TRUE(log.has(kTag, std::string("Connected to ") + kA2, 2));
    EXPECT_EQ(link->liveSockets(), 1);
    EXPECT_EQ(t->open(0, ""), 0) << "already connected";
    EXPECT_EQ(link->connections().size(), 2u);
}

TEST_F(BtTransport, AnotherSerialIsClosedAndTheNextDeviceTried) {
    link->addVest(kA1, VestIdentity::withSerial(11111111));
    link->addVest(kA2, VestIdentity::withSerial(22222222));
    link->list(kA1, "VIBRENZA 1");
    link->list(kA2, "VIBRENZA 2");
    auto t = transport();
    EXPECT_EQ(t->open(22222222, ""), 0);
    EXPECT_TRUE(log.has(kTag, std::string("Connected to 22222222 at address ") + kA2, 2));
    EXPECT_TRUE(eventually([&] { return link->adapter(kA1)->finished(); }))
        << "the first vest's link was closed";
    EXPECT_EQ(link->mostSocketsAtOnce(), 1);
}

TEST_F(BtTransport, DirectAddressIsTriedBeforeAnyInquiry) {
    link->addVest(kA1, VestIdentity::withSerial(11111111));
    auto t = transport();
    EXPECT_EQ(t->open(11111111, kA1), 0);
    EXPECT_EQ(link->inquiries(), 0);
    EXPECT_TRUE(log.has(kTag, std::string("Connected to ") + kA1, 0));
}

TEST_F(BtTransport, DirectAddressOfAnotherVestFallsBackToTheSearch) {
    link->addVest(kA1, VestIdentity::withSerial(11111111));
    link->addVest(kA2, VestIdentity::withSerial(22222222));
    link->list(kA2, "VIBRENZA 2");
    auto t = transport();
    EXPECT_EQ(t->open(22222222, kA1), 0);
    EXPECT_TRUE(log.has(kTag, "Wrong Serial Number, rescan devices.", 0));
    EXPECT_EQ(link->connections(), (std::vector<std::string>{kA1, kA2}));
}

TEST_F(BtTransport, StaleOrUnreachableAddressesAreLoggedAndTheSearchRuns) {
    link->addVest(kA1, VestIdentity::withSerial(11111111));
    link->list(kA1, "VIBRENZA 1");
    link->refuseSocket(kA5);
    auto t = transport();
    EXPECT_EQ(t->open(11111111, kA5), 0);
    EXPECT_TRUE(log.has(kTag,
                        "The scanned devices list is not up-to-date anymore. Targeted device might "
                        "have been unplugged. Search for another one.",
                        0));

    auto u = transport();
    EXPECT_EQ(u->open(11111111, kA6), 0);
    EXPECT_TRUE(log.has(kTag, std::string("Failed to connect to ") + kA6 +
                                  ": Cannot connect: (112) Host is down",
                        3));
}

TEST_F(BtTransport, WithoutAnInquiryOnlyTheDirectAddressWorks) {
    link->failInquiryCreation("no radio");
    link->addVest(kA1, VestIdentity::withSerial(11111111));
    auto t = transport();
    EXPECT_TRUE(log.has(kTag, "Failed to initialize Bluetooth: no radio", 4));
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    EXPECT_EQ(t->scan(devices, addresses, texts), -1);
    EXPECT_EQ(t->open(0, ""), -1);
    EXPECT_EQ(t->open(11111111, kA1), 0);
}

TEST_F(BtTransport, FailedInquiryIsLogged) {
    link->failInquiry("(16) Device or resource busy");
    auto t = transport();
    EXPECT_EQ(t->open(0, ""), -6);
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    EXPECT_EQ(t->scan(devices, addresses, texts), -1);
    EXPECT_EQ(log.count(kTag, "Failed to inquire bluetooth devices: (16) Device or resource busy", 4),
              2);
}

TEST_F(BtTransport, AnUnexpectedFirstAnswerPassesTheDeviceOver) {
    auto odd = link->addVest(kA1);
    AnswerFault wrongId;
    wrongId.replaceId = 0x8A;
    odd->setFault(0x08, wrongId);
    link->addVest(kA2, VestIdentity::withSerial(22222222));
    link->list(kA1, "VIBRENZA 1");
    link->list(kA2, "VIBRENZA 2");
    auto t = transport();
    EXPECT_EQ(t->open(0, ""), 0);
    EXPECT_EQ(link->connections(), (std::vector<std::string>{kA1, kA2}));
}

// ---- Frames the vest sends of its own accord while an exchange waits.

namespace {
const std::vector<uint8_t> kBoardStatus = frame(0xA0, 10, {1, 2, 3, 4, 5});
const std::vector<uint8_t> kDataRequest = frame(0x16, 13, {0, 0, 0, 0, 0xD4, 0x30});

// The vest sends these frames before its next answer (or instead of it).
AnswerFault ownFramesFirst(std::vector<std::vector<uint8_t>> frames, int times = 1) {
    AnswerFault fault;
    fault.ownFramesFirst = std::move(frames);
    fault.times = times;
    return fault;
}

std::vector<uint8_t> received(const HidComBT& t, int length) {
    return {t.receiveBuffer.begin(), t.receiveBuffer.begin() + length};
}
}  // namespace

TEST_F(BtTransport, OwnFramesBeforeTheSerialAnswerDoNotDecideOpenAndAreReadNext) {
    auto vest = link->addVest(kA1, VestIdentity::withSerial(21030042));
    vest->setFault(0x08, ownFramesFirst({kBoardStatus, kDataRequest}));
    auto t = transport();
    ASSERT_EQ(t->open(21030042, kA1), 0);
    ASSERT_EQ(t->read(), 10);
    EXPECT_EQ(received(*t, 10), kBoardStatus);
    ASSERT_EQ(t->read(), 13);
    EXPECT_EQ(received(*t, 13), kDataRequest);
    EXPECT_EQ(t->read(), 0);
}

TEST_F(BtTransport, ScanPassesOverOwnFramesBeforeEachAnswer) {
    auto vest = link->addVest(kA1, VestIdentity::withSerial(21030042));
    vest->setFault(ownFramesFirst({kBoardStatus}, -1));
    link->list(kA1, "VIBRENZA 1");
    auto t = transport();
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    EXPECT_EQ(t->scan(devices, addresses, texts), 0);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].serialNumber, 21030042u);
    EXPECT_EQ(texts, (std::vector<std::string>{"VBZ-EMU 1.4.2", kA1}));
}

// The first vest answers with another id after its own frames, or is of
// another serial: it is passed over at once, and what it sent is forgotten
// with it.
TEST_F(BtTransport, AVestPassedOverAfterOwnFramesLeavesNothingToRead) {
    AnswerFault wrongId = ownFramesFirst({kBoardStatus});
    wrongId.replaceId = 0x8A;
    const struct {
        const char* what;
        AnswerFault fault;
        unsigned firstSerial, wanted;
    } cases[] = {{"another answer id", wrongId, 11111111, 0},
                 {"another serial", ownFramesFirst({kBoardStatus}), 11111111, 22222222}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        link = std::make_shared<vbz_test::BtTestLink>();
        link->addVest(kA1, VestIdentity::withSerial(c.firstSerial))->setFault(0x08, c.fault);
        link->addVest(kA2, VestIdentity::withSerial(22222222));
        link->list(kA1, "VIBRENZA 1");
        link->list(kA2, "VIBRENZA 2");
        auto t = transport();
        ASSERT_EQ(t->open(c.wanted, ""), 0);
        EXPECT_EQ(link->connections(), (std::vector<std::string>{kA1, kA2}));
        EXPECT_FALSE(log.has(kTag, "Timeout, no answer from remote BT device."));
        EXPECT_EQ(t->read(), 0) << "what the device passed over sent is not this link's";
    }
}

// Right away or after frames of the vest's own.
TEST_F(BtTransport, DeviceErrorWhileWaitingIsLoggedOnceAndPassesTheDeviceOver) {
    for (const auto& ownFrames : {std::vector<std::vector<uint8_t>>{}, {kBoardStatus, kDataRequest}}) {
        SCOPED_TRACE(ownFrames.size());
        link = std::make_shared<vbz_test::BtTestLink>();
        log.clear();
        AnswerFault error = ownFramesFirst(ownFrames);
        error.deviceError = -7;
        link->addVest(kA1)->setFault(0x08, error);
        link->list(kA1, "VIBRENZA 1");
        auto t = transport();
        EXPECT_EQ(t->open(0, ""), -6);
        EXPECT_EQ(log.count("HidCom", "Invalid internal state.", 4), 1);
        EXPECT_FALSE(log.has(kTag, "Timeout, no answer from remote BT device."));
        EXPECT_EQ(link->liveSockets(), 0);
    }
}

TEST_F(BtTransport, OwnFramesWithoutAnAnswerStillTimeOut) {
    auto vest = link->addVest(kA1);
    AnswerFault mute = ownFramesFirst({kBoardStatus, kBoardStatus});
    mute.silent = true;
    vest->setFault(0x08, mute);
    link->list(kA1, "VIBRENZA 1");
    auto t = transport();
    EXPECT_EQ(t->open(0, ""), -6);
    EXPECT_EQ(log.count(kTag, "Timeout, no answer from remote BT device.", 3), 1);
    EXPECT_EQ(link->liveSockets(), 0);
}

TEST_F(BtTransport, NothingKeptOutlivesClose) {
    auto vest = link->addVest(kA1, VestIdentity::withSerial(21030042));
    vest->setFault(0x08, ownFramesFirst({kBoardStatus}));
    auto t = transport();
    ASSERT_EQ(t->open(21030042, kA1), 0);
    EXPECT_EQ(t->close(), 0);
    ASSERT_EQ(t->open(21030042, kA1), 0);
    EXPECT_EQ(t->read(), 0);
}

TEST_F(BtTransport, ScanRecordsEveryVestAndLeavesNoLinkOpen) {
    VestIdentity first = VestIdentity::withSerial(11111111);
    first.version = "BT 1.0";
    first.typeCode = 0x01100101;
    VestIdentity second = VestIdentity::withSerial(22222222);
    second.version = std::string(100, 'v');  // fills the field: no NUL
    link->addVest(kA1, first);
    link->addVest(kA2, second);
    auto silent = link->addVest(kA3, VestIdentity::withSerial(33333333));
    AnswerFault mute;
    mute.silent = true;
    silent->setFault(0x0A, mute);  // answers all but its type
    link->addVest(kA4, VestIdentity::withSerial(11111111));
    for (const char* a : {kA1, kA2, kA3, kA4}) link->list(a, "VIBRENZA");

    auto t = transport();
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    EXPECT_EQ(t->scan(devices, addresses, texts), 0);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].outputType, VBZ_OUTPUT_BLUETOOTH);
    EXPECT_EQ(devices[0].serialNumber, 11111111u);
    EXPECT_EQ(devices[0].deviceType, 0x01100101);
    EXPECT_EQ(devices[0].next, &devices[1]);
    EXPECT_EQ(devices[1].next, &devices[2]);
    EXPECT_EQ(devices[2].next, nullptr);
    EXPECT_EQ(texts, (std::vector<std::string>{"BT 1.0", kA1, std::string(100, 'v'), kA2,
                                               "VBZ-EMU 1.4.2", kA4}));
    EXPECT_EQ(addresses.at(11111111), kA1) << "the first address of a serial stays";
    EXPECT_EQ(addresses.count(33333333), 0u);
    EXPECT_EQ(log.count(kTag, "Device found - Serial number: 11111111", 0), 2);
    EXPECT_FALSE(t->isConnected());
    EXPECT_EQ(link->liveSockets(), 0);
}

class ConnectedBtTransport : public BtTransport {
protected:
    void SetUp() override { connectTo({}); }
    void connectTo(StreamAdapter::Options options) {
        vest = link->addVest(kA1, VestIdentity::withSerial(21030042), options);
        t = transport();
        ASSERT_EQ(t->open(21030042, kA1), 0);
    }
    std::shared_ptr<VestModel> vest;
    std::unique_ptr<HidComBT> t;
};

TEST_F(ConnectedBtTransport, WritesReachTheVestAndAnswersAreRead) {
    const auto request = shortFrame(DeviceCommand::GetType);
    EXPECT_EQ(t->write(request.data(), static_cast<int>(request.size())), 0);
    EXPECT_EQ(nextResult(*t), 9);
    EXPECT_EQ(t->receiveBuffer[0], 0x8A);
    EXPECT_EQ(readU32(t->receiveBuffer.data() + 3), 0x0123FFFFu);
    EXPECT_TRUE(vest->violations().empty());
    EXPECT_EQ(t->read(), 0) << "nothing more is waiting";
}

TEST_F(ConnectedBtTransport, TwoFramesInOneChunkAreBothDelivered) {
    auto both = frame(0xA0, 10, {1, 2, 3, 4, 5});
    const auto second = frame(0x16, 13, {9, 8, 7, 6});
    both.insert(both.end(), second.begin(), second.end());
    link->adapter(kA1)->sendRaw(both);
    EXPECT_EQ(nextResult(*t), 10);
    EXPECT_EQ(t->receiveBuffer[3], 1);
    EXPECT_EQ(nextResult(*t), 13);
    EXPECT_EQ(t->receiveBuffer[3], 9);
}

TEST_F(ConnectedBtTransport, BytesThatStartNoFrameAreDroppedOnceAndTheFrameFollows) {
    auto bytes = std::vector<uint8_t>{0x00, 0x42, 0xAD};
    auto broken = frame(0x88, 9, {1, 2, 3, 4});
    broken[8] ^= 0x01;  // bad CRC
    bytes.insert(bytes.end(), broken.begin(), broken.end());
    const auto good = frame(0x88, 9, {0x2A, 0x00, 0x03, 0x15});
    bytes.insert(bytes.end(), good.begin(), good.end());
    link->adapter(kA1)->sendRaw(bytes);

    EXPECT_EQ(nextResult(*t), -10);
    EXPECT_EQ(nextResult(*t), 9);
    EXPECT_EQ(serialFromFields(t->receiveBuffer.data()), 21030042);
    EXPECT_EQ(log.count(kTag, "Could not process the answer, waiting for the next message.", 3), 1);
}

TEST_F(ConnectedBtTransport, GoneVestMakesWriteFailAndDisconnects) {
    link->adapter(kA1)->hangUp();
    const auto request = shortFrame(DeviceCommand::GetStatus);
    EXPECT_EQ(t->write(request.data(), 5), -6);
    EXPECT_TRUE(log.has(kTag, "Cannot send BT message: Writing attempt was unsuccessful", 3));
    EXPECT_FALSE(t->isConnected());
    EXPECT_EQ(t->read(), -3);
    EXPECT_TRUE(log.has(kTag, "Unable to get next command: " + errorText(-3), 0));
}

TEST_F(ConnectedBtTransport, BadFramesAreRefusedWithoutDisconnecting) {
    const std::vector<uint8_t> big(1025, 0);
    EXPECT_EQ(t->write(nullptr, 5), -6);
    EXPECT_EQ(t->write(big.data(), 1025), -6);
    EXPECT_EQ(t->write(big.data(), 0), -6);
    EXPECT_TRUE(t->isConnected());
}

TEST_F(ConnectedBtTransport, CloseAndDestructionReleaseTheLink) {
    EXPECT_EQ(t->close(), 0);
    EXPECT_EQ(link->liveSockets(), 0);
    EXPECT_TRUE(eventually([&] { return link->adapter(kA1)->finished(); }));
    EXPECT_EQ(t->close(), -3);
    const auto request = shortFrame(DeviceCommand::GetStatus);
    EXPECT_EQ(t->write(request.data(), 5), -3);

    ASSERT_EQ(t->open(21030042, kA1), 0);
    EXPECT_EQ(link->liveSockets(), 1);
    t.reset();
    EXPECT_EQ(link->liveSockets(), 0);
}

class SplitBtTransport : public ConnectedBtTransport {
protected:
    void SetUp() override {
        StreamAdapter::Options pieces;
        pieces.pieceBytes = 4;
        pieces.piecePause = std::chrono::milliseconds(1);
        connectTo(pieces);
    }
};

TEST_F(SplitBtTransport, AFrameInPiecesIsDeliveredWhole) {
    const auto request = shortFrame(DeviceCommand::GetVersion);
    EXPECT_EQ(t->write(request.data(), 5), 0);
    EXPECT_EQ(nextResult(*t), 105);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t->receiveBuffer.data() + 3)),
              "VBZ-EMU 1.4.2");
    EXPECT_FALSE(log.has(kTag, "Could not process the answer, waiting for the next message."));
}
