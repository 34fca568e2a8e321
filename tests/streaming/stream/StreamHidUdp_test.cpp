// The vest stream over Wi-Fi: real UDP sockets, only ever inside network
// namespaces made by the test (tests/support/NetNamespace.h). The emulated
// vest serves on the vest side of a veth pair (10.213.0.1); the stream runs
// on the host side (10.213.0.2), where discovery can reach nothing else.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "streaming/StreamHid.h"
#include "tests/streaming/stream/StreamChecks.h"
#include "tests/support/FakeSampleSource.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NetNamespace.h"
#include "tools/vest-emulator/StreamingVest.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"
#include "tools/vest-emulator/usb/UsbBus.h"

using namespace vbz;
using namespace std::chrono_literals;
using emu::StreamingVest;
using emu::UsbBus;
using emu::VestModel;
using vbz_test::VethPair;

namespace {

class StreamOverWifi : public ::testing::Test {
protected:
    void SetUp() override {
        UsbBus::instance().reset();
        VBZ_REQUIRE_NETNS(net);
    }
    void TearDown() override { UsbBus::instance().reset(); }

    // Serves the vest on every address of the vest side, on a discovery port.
    void serve(std::shared_ptr<VestModel> vest) {
        std::string error;
        bool started = false;
        net.vest().run([&] {
            ASSERT_TRUE(server.add(std::move(vest), {0, 33624}, &error)) << error;
            started = server.start(&error);
        });
        ASSERT_TRUE(started) << error;
    }
    // Makes the stream on the host side; it records the transports tried.
    void makeStream() {
        net.host().run([&] {
            stream = std::make_unique<StreamHid>(&source, &mutex, nullptr, [this](vbz_output_t kind) {
                tried.push_back(kind);
                return StreamHid::makeTransport(kind);
            });
        });
    }

    VethPair net;
    emu::UdpVestServer server;
    std::mutex mutex;
    vbz_test::FakeSampleSource source;
    std::vector<vbz_output_t> tried;
    std::unique_ptr<StreamHid> stream;
};

}  // namespace

TEST_F(StreamOverWifi, OutputAnyMovesFromUsbToWifiAndStreamsFramesTheVestAccepts) {
    vbz_test::LogCapture log;
    auto vest = std::make_shared<VestModel>(emu::VestIdentity::withSerial(21030042));
    StreamingVest streaming(vest);  // 12.5 ms per request, in real time
    serve(vest);
    makeStream();
    int connected = -1;
    int result = 1;
    std::thread runner;
    net.host().run([&] {
        connected = stream->connect(VBZ_OUTPUT_ANY, 0);
        // A thread started here runs in the host side's namespace.
        if (connected == 0) runner = std::thread([&] { result = stream->run(); });
    });
    ASSERT_EQ(connected, 0);
    EXPECT_EQ(tried, (std::vector<vbz_output_t>{VBZ_OUTPUT_USB, VBZ_OUTPUT_WIFI}));
    EXPECT_EQ(stream->getVibrenzaSerialNumber(), 21030042u);
    EXPECT_TRUE(streaming.waitAnswered(40, emu::Clock::now() + 20s));
    stream->stop();
    runner.join();
    EXPECT_EQ(result, 0);
    if (result != 0)
        for (const auto& l : log.all())
            if (l.level >= 3) ADD_FAILURE() << l.tag << ": " << l.text;
    EXPECT_TRUE(streaming.problems().empty()) << streaming.problems().front();
    EXPECT_TRUE(vest->violations().empty());
    EXPECT_TRUE(streaming.stoppedByHost());
    EXPECT_FALSE(vest->bound());  // closed: the vest is free again
    vbz_test::expectSamplesOfTheSource(streaming.blocks(), 20);
    net.host().run([&] { stream.reset(); });
}

TEST_F(StreamOverWifi, ScanListsUsbVestsBeforeWifiVests) {
    UsbBus::instance().plug(std::make_shared<VestModel>(emu::VestIdentity::withSerial(11000001)));
    serve(std::make_shared<VestModel>(emu::VestIdentity::withSerial(22000002)));
    makeStream();
    net.host().run([&] { EXPECT_EQ(stream->scanDevices(VBZ_OUTPUT_ANY), 0); });
    vbz_device_info_t* first = stream->getFirstScannedDevice();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->outputType, VBZ_OUTPUT_USB);
    EXPECT_EQ(first->serialNumber, 11000001u);
    ASSERT_NE(first->next, nullptr);
    EXPECT_EQ(first->next->outputType, VBZ_OUTPUT_WIFI);
    EXPECT_EQ(first->next->serialNumber, 22000002u);
    EXPECT_STREQ(first->next->deviceVersion, "VBZ-EMU 1.4.2");
    EXPECT_EQ(first->next->next, nullptr);

    // Connecting to the Wi-Fi vest by serial goes to the address the scan found.
    int connected = -1;
    net.host().run([&] { connected = stream->connect(VBZ_OUTPUT_WIFI, 22000002); });
    EXPECT_EQ(connected, -6);  // this vest has no streaming side: GetStreamInfo fails
    net.host().run([&] { stream.reset(); });
}
