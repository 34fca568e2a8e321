// The Bluetooth socket and inquiry layer: address and error texts, the
// socket's checks in their order, its stream behaviour over a Unix socket
// pair, and the real BlueZ calls on a machine without Bluetooth.
#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "device/bluetooth/BluetoothException.h"
#include "device/bluetooth/BluezStorage.h"
#include "device/bluetooth/BtAddress.h"
#include "device/bluetooth/BtInquiry.h"
#include "device/bluetooth/BtRfcommSocket.h"
#include "device/bluetooth/SocketErrorText.h"
#include "tests/support/TempDir.h"

using namespace vbz;

namespace {

// The text of the BluetoothException that f throws ("" when none).
template <typename F>
std::string thrownText(F&& f) {
    try {
        f();
    } catch (const BluetoothException& e) {
        return e.what();
    }
    return "";
}

bool kernelHasBluetooth() {
    const int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
    if (fd < 0) return errno != EAFNOSUPPORT;
    ::close(fd);
    return true;
}

// A socket whose link is one end of a socket pair; the test keeps the other.
class PairSocket : public BtRfcommSocket {
public:
    PairSocket() : BtRfcommSocket("00:11:22:33:44:55", 1) {}
    ~PairSocket() override {
        if (peer >= 0) ::close(peer);
    }
    int peer = -1;

protected:
    int openLink() override {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) throw BluetoothException("pair");
        if (peer >= 0) ::close(peer);
        peer = ends[1];
        return ends[0];
    }
};

// A socket whose link is a stream socket that never connected: every
// receive fails.
class DeadSocket : public BtRfcommSocket {
public:
    DeadSocket() : BtRfcommSocket("00:11:22:33:44:55", 1) {}

protected:
    int openLink() override { return ::socket(AF_UNIX, SOCK_STREAM, 0); }
};

}  // namespace

TEST(BtAddress, SixPairsBareOrInParenthesesGiveTheBytesMostSignificantFirst) {
    const BtAddressBytes expected{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(parseBtAddress("00:11:22:33:44:55"), expected);
    EXPECT_EQ(parseBtAddress("(00:11:22:33:44:55)"), expected);
    const auto mixed = parseBtAddress("aA:bB:cC:dD:eE:fF");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(formatBtAddress(*mixed), "AA:BB:CC:DD:EE:FF");
}

TEST(BtAddress, AnythingElseIsRefusedBeforeConversion) {
    for (const std::string& bad : std::vector<std::string>
         {"", "00:11:22:33:44", "00:11:22:33:44:55:66", "0:11:22:33:44:55", "000:11:22:33:44:5",
          "00-11-22-33-44-55", "(00:11:22:33:44:55", "00:11:22:33:44:55)", "((00:11:22:33:44:55))",
          "00:11:22:33:44:5G", " 00:11:22:33:44:55", "00:11:22:33:44:55 ", "+0:11:22:33:44:55",
          std::string("00:11:22:33:44:5\0", 17)}) {
        EXPECT_FALSE(parseBtAddress(bad)) << bad;
    }
}

TEST(BtAddress, ClassOfDeviceIsSplitIntoItsFields) {
    BtDeviceInfo info;
    setDeviceClass(info, 0x240404);  // audio service, audio/video major class
    EXPECT_EQ(info.deviceClass, 0x0404u);
    EXPECT_EQ(info.majorDeviceClass, 0x0400u);
    EXPECT_EQ(info.serviceClass, 0x240404u >> 13);
    setDeviceClass(info, 0xFFFFFF);
    EXPECT_EQ(info.deviceClass, 0x1FFCu);
    EXPECT_EQ(info.majorDeviceClass, 0x1F00u);
    EXPECT_EQ(info.serviceClass, 0x7FFu);
}

TEST(SocketErrorText, CodeAndSystemTextOrUnknown) {
    EXPECT_EQ(socketErrorText(EAFNOSUPPORT), "(97) Address family not supported by protocol");
    EXPECT_EQ(socketErrorText(EINVAL), "(22) Invalid argument");
    EXPECT_EQ(socketErrorText(123456), "Unknown");
    EXPECT_EQ(socketErrorText(-1), "Unknown");
}

TEST(RfcommTarget, LengthIsCheckedBeforeTheForm) {
    EXPECT_EQ(thrownText([] { rfcommTarget(std::string(40, '0'), 1); }),
              "Address length is invalid");
    EXPECT_EQ(thrownText([] { rfcommTarget(std::string(39, '0'), 1); }),
              "Cannot connect: (22) Invalid argument");
    EXPECT_EQ(thrownText([] { rfcommTarget("00:11:22:33:44:55", 31); }),
              "Cannot connect: (22) Invalid argument");
    const RfcommTarget t = rfcommTarget("(0A:0B:0C:0D:0E:0F)", 30);
    EXPECT_EQ(t.address, (BtAddressBytes{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}));
    EXPECT_EQ(t.channel, 30);
}

TEST(BtRfcommSocket, ChannelBelowOneIsRefused) {
    for (int channel : {0, -1, -1000}) {
        EXPECT_EQ(thrownText([&] { BtRfcommSocket s("00:11:22:33:44:55", channel); }),
                  "ChannelID should be a positive int value");
    }
}

TEST(BtRfcommSocket, ClosedSocketRefusesIoInItsOrderOfChecks) {
    BtRfcommSocket s("00:11:22:33:44:55", 1);
    uint8_t b[4] = {};
    EXPECT_EQ(thrownText([&] { s.read(b, sizeof b); }), "connection has been closed");
    EXPECT_EQ(thrownText([&] { s.read(nullptr, 4); }), "connection has been closed");
    EXPECT_EQ(thrownText([&] { s.write(nullptr, 1); }), "buffer cannot be null");
    EXPECT_EQ(thrownText([&] { s.write(b, 0); }), "");
    EXPECT_EQ(thrownText([&] { s.write(b, 1); }), "Attempting to write to a closed connection");
    s.close();  // harmless on a closed socket
    EXPECT_FALSE(s.isOpen());
}

TEST(BtRfcommSocket, ConnectWithoutBluetoothThrowsTheSystemTextAndStaysClosed) {
    if (kernelHasBluetooth()) GTEST_SKIP() << "this machine has Bluetooth sockets";
    BtRfcommSocket s("00:11:22:33:44:55", 1);
    EXPECT_EQ(thrownText([&] { s.connect(); }),
              "Cannot connect: (97) Address family not supported by protocol");
    EXPECT_FALSE(s.isOpen());
    uint8_t b[1];
    EXPECT_EQ(thrownText([&] { s.read(b, 1); }), "connection has been closed");
}

TEST(BtRfcommSocketStream, ReadReturnsWhatIsWaitingAndNeverWaits) {
    PairSocket s;
    s.connect();
    ASSERT_TRUE(s.isOpen());
    uint8_t b[8] = {};
    EXPECT_EQ(s.read(b, sizeof b), 0);
    EXPECT_EQ(thrownText([&] { s.read(nullptr, 1); }), "buffer cannot be null");
    EXPECT_EQ(s.read(b, 0), 0);

    const uint8_t sent[3] = {1, 2, 3};
    ASSERT_EQ(::send(s.peer, sent, 3, 0), 3);
    EXPECT_EQ(s.read(b, 2), 2);  // no more than asked
    EXPECT_EQ(s.read(b + 2, 6), 1);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 3), std::vector<uint8_t>(sent, sent + 3));

    ::close(s.peer);
    s.peer = -1;
    EXPECT_EQ(s.read(b, sizeof b), 0);  // the peer has gone: nothing to read
}

TEST(BtRfcommSocketStream, AFailingReceiveThrows) {
    DeadSocket s;
    s.connect();
    uint8_t b[4];
    EXPECT_EQ(thrownText([&] { s.read(b, sizeof b); }), "Error reading from connection");
    EXPECT_EQ(thrownText([&] { s.write(b, sizeof b); }), "Writing attempt was unsuccessful");
}

TEST(BtRfcommSocketStream, WriteSendsEverythingThroughAFullLink) {
    PairSocket s;
    s.connect();
    const int small = 4096;
    ::setsockopt(s.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::vector<uint8_t> data(300000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);

    std::vector<uint8_t> received;
    std::thread reader([&] {
        uint8_t chunk[1000];
        while (received.size() < data.size()) {
            const ssize_t n = ::recv(s.peer, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            received.insert(received.end(), chunk, chunk + n);
        }
    });
    EXPECT_EQ(thrownText([&] { s.write(data.data(), data.size()); }), "");
    reader.join();
    EXPECT_EQ(received, data);
}

TEST(BtRfcommSocketStream, WriteToAGonePeerThrowsInsteadOfRaisingSigpipe) {
    PairSocket s;
    s.connect();
    ::close(s.peer);
    s.peer = -1;
    const uint8_t b[5] = {8, 0xAD, 0xDE, 0xAC, 0x24};
    EXPECT_EQ(thrownText([&] { s.write(b, sizeof b); }), "Writing attempt was unsuccessful");
}

TEST(BtRfcommSocketStream, WriteGivesUpWhenThePeerNeverReadsAndReleasesTheLink) {
    PairSocket s;
    s.connect();
    std::vector<uint8_t> data(4 << 20);  // far more than the link holds
    EXPECT_EQ(thrownText([&] { s.write(data.data(), data.size()); }),
              "Writing attempt was unsuccessful");
    // A frame cut in the middle spoils the stream: the peer is hung up on.
    uint8_t chunk[65536];
    std::size_t drained = 0;
    ssize_t n;
    while ((n = ::recv(s.peer, chunk, sizeof chunk, 0)) > 0) drained += static_cast<std::size_t>(n);
    EXPECT_EQ(n, 0);
    EXPECT_LT(drained, data.size());
    EXPECT_EQ(thrownText([&] { s.write(data.data(), 5); }), "Writing attempt was unsuccessful");
}

TEST(BtRfcommSocketStream, ConnectAgainAndDestructionCloseTheLink) {
    auto s = std::make_unique<PairSocket>();
    s->connect();
    int firstPeer = s->peer;
    s->peer = -1;  // kept by the test
    s->connect();
    uint8_t b;
    EXPECT_EQ(::recv(firstPeer, &b, 1, 0), 0) << "the first link is closed";
    ::close(firstPeer);

    const int secondPeer = ::dup(s->peer);
    s.reset();
    EXPECT_EQ(::recv(secondPeer, &b, 1, 0), 0) << "the destructor closes the link";
    ::close(secondPeer);
}

TEST(BtInquiry, WithoutAnAdapterListsNothing) {
    const int adapter = hci_get_route(nullptr);
    if (adapter >= 0) GTEST_SKIP() << "this machine has a Bluetooth adapter";
    BtInquiry inquiry;
    std::vector<BtDeviceInfo> listed{BtDeviceInfo{}};
    EXPECT_EQ(thrownText([&] { listed = inquiry.inquire(); }), "");
    EXPECT_TRUE(listed.empty());
}

TEST(BluezStorage, LinkKeyMeansPairedAndAReadableFolderWithoutOneMeansNot) {
    vbz_test::TempDir root;
    const auto adapter = root.path() / "00:1A:7D:DA:71:13";
    std::filesystem::create_directories(adapter / "AA:BB:CC:DD:EE:01");
    std::filesystem::create_directories(adapter / "AA:BB:CC:DD:EE:02");
    std::ofstream(adapter / "AA:BB:CC:DD:EE:01" / "info")
        << "[General]\nName=VIBRENZA 42\nClass=0x240404\nTrusted=false\n\n"
           "[LinkKey]\nKey=0123456789ABCDEF0123456789ABCDEF\nType=4\n";
    std::ofstream(adapter / "AA:BB:CC:DD:EE:02" / "info")
        << "[General]\nName=Headphones\n[ServiceRecords]\nName=not the device's\n";
    const std::string r = root.path().string();

    const auto paired = readBluezPairing("00:1A:7D:DA:71:13", "AA:BB:CC:DD:EE:01", r);
    EXPECT_EQ(paired.state, BluezPairing::State::Paired);
    EXPECT_EQ(paired.name, "VIBRENZA 42");
    const auto known = readBluezPairing("00:1A:7D:DA:71:13", "AA:BB:CC:DD:EE:02", r);
    EXPECT_EQ(known.state, BluezPairing::State::NotPaired);
    EXPECT_EQ(known.name, "Headphones");
    EXPECT_EQ(readBluezPairing("00:1A:7D:DA:71:13", "AA:BB:CC:DD:EE:03", r).state,
              BluezPairing::State::NotPaired);
    EXPECT_EQ(readBluezPairing("00:1A:7D:DA:71:99", "AA:BB:CC:DD:EE:01", r).state,
              BluezPairing::State::Unknown);
}
