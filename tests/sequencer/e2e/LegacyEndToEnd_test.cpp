// An application that asks for the legacy back-end connects to the emulated
// vest's playback board over USB and over Wi-Fi, with the link's real
// timing: the handshake completes, the callback reports the vest, the link
// is kept alive, and disconnecting reports the end.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "tests/support/CallbackRecorder.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/NetNamespace.h"
#include "tools/vest-emulator/LegacyBoard.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"
#include "tools/vest-emulator/usb/UsbBus.h"
#include "vibrenza/vibrenza.h"

using namespace std::chrono_literals;
using vbz::emu::LegacyBoard;
using vbz::emu::UsbBus;
using vbz::emu::VestIdentity;
using vbz::emu::VestModel;
using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;

namespace {
constexpr uint32_t kSerial = 23000017;

struct LegacyVest {
    LegacyVest() {
        vest = std::make_shared<VestModel>(VestIdentity::withSerial(kSerial));
        board = std::make_unique<LegacyBoard>(vest);
        vest->checkOneCommandAtATime(1s);
    }
    std::shared_ptr<VestModel> vest;
    std::unique_ptr<LegacyBoard> board;
};

// Connected, kept alive for a while, disconnected: what the callback saw.
void connectHoldAndDisconnect(VibrenzaSDK& sdk, CallbackRecorder& recorder, vbz_output_t output,
                              const std::function<void(const std::function<void()>&)>& onHost,
                              VestModel& vest) {
    sdk.ExperimentalAPI().enableLegacyBackend(true);
    onHost([&] { ASSERT_EQ(sdk.connect(output, 0), 0); });
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_CONNECTED);
    EXPECT_EQ(reports[0].error, 0);
    EXPECT_EQ(reports[0].serial, kSerial);
    EXPECT_EQ(sdk.connectionStatus(), VBZ_STATE_CONNECTED);
    EXPECT_EQ(sdk.getVibrenzaSerialNumber(), kSerial);
    EXPECT_EQ(sdk.getVibrenzaVersion(), "VBZ-EMU 1.4.2");
    EXPECT_TRUE(LogRecorder::waitFor("Serial Number: 23000017"));
    // One status request a second keeps the link.
    std::this_thread::sleep_for(1500ms);
    EXPECT_GE(vest.countReceived(0x07), 1u);
    ASSERT_EQ(sdk.disconnect(), 0);
    reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, 0);
    EXPECT_EQ(reports[1].serial, kSerial);
}
}  // namespace

TEST(LegacyEndToEnd, ConnectsOverUsbFromTheApi) {
    LogRecorder log;
    UsbBus::instance().reset();
    LegacyVest v;
    UsbBus::instance().plug(v.vest);
    CallbackRecorder recorder;
    {
        VibrenzaSDK sdk;
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        connectHoldAndDisconnect(sdk, recorder, VBZ_OUTPUT_USB,
                                 [](const std::function<void()>& f) { f(); }, *v.vest);
    }
    EXPECT_EQ(v.board->violationCount(), 0u);
    EXPECT_EQ(UsbBus::instance().openHandles(), 0);
    UsbBus::instance().reset();
}

TEST(LegacyEndToEnd, ConnectsOverWifiFromTheApi) {
    LogRecorder log;
    vbz_test::VethPair net;
    VBZ_REQUIRE_NETNS(net);
    UsbBus::instance().reset();  // no USB vest
    LegacyVest v;
    vbz::emu::UdpVestServer server;
    std::string error;
    bool started = false;
    net.vest().run([&] {
        if (server.add(v.vest, {0, 33624}, &error)) started = server.start(&error);
    });
    ASSERT_TRUE(started) << error;
    CallbackRecorder recorder;
    std::optional<VibrenzaSDK> sdk;
    net.host().run([&] {
        sdk.emplace();
        sdk->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    });
    connectHoldAndDisconnect(*sdk, recorder, VBZ_OUTPUT_WIFI,
                             [&](const std::function<void()>& f) { net.host().run(f); }, *v.vest);
    net.host().run([&] { sdk.reset(); });
    server.stop();
    EXPECT_EQ(v.board->violationCount(), 0u);
}
