// From the public API to the emulated vest over Wi-Fi, only ever inside
// network namespaces made here: the vest serves on the vest side of a veth
// pair, the application runs on the host side, where discovery can reach
// nothing but that vest.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "tessaron-core/src/spatial/Layout.h"
#include "tests/support/ActuatorPatterns.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/WifiVest.h"
#include "tools/vest-emulator/StreamingVest.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"
#include "tools/vest-emulator/usb/UsbBus.h"
#include "vibrenza/vibrenza.h"

using namespace std::chrono_literals;
using vbz::emu::StreamingVest;
using vbz::emu::VestModel;
using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;
using vbz_test::VethPair;

namespace {
constexpr uint32_t kSerial = 23000017;
constexpr int kChannels = 20;

struct WifiEndToEnd : ::testing::Test {
    void SetUp() override {
        vbz::emu::UsbBus::instance().reset();  // no USB vest: Wi-Fi it is
        VBZ_REQUIRE_NETNS(net);
        vest = std::make_shared<VestModel>(vbz::emu::VestIdentity::withSerial(kSerial));
        vbz::emu::StreamingOptions o;
        o.periodScale = 0.5;
        streaming = std::make_unique<StreamingVest>(vest, o);
        std::string error;
        ASSERT_TRUE(vbz_test::serveOnVestSide(net, server, vest, &error)) << error;
    }
    std::vector<double> energies() const {
        std::vector<double> e(kChannels, 0.0);
        for (const auto& b : streaming->blocks())
            for (std::size_t i = 0; i < b.values.size(); ++i)
                e[i % kChannels] += static_cast<double>(b.values[i]) * b.values[i];
        return e;
    }

    LogRecorder log;
    VethPair net;
    vbz::emu::UdpVestServer server;
    std::shared_ptr<VestModel> vest;
    std::unique_ptr<StreamingVest> streaming;
    CallbackRecorder recorder;
};
}  // namespace

TEST_F(WifiEndToEnd, ScanConnectPlayAndDisconnectFromTheApi) {
    std::optional<VibrenzaSDK> sdk;
    int pattern = -1;
    net.host().run([&] {
        // Sockets and the back-end's worker are made on the host side.
        sdk.emplace();
        sdk->setConnectionCallback(&CallbackRecorder::callback, &recorder);
        pattern = sdk->loadPatternFromJSON(vbz_test::actuatorPattern(*tsr::makeDefaultLayout(), 11).c_str());
        ASSERT_EQ(sdk->scanDevices(VBZ_OUTPUT_WIFI), 0);
    });
    ASSERT_GE(pattern, 0);
    ASSERT_TRUE(LogRecorder::waitFor("Scanning routine terminated."));
    const vbz_device_info_t* found = sdk->getFirstScannedDevice();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->outputType, VBZ_OUTPUT_WIFI);
    EXPECT_EQ(found->serialNumber, kSerial);

    net.host().run([&] { ASSERT_EQ(sdk->connect(VBZ_OUTPUT_WIFI, kSerial), 0); });
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_EQ(reports[0].state, VBZ_STATE_CONNECTED) << "error " << reports[0].error;
    vbz_effect_properties_t p;
    ASSERT_GE(sdk->playEffect(pattern, p), 0);
    ASSERT_TRUE(streaming->waitAnswered(60, vbz::emu::Clock::now() + 20s));
    ASSERT_EQ(sdk->disconnect(), 0);
    reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, 0);

    const auto e = energies();
    EXPECT_GT(e[11], 0.0);
    for (int c = 0; c < kChannels; ++c) {
        if (c != 11) {
            EXPECT_LT(e[static_cast<std::size_t>(c)], 1e-3 * e[11]) << "channel " << c;
        }
    }
    EXPECT_TRUE(streaming->problems().empty()) << streaming->problems().front();
    EXPECT_TRUE(streaming->stoppedByHost());
    EXPECT_FALSE(vest->bound());
    net.host().run([&] { sdk.reset(); });
    server.stop();
}
