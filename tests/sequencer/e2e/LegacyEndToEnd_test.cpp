// An application that asks for the legacy back-end connects to the emulated
// vest's playback board over USB, over Wi-Fi and over Bluetooth (the socket
// pair in place of the radio), with the link's real timing: the handshake
// completes, the callback reports the vest, the link is kept alive, and
// disconnecting reports the end.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "device/HidComBT.h"
#include "sdk/api/HandlerFactory.h"
#include "sequencer/HandlerCommands.h"
#include "tests/support/BtTestLink.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/LegacyVest.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/NetNamespace.h"
#include "tools/vest-emulator/usb/UsbBus.h"
#include "vibrenza/vibrenza.h"

using namespace std::chrono_literals;
using vbz::emu::UsbBus;
using vbz::emu::VestModel;
using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;
using vbz_test::UsbLegacyVest;
using vbz_test::WifiLegacyVest;

namespace {
constexpr uint32_t kSerial = 23000017;

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

// An SDK made and used in the host's namespace connects to the vest over
// Wi-Fi, holds the connection and disconnects.
void connectOverWifiHoldAndDisconnect(vbz_test::VethPair& net, WifiLegacyVest& v) {
    CallbackRecorder recorder;
    std::optional<VibrenzaSDK> sdk;
    net.host().run([&] {
        sdk.emplace();
        sdk->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    });
    connectHoldAndDisconnect(*sdk, recorder, VBZ_OUTPUT_WIFI,
                             [&](const std::function<void()>& f) { net.host().run(f); }, *v.vest);
    net.host().run([&] { sdk.reset(); });
}

// The SDK's own legacy back-end, its Bluetooth transport on the test link
// (the context); every other back-end as usual.
IHandler* legacyOverBtLink(int kind, SdkPersistentState* state, void* context) {
    if (kind != vbz::kKindCommands) return nullptr;
    auto link = *static_cast<std::shared_ptr<vbz_test::BtTestLink>*>(context);
    return new HandlerCommands(state, [link](vbz_output_t output) -> std::unique_ptr<vbz::IHidCom> {
        if (output == VBZ_OUTPUT_BLUETOOTH) return std::make_unique<vbz::HidComBT>(link);
        return nullptr;
    });
}

}  // namespace

TEST(LegacyEndToEnd, ConnectsOverUsbFromTheApi) {
    LogRecorder log;
    UsbLegacyVest v(kSerial);
    CallbackRecorder recorder;
    {
        VibrenzaSDK sdk;
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        connectHoldAndDisconnect(sdk, recorder, VBZ_OUTPUT_USB,
                                 [](const std::function<void()>& f) { f(); }, *v.vest);
    }
    EXPECT_EQ(UsbBus::instance().openHandles(), 0);
}

TEST(LegacyEndToEnd, ConnectsOverWifiFromTheApi) {
    LogRecorder log;
    vbz_test::VethPair net;
    VBZ_REQUIRE_NETNS(net);
    WifiLegacyVest v(kSerial);
    std::string error;
    ASSERT_TRUE(v.serve(net, &error)) << error;
    connectOverWifiHoldAndDisconnect(net, v);
    v.server.stop();
    EXPECT_EQ(v.board->violationCount(), 0u);
}

TEST(LegacyEndToEnd, BoardStatusBeforeTheBindAndUnbindAnswersOverWifiChangesNothing) {
    LogRecorder log;
    vbz_test::VethPair net;
    VBZ_REQUIRE_NETNS(net);
    WifiLegacyVest v(kSerial);
    vbz::emu::AnswerFault statusFirst;
    statusFirst.ownFramesFirst = {vbz::emu::makeFrame(0xA0, 10)};
    v.vest->setFault(0x11, statusFirst);
    v.vest->setFault(0x12, statusFirst);
    std::string error;
    ASSERT_TRUE(v.serve(net, &error)) << error;
    connectOverWifiHoldAndDisconnect(net, v);
    EXPECT_FALSE(v.vest->bound());
    v.server.stop();
}

TEST(LegacyEndToEnd, BoardStatusBeforeTheSerialAnswerOverBluetoothChangesNothing) {
    LogRecorder log;
    UsbBus::instance().reset();
    const std::string address = "00:11:22:33:44:55";
    auto link = std::make_shared<vbz_test::BtTestLink>();
    link->list(address, "Vibrenza Vest");
    auto vest = link->addVest(address, vbz::emu::VestIdentity::withSerial(kSerial));
    vbz::emu::LegacyBoard board(vest);
    vest->checkOneCommandAtATime(1s);
    vbz::emu::AnswerFault statusFirst;
    statusFirst.ownFramesFirst = {vbz::emu::makeFrame(0xA0, 10)};
    vest->setFault(0x08, statusFirst);
    CallbackRecorder recorder;
    vbz::setHandlerFactoryHook(&legacyOverBtLink, &link);
    {
        VibrenzaSDK sdk;
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        connectHoldAndDisconnect(sdk, recorder, VBZ_OUTPUT_BLUETOOTH,
                                 [](const std::function<void()>& f) { f(); }, *vest);
    }
    vbz::setHandlerFactoryHook(nullptr, nullptr);
    EXPECT_EQ(board.violationCount(), 0u);
}
