// The Wi-Fi transport over real UDP sockets against emulated vests. Every
// test runs in network namespaces of its own (tests/support/NetNamespace.h):
// either one with only loopback up, where discovery finds no network and
// sends nothing, or two joined by a veth pair, the vests on one side
// (10.213.0.1) and the transport on the other (10.213.0.2).
#include "device/HidComUdp.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "sdk/core/ErrorText.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NetNamespace.h"
#include "tools/vest-emulator/VestModel.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"

using namespace vbz;
using vbz::emu::AnswerFault;
using vbz::emu::UdpEndpoint;
using vbz::emu::UdpVestServer;
using vbz::emu::VestIdentity;
using vbz::emu::VestModel;
using vbz_test::DatagramRecorder;
using vbz_test::NetnsThread;
using vbz_test::VethPair;

namespace {
constexpr const char* kTag = "WIFIStandalone";
constexpr uint8_t kGetSerial = 0x08;
constexpr uint8_t kGetVersion = 0x09;
constexpr uint8_t kGetType = 0x0A;
constexpr uint8_t kDiscover = 0x10;
constexpr uint8_t kBind = 0x11;
constexpr uint8_t kUnbind = 0x12;
constexpr uint32_t kLoopback = 0x7F000001u;

std::shared_ptr<VestModel> makeVest(uint32_t serial, const std::string& version = "VBZ-EMU 1.4.2",
                                    uint32_t type = 0x0123FFFF) {
    VestIdentity id = VestIdentity::withSerial(serial);
    id.version = version;
    id.typeCode = type;
    return std::make_shared<VestModel>(id);
}

std::string checklist() {
    return "\n\t - the board is turned on.\n\t - it is set to use WiFi.\n\t - the WiFi settings are "
           "configured on the board.\n\t - it is connected to the WiFi and not still trying to "
           "connect to it.\n\t - the device is not already in use by another application.";
}

struct Scan {
    std::vector<vbz_device_info_t> devices;
    std::map<uint32_t, std::string> addresses;
    std::vector<std::string> texts;
    int run(HidComUdp& t) { return t.scan(devices, addresses, texts); }
};

// A plain socket of the test's own, made in the namespace of the thread
// that constructs it, to play a third party on the network.
struct RawSocket {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ~RawSocket() {
        if (fd >= 0) ::close(fd);
    }
    bool bindTo(uint32_t address, uint16_t port) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(address);
        return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool sendTo(const UdpEndpoint& to, const emu::Frame& f) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(to.port);
        a.sin_addr.s_addr = htonl(to.address);
        return sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
               static_cast<ssize_t>(f.size());
    }
    bool hasWaiting() {
        uint8_t b[8];
        return recv(fd, b, sizeof b, MSG_DONTWAIT) >= 0;
    }
};

// Reads until a good frame arrives (or the transport gives up): a
// readiness wait for answers that are already on their way.
int readFrame(HidComUdp& t) {
    for (int i = 0; i < 500; ++i) {
        const int r = t.read();
        if (r != 0) return r;
    }
    return 0;
}

// --- loopback only ---------------------------------------------------------

class UdpOnLoopback : public ::testing::Test {
protected:
    void SetUp() override { VBZ_REQUIRE_NETNS(ns); }
    // Serves one vest on 127.0.0.1 (any free port); its address text.
    std::string serve(std::shared_ptr<VestModel> vest, uint32_t address = kLoopback,
                      uint16_t port = 0) {
        std::optional<UdpEndpoint> at;
        std::string error;
        ns.run([&] { at = server.add(std::move(vest), {address, port}, &error); });
        EXPECT_TRUE(at) << error;
        EXPECT_TRUE(server.start(&error)) << error;
        if (!at) return "";
        return UdpEndpoint{kLoopback, at->port}.text();
    }

    vbz_test::LogCapture log;
    NetnsThread ns;
    UdpVestServer server;
};

TEST_F(UdpOnLoopback, WithoutANetworkNothingIsFoundAndNothingIsSent) {
    ns.run([&] {
        DatagramRecorder onLoopback("lo");
        ASSERT_TRUE(onLoopback.ok()) << onLoopback.error();
        EXPECT_TRUE(HidComUdp::broadcastAddresses().empty());

        HidComUdp t;
        EXPECT_EQ(t.read(), -3);
        const auto frame = shortFrame(DeviceCommand::GetStatus);
        EXPECT_EQ(t.write(frame.data(), 5), -3);
        EXPECT_EQ(t.close(), -3);

        Scan s;
        EXPECT_EQ(s.run(t), 0);
        EXPECT_TRUE(s.devices.empty() && s.addresses.empty() && s.texts.empty());
        EXPECT_EQ(t.open(0, ""), -6);
        EXPECT_TRUE(log.has(kTag,
                            "No device is available over WiFi. If it was expected to connect to "
                            "one, make sure that: " + checklist(),
                            2));
        EXPECT_EQ(t.open(21030042, ""), -6);
        EXPECT_TRUE(log.has(kTag,
                            "Device 21030042 is not available over WiFi. If it was expected to "
                            "connect, make sure that: " + checklist(),
                            2));
        EXPECT_FALSE(t.isConnected());
        EXPECT_TRUE(onLoopback.take().empty());
    });
    EXPECT_TRUE(log.has(kTag, "Start Wifi scanning routine.", 0));
    EXPECT_TRUE(log.has(kTag, "Start Wifi connection routine.", 0));
}

TEST_F(UdpOnLoopback, DirectAddressConnectsWithSerialAndBindAndCloseUnbindsOnce) {
    auto vest = makeVest(21030042);
    const std::string address = serve(vest);
    ns.run([&] {
        HidComUdp t;
        ASSERT_EQ(t.open(21030042, address), 0);
        EXPECT_TRUE(t.isConnected());
        EXPECT_TRUE(t.isBound());
        EXPECT_TRUE(vest->bound());
        EXPECT_EQ(vest->countReceived(kGetSerial), 1u);
        EXPECT_EQ(vest->countReceived(kBind), 1u);
        EXPECT_EQ(vest->countReceived(kDiscover), 0u);
        EXPECT_TRUE(log.has(kTag, "Connected to " + address, 4));
        EXPECT_EQ(t.open(21030042, address), 0);  // already connected: nothing sent

        // A request through the open link.
        const auto type = shortFrame(DeviceCommand::GetType);
        ASSERT_EQ(t.write(type.data(), 5), 0);
        EXPECT_EQ(readFrame(t), 9);
        EXPECT_EQ(t.receiveBuffer[0], 0x8A);

        EXPECT_EQ(t.close(), 0);
        EXPECT_FALSE(vest->bound());
        EXPECT_EQ(vest->countReceived(kUnbind), 1u);
        EXPECT_EQ(t.close(), -3);
    });
    // The destructor found nothing left to unbind.
    EXPECT_EQ(vest->countReceived(kUnbind), 1u);
    EXPECT_TRUE(vest->violations().empty());
}

TEST_F(UdpOnLoopback, DestroyingAConnectedTransportReleasesTheVest) {
    auto vest = makeVest(21030042);
    const std::string address = serve(vest);
    ns.run([&] {
        HidComUdp t;
        ASSERT_EQ(t.open(21030042, address), 0);
    });
    EXPECT_FALSE(vest->bound());
    EXPECT_EQ(vest->countReceived(kUnbind), 1u);
}

TEST_F(UdpOnLoopback, WrongSerialOnTheAddressLeavesTheVestUnboundAndSearches) {
    auto vest = makeVest(11110000);
    vest->setOldFirmware(true);  // the serial request binds it on the spot
    const std::string address = serve(vest);
    ns.run([&] {
        HidComUdp t;
        EXPECT_EQ(t.open(21030042, address), -6);
        EXPECT_FALSE(t.isConnected());
    });
    EXPECT_TRUE(log.has(kTag, "Wrong serial number, rescan devices.", 2));
    EXPECT_EQ(log.count(kTag, "Firmware prior 1.3.3 detected, an update is advised.", 3), 1);
    EXPECT_FALSE(vest->bound());
    EXPECT_EQ(vest->countReceived(kUnbind), 1u);
}

TEST_F(UdpOnLoopback, AnotherAnswerFailsTheRequestAndOtherDeviceErrorsAreWaitedPast) {
    auto vest = makeVest(21030042);
    const std::string address = serve(vest);
    AnswerFault wrongId;
    wrongId.replaceId = 0x8A;  // same length as 0x88, good CRC
    wrongId.times = 1;
    vest->setFault(kGetSerial, wrongId);
    ns.run([&] {
        HidComUdp t;
        EXPECT_EQ(t.open(21030042, address), -6);  // then the search finds nothing
        EXPECT_TRUE(log.has(kTag, "Unexpected answer 0x8A while waiting for 0x88.", 3));

        AnswerFault refuses;
        refuses.deviceError = -4;
        refuses.times = 1;
        vest->setFault(kGetSerial, refuses);
        EXPECT_EQ(t.open(21030042, address), -6);
    });
    EXPECT_TRUE(log.has("HidCom", "The received message had invalid parameters.", 4));
    EXPECT_EQ(log.count(kTag, "Firmware prior 1.3.3 detected, an update is advised."), 0);
    EXPECT_EQ(vest->countReceived(kBind), 0u);
    EXPECT_TRUE(log.has(kTag,
                        "Could not connect to " + address +
                            " - device does not appear to be available.",
                        0));
}

TEST_F(UdpOnLoopback, FramesOfTheVestsOwnDoNotDecideBindOrUnbindAndAreHandedOn) {
    const emu::Frame status = emu::makeFrame(0xA0, 10, {1, 2, 3, 4, 5});
    const emu::Frame request = emu::makeFrame(0x16, 13, {0, 0, 0, 0, 0xD4, 0x30, 0, 0});
    AnswerFault ownFirst;
    ownFirst.ownFramesFirst = {status, request};
    ownFirst.times = 1;
    AnswerFault otherAnswer;
    otherAnswer.noiseFrames = 1;  // an 0x8B answer
    otherAnswer.times = 1;
    auto vest = makeVest(21030042);
    const std::string address = serve(vest);
    ns.run([&] {
        HidComUdp t;
        vest->setFault(kBind, ownFirst);
        vest->setFault(kUnbind, ownFirst);
        ASSERT_EQ(t.open(21030042, address), 0);
        EXPECT_TRUE(vest->bound());
        // What came before the answer is read next, in order.
        ASSERT_EQ(t.read(), 10);
        EXPECT_EQ(std::vector<uint8_t>(t.receiveBuffer.begin(), t.receiveBuffer.begin() + 10),
                  status);
        ASSERT_EQ(t.read(), 13);
        EXPECT_EQ(t.receiveBuffer[0], 0x16);
        EXPECT_EQ(t.close(), 0);
        EXPECT_FALSE(vest->bound());

        // The answer to another command still fails either exchange.
        vest->setFault(kBind, otherAnswer);
        EXPECT_EQ(t.open(21030042, address), -6);
        EXPECT_TRUE(log.has(kTag, "Unexpected answer 0x8B while waiting for 0x91.", 3));
        vest->clearFaults();
        ASSERT_EQ(t.open(21030042, address), 0);
        vest->setFault(kUnbind, otherAnswer);
        EXPECT_EQ(t.close(), -10);
    });
    EXPECT_EQ(vest->countReceived(kUnbind), 2u);
}

TEST_F(UdpOnLoopback, UnreadableAddressesNeverReachThisHost) {
    // A vest listening on every local address would hear a datagram sent
    // to 0.0.0.0.
    auto vest = makeVest(21030042);
    serve(vest, 0, 33624);
    ns.run([&] {
        HidComUdp t;
        for (const char* bad : {"vest.local:33624", "0.0.0:33624", "127.0.0.1", "127.0.0.1:99999"}) {
            EXPECT_EQ(t.open(21030042, bad), -6) << bad;
            EXPECT_TRUE(log.has(kTag,
                                std::string("Could not read the device address \"") + bad +
                                    "\": expected a.b.c.d:port.",
                                4));
        }
    });
    EXPECT_EQ(server.datagrams(0), 0u);
}

TEST_F(UdpOnLoopback, ReadTakesWholeGoodFramesFromTheVestAndDropsTheRest) {
    auto vest = makeVest(21030042);
    const std::string address = serve(vest);
    const auto at = *UdpEndpoint::parse(address);
    ns.run([&] {
        HidComUdp t;
        ASSERT_EQ(t.open(21030042, address), 0);
        const auto sdk = server.peer(0);
        ASSERT_TRUE(sdk);
        // A second socket on the vest's own address and port speaks for it.
        RawSocket asVest;
        ASSERT_TRUE(asVest.bindTo(kLoopback, at.port));

        auto serialAnswer = emu::makeFrame(0x88, 9, {0x2A, 0x00, 0x03, 0x15});
        auto wrongSync = serialAnswer;
        wrongSync[1] = wrongSync[2] = 0;
        emu::sealFrame(wrongSync);
        ASSERT_TRUE(asVest.sendTo(*sdk, wrongSync));
        EXPECT_EQ(readFrame(t), 9);  // the sync word is never looked at

        auto shortVersion = emu::makeFrame(0x89, 9);  // the answer 0x89 has 105 bytes
        ASSERT_TRUE(asVest.sendTo(*sdk, shortVersion));
        EXPECT_EQ(readFrame(t), -10);
        EXPECT_TRUE(log.has(kTag,
                            "Could not process the answer, message is incomplete, waiting for "
                            "the next message.",
                            4));

        auto badCrc = serialAnswer;
        badCrc[8] ^= 0x01;
        ASSERT_TRUE(asVest.sendTo(*sdk, badCrc));
        EXPECT_EQ(readFrame(t), -10);
        ASSERT_TRUE(asVest.sendTo(*sdk, emu::makeFrame(0x42, 9)));
        EXPECT_EQ(readFrame(t), -10);
        EXPECT_EQ(log.count(kTag, errorText(-10), 4), 2);
        EXPECT_EQ(log.count(kTag, "Could not process the answer, waiting for the next message.", 4),
                  2);
        EXPECT_TRUE(t.isConnected());
    });
}

// --- two namespaces joined by a veth pair ------------------------------------

class UdpOverVeth : public ::testing::Test {
protected:
    void SetUp() override { VBZ_REQUIRE_NETNS(net); }
    // Serves the vests on every address of the vest side, on these ports, in
    // this order (one thread: vests that hear one broadcast answer in turn;
    // started from the vest side, it runs on that side's CPU).
    void serve(const std::vector<std::pair<std::shared_ptr<VestModel>, uint16_t>>& vests) {
        std::string error;
        bool started = false;
        net.vest().run([&] {
            for (const auto& [vest, port] : vests)
                ASSERT_TRUE(server.add(vest, {0, port}, &error)) << error;
            started = server.start(&error);
        });
        ASSERT_TRUE(started) << error;
    }
    static std::string key(uint16_t port) {
        return vbz_test::ipv4Text(VethPair::kVestAddress) + ":" + std::to_string(port);
    }

    vbz_test::LogCapture log;
    VethPair net;
    UdpVestServer server;
};

TEST_F(UdpOverVeth, DiscoverGoesToTheFivePortsInOrderOnTheNetworkAndNeverToLoopback) {
    std::unique_ptr<DatagramRecorder> onVeth;
    net.vest().run([&] { onVeth = std::make_unique<DatagramRecorder>(VethPair::kVestInterface); });
    ASSERT_TRUE(onVeth->ok()) << onVeth->error();
    net.host().run([&] {
        DatagramRecorder onLoopback("lo");
        ASSERT_TRUE(onLoopback.ok()) << onLoopback.error();
        EXPECT_EQ(HidComUdp::broadcastAddresses(),
                  std::vector<std::string>{vbz_test::ipv4Text(VethPair::kBroadcast)});
        HidComUdp t;
        Scan s;
        EXPECT_EQ(s.run(t), 0);
        EXPECT_TRUE(s.devices.empty());
        EXPECT_TRUE(onLoopback.take().empty());
    });
    const auto seen = onVeth->take();
    const auto discover = shortFrame(DeviceCommand::Discover);
    std::vector<uint16_t> ports;
    for (const auto& d : seen) {
        EXPECT_EQ(d.destination, VethPair::kBroadcast);
        EXPECT_EQ(d.source, VethPair::kHostAddress);
        EXPECT_EQ(d.payload, std::vector<uint8_t>(discover.begin(), discover.end()));
        ports.push_back(d.destinationPort);
    }
    EXPECT_EQ(ports, (std::vector<uint16_t>{33624, 42192, 17956, 2601, 555}));
}

TEST_F(UdpOverVeth, ScanListsAvailableVestsInPortOrderAndLeavesThemUnbound) {
    auto first = makeVest(21030042, "VBZ-EMU 1.4.2", 0x0123FFFF);
    auto second = makeVest(11110000, "VBZ-EMU 1.3.0", 0x01100101);
    auto busy = makeVest(33330000);
    busy->setDiscoverStatus(1);  // in use: answers, but is not listed
    auto alsoFree = makeVest(44440000);
    alsoFree->setDiscoverStatus(3);  // 3 & 0xFD is 1: not listed either
    second->setOldFirmware(true);
    serve({{first, 33624}, {second, 42192}, {busy, 17956}, {alsoFree, 2601}});

    Scan s;
    net.host().run([&] {
        HidComUdp t;
        EXPECT_EQ(s.run(t), 0);
        EXPECT_FALSE(t.isConnected());
    });
    ASSERT_EQ(s.devices.size(), 2u);
    EXPECT_EQ(s.devices[0].outputType, VBZ_OUTPUT_WIFI);
    EXPECT_EQ(s.devices[0].serialNumber, 21030042u);
    EXPECT_EQ(s.devices[0].deviceType, 0x0123FFFF);
    EXPECT_EQ(s.devices[0].next, &s.devices[1]);
    EXPECT_EQ(s.devices[1].serialNumber, 11110000u);
    EXPECT_EQ(s.devices[1].deviceType, 0x01100101);
    EXPECT_EQ(s.devices[1].next, nullptr);
    EXPECT_EQ(s.texts, (std::vector<std::string>{"VBZ-EMU 1.4.2", key(33624), "VBZ-EMU 1.3.0",
                                                 key(42192)}));
    EXPECT_EQ(s.addresses.at(21030042u), key(33624));
    EXPECT_EQ(s.addresses.at(11110000u), key(42192));
    EXPECT_TRUE(log.has(kTag, "A device answered on " + key(33624), 0));

    EXPECT_EQ(busy->countReceived(kGetSerial), 0u);
    EXPECT_EQ(alsoFree->countReceived(kGetSerial), 0u);
    // The old vest was bound on its first refusal and released at the end.
    EXPECT_EQ(log.count(kTag, "Firmware prior 1.3.3 detected, an update is advised.", 3), 1);
    EXPECT_FALSE(second->bound());
    EXPECT_EQ(second->countReceived(kBind), 1u);
    EXPECT_EQ(second->countReceived(kUnbind), 1u);
    EXPECT_EQ(first->countReceived(kBind), 0u);
    EXPECT_EQ(first->countReceived(kUnbind), 0u);
    for (const auto& v : {first, second}) EXPECT_TRUE(v->violations().empty());
}

TEST_F(UdpOverVeth, AVestHeardOnTwoAddressesOfOneSubnetIsListedOnce) {
    auto vest = makeVest(21030042);
    serve({{vest, 33624}});
    ASSERT_EQ(net.host().addAddress(std::string(VethPair::kHostInterface) + ":1",
                                    VethPair::kHostAddress + 1, 24),
              "");
    Scan s;
    net.host().run([&] {
        HidComUdp t;
        EXPECT_EQ(s.run(t), 0);
    });
    EXPECT_EQ(vest->countReceived(kDiscover), 2u);
    ASSERT_EQ(s.devices.size(), 1u);
    EXPECT_EQ(s.texts.size(), 2u);
    EXPECT_EQ(vest->countReceived(kGetSerial), 1u);
}

TEST_F(UdpOverVeth, AFailedDiscoverSendIsLoggedAndDiscoveryGoesOn) {
    auto vest = makeVest(21030042);
    serve({{vest, 33624}});
    // A second network on the same link, which the vest hears too.
    ASSERT_EQ(net.vest().addAddress(std::string(VethPair::kVestInterface) + ":1",
                                    vbz_test::ipv4("10.214.0.1"), 24),
              "");
    ASSERT_EQ(net.host().addAddress(std::string(VethPair::kHostInterface) + ":1",
                                    vbz_test::ipv4("10.214.0.2"), 24),
              "");
    // Sends to the first network's broadcast address are refused (EACCES).
    std::string error;
    net.host().run([&] {
        error = vbz_test::runProgram(
            {"ip", "route", "replace", "prohibit", "10.213.0.255/32", "table", "local"});
    });
    if (!error.empty()) GTEST_SKIP() << "SKIPPED, cannot shape the namespace's routes: " << error;

    Scan s;
    net.host().run([&] {
        EXPECT_EQ(HidComUdp::broadcastAddresses(),
                  (std::vector<std::string>{"10.213.0.255", "10.214.0.255"}));
        HidComUdp t;
        EXPECT_EQ(s.run(t), 0);
    });
    for (const uint16_t port : HidComUdp::kDiscoveryPorts)
        EXPECT_TRUE(log.has(kTag,
                            "Could not send Discover to 10.213.0.255:" + std::to_string(port) +
                                "; going on with the next address.",
                            3))
            << port;
    ASSERT_EQ(s.devices.size(), 1u);
    EXPECT_EQ(s.texts.at(1), "10.214.0.1:33624");
}

TEST_F(UdpOverVeth, OpenAnyVestBindsTheFirstFoundWithoutAskingItsSerial) {
    auto first = makeVest(21030042);
    auto second = makeVest(11110000);
    serve({{first, 33624}, {second, 42192}});
    net.host().run([&] {
        HidComUdp t;
        ASSERT_EQ(t.open(0, ""), 0);
        EXPECT_EQ(t.remoteEndpoint().text(), key(33624));
        EXPECT_TRUE(log.has(kTag, "Connected to " + key(33624), 0));
        EXPECT_TRUE(first->bound());
        EXPECT_EQ(first->countReceived(kGetSerial), 0u);
        EXPECT_EQ(second->countReceived(kBind), 0u);
        EXPECT_EQ(t.close(), 0);
    });
    EXPECT_FALSE(first->bound());
}

TEST_F(UdpOverVeth, SearchSkipsOtherSerialsAndUnbindsOnlyWhatItBound) {
    auto other = makeVest(11110000);
    other->setOldFirmware(true);  // bound by the serial request, then released
    auto wanted = makeVest(21030042);
    serve({{other, 33624}, {wanted, 42192}});
    net.host().run([&] {
        HidComUdp t;
        ASSERT_EQ(t.open(21030042, ""), 0);
        EXPECT_TRUE(log.has(kTag, "Connected to " + key(42192), 0));
        EXPECT_TRUE(wanted->bound());
        EXPECT_FALSE(other->bound());
        EXPECT_EQ(other->countReceived(kUnbind), 1u);
        EXPECT_EQ(wanted->countReceived(kUnbind), 0u);
    });
}

TEST_F(UdpOverVeth, OldFirmwareOnTheAddressGetsOneForcedBindAndOneWarning) {
    auto vest = makeVest(21030042);
    vest->setOldFirmware(true);
    serve({{vest, 33624}});
    net.host().run([&] {
        HidComUdp t;
        ASSERT_EQ(t.open(21030042, key(33624)), 0);
        EXPECT_TRUE(t.isBound());
    });
    // Refused serial request, the forced bind, the serial request again;
    // then the search finds the bound vest and takes it.
    EXPECT_EQ(log.count(kTag, "Firmware prior 1.3.3 detected, an update is advised.", 3), 1);
    EXPECT_EQ(vest->countReceived(kBind), 1u);
    EXPECT_TRUE(log.has(kTag, "Connected to " + key(33624), 0));
    EXPECT_EQ(vest->countReceived(kUnbind), 1u);  // released by the destructor
    EXPECT_FALSE(vest->bound());
}

TEST_F(UdpOverVeth, UnbindGoesToTheVestThatWasBoundWhereverTheLinkPoints) {
    auto stranger = makeVest(11110000);
    auto wanted = makeVest(21030042);
    wanted->setOldFirmware(true);
    serve({{stranger, 33624}, {wanted, 42192}});
    net.host().run([&] {
        HidComUdp t;
        // Bound on the address by a forced bind; the search then asks the
        // stranger first, whose serial differs: the release that follows is
        // the wanted vest's, not the stranger's.
        ASSERT_EQ(t.open(21030042, key(42192)), 0);
        EXPECT_EQ(stranger->countReceived(kUnbind), 0u);
        EXPECT_EQ(stranger->countReceived(kBind), 0u);
        EXPECT_EQ(wanted->countReceived(kUnbind), 1u);
        EXPECT_TRUE(wanted->bound());
        EXPECT_TRUE(log.has(kTag, "Connected to " + key(42192), 0));
        EXPECT_EQ(t.close(), 0);
    });
    EXPECT_FALSE(wanted->bound());
    EXPECT_EQ(stranger->countReceived(kUnbind), 0u);
}

TEST_F(UdpOverVeth, AVestThatRefusesEvenTheBindGivesForcedBindFailed) {
    auto vest = makeVest(21030042);
    AnswerFault refuses;
    refuses.deviceError = -7;
    vest->setFault(refuses);
    serve({{vest, 33624}});
    net.host().run([&] {
        HidComUdp t;
        EXPECT_EQ(t.open(21030042, key(33624)), -6);
        EXPECT_FALSE(t.isConnected());
        EXPECT_FALSE(t.isBound());
    });
    EXPECT_EQ(log.count(kTag, "Forced bind failed", 3), 1);
    EXPECT_EQ(vest->countReceived(kBind), 1u);
    EXPECT_TRUE(log.has(kTag,
                        "Could not connect to " + key(33624) +
                            " - device does not appear to be available.",
                        0));
}

TEST_F(UdpOverVeth, ScanOnAConnectedTransportIsRefusedAndTheVestStaysBound) {
    auto vest = makeVest(21030042);
    serve({{vest, 33624}});
    net.host().run([&] {
        HidComUdp t;
        ASSERT_EQ(t.open(21030042, key(33624)), 0);
        Scan s;
        EXPECT_EQ(s.run(t), -11);
        EXPECT_TRUE(s.devices.empty() && s.texts.empty());
        EXPECT_TRUE(t.isBound());
        EXPECT_EQ(t.close(), 0);  // still knows to release the vest
    });
    EXPECT_EQ(vest->countReceived(kUnbind), 1u);
    EXPECT_EQ(vest->countReceived(kDiscover), 0u);
}

TEST_F(UdpOverVeth, AStrayDatagramFromAThirdSocketDoesNotRedirectTheLink) {
    auto vest = makeVest(21030042);
    serve({{vest, 33624}});
    std::unique_ptr<RawSocket> stranger;  // a socket belongs to the namespace it is made in
    net.vest().run([&] {
        stranger = std::make_unique<RawSocket>();
        ASSERT_TRUE(stranger->bindTo(VethPair::kVestAddress, 40000));
    });
    net.host().run([&] {
        HidComUdp t;
        ASSERT_EQ(t.open(21030042, key(33624)), 0);
        const auto sdk = server.peer(0);
        ASSERT_TRUE(sdk);
        // A well-formed answer, from the wrong sender.
        ASSERT_TRUE(stranger->sendTo(*sdk, emu::makeFrame(0x88, 9, {0x01, 0x00, 0x01, 0x01})));
        for (int i = 0; i < 500 && !log.countContaining(kTag, "Ignored a datagram from"); ++i)
            EXPECT_EQ(t.read(), 0);
        EXPECT_TRUE(log.has(kTag,
                            "Ignored a datagram from " + vbz_test::ipv4Text(VethPair::kVestAddress) +
                                ":40000: it is not the device connected (" + key(33624) + ").",
                            3));
        const auto type = shortFrame(DeviceCommand::GetType);
        ASSERT_EQ(t.write(type.data(), 5), 0);
        EXPECT_EQ(readFrame(t), 9);
        EXPECT_EQ(t.receiveBuffer[0], 0x8A);
        EXPECT_EQ(t.remoteEndpoint().text(), key(33624));
    });
    EXPECT_EQ(vest->countReceived(kGetType), 1u);
    EXPECT_FALSE(stranger->hasWaiting());
}

}  // namespace
