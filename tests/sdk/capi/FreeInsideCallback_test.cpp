// An application that frees its instance from inside one of the instance's
// callbacks: for each back-end, in each state its connection callback
// reports and from a log line written on one of its threads, the free is
// refused, the instance stays usable and an ordinary call frees it later.
// Real back-ends over the emulated USB vest; the sanitizer builds catch a
// free that would go through.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "sdk/core/LogLine.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/FakeAudioHost.h"
#include "tests/support/LegacyVest.h"
#include "tools/vest-emulator/StreamingVest.h"
#include "tools/vest-emulator/usb/UsbBus.h"
#include "vibrenza/vbz_c_api.h"

using vbz::emu::UsbBus;

namespace {

constexpr uint32_t kSerial = 21030042;

enum class Backend { Streaming, Legacy, Orv };
// Connected, Failed (no vest) and Disconnected free from the connection
// callback reporting that state; LogLine from the first line a thread of
// the instance writes while it connects.
enum class Moment { Connected, Failed, Disconnected, LogLine };

struct Case {
    const char* name;
    Backend backend;
    Moment moment;
};

// Test names carry the case's name, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// What the callbacks saw; reached from the log callback through a global,
// as the log sink has no user data.
struct Probe {
    std::atomic<int> id{-1};
    std::atomic<bool> armed{false};
    bool fromLog = false;  // else from the connection callback
    std::atomic<int> scanStatusAfterFree{99};
    std::atomic<bool> refusalLogged{false};
    std::thread::id testThread;

    void freeOnce() {
        if (!armed.exchange(false)) return;
        vbz_freeSDKInstance(id.load());
        // 0 while the instance is registered, -9 once it is gone.
        scanStatusAfterFree = vbz_scanStatus(id.load());
    }
};
Probe* probe = nullptr;

void onLog(vbz_log_level_t level, const char*, const char* text) {
    const std::string refusal = "vbz_freeSDKInstance: cannot free instance " + std::to_string(probe->id.load()) +
                                " from inside one of its callbacks or the log callback: Process is already running";
    if (level == VBZ_LOG_ERROR && text == refusal) probe->refusalLogged = true;
    if (probe->fromLog && std::this_thread::get_id() != probe->testThread) probe->freeOnce();
}

class FreeInsideCallback : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        probe = &seen;
        seen.testThread = std::this_thread::get_id();
        vbz_setLogCallback(&onLog);
        host.addOutput("Speakers", 1, 2);
        host.addLoopback("Speakers [Loopback]");
        UsbBus::instance().reset();
    }
    void TearDown() override {
        vbz_setLogCallback(nullptr);
        streaming.reset();
        UsbBus::instance().reset();
        probe = nullptr;
    }
    void plugVest(Backend backend) {
        if (backend == Backend::Legacy) {
            legacy = std::make_unique<vbz_test::LegacyVest>(kSerial);
            UsbBus::instance().plug(legacy->vest);
            return;
        }
        vest = std::make_shared<vbz::emu::VestModel>(vbz::emu::VestIdentity::withSerial(kSerial));
        streaming = std::make_unique<vbz::emu::StreamingVest>(vest, vbz::emu::StreamingOptions{});
        UsbBus::instance().plug(vest);
    }

    Probe seen;
    vbz_test::FakeAudioHost host;
    vbz_test::ScopedAudioHost installed{host};
    std::unique_ptr<vbz_test::LegacyVest> legacy;
    std::shared_ptr<vbz::emu::VestModel> vest;
    std::unique_ptr<vbz::emu::StreamingVest> streaming;
};

}  // namespace

TEST_P(FreeInsideCallback, IsRefusedAndTheInstanceFreedLater) {
    const Case c = GetParam();
    if (c.moment != Moment::Failed) plugVest(c.backend);
    const int id = vbz_createSDKInstance("");
    ASSERT_GE(id, 0);
    seen.id = id;
    seen.fromLog = c.moment == Moment::LogLine;
    // The streaming worker writes only trace lines while it connects.
    if (seen.fromLog) vbz::setMinLogLevel(0);
    const int freeingState = c.moment == Moment::Connected ? VBZ_STATE_CONNECTED : VBZ_STATE_DISCONNECTED;
    vbz_test::CallbackRecorder recorder;
    recorder.onReport = [&, c](const vbz_test::ConnectionReport& report) {
        if (!seen.fromLog && report.state == freeingState) seen.freeOnce();
    };
    ASSERT_EQ(vbz_setConnectionCallback(id, &vbz_test::CallbackRecorder::callback, &recorder), 0);
    if (c.backend == Backend::Legacy) vbz_exp_enableLegacyBackend(id, true);
    if (c.moment != Moment::Disconnected) seen.armed = true;

    if (c.backend == Backend::Orv)
        ASSERT_EQ(vbz_exp_connectOrv(id, VBZ_OUTPUT_USB, 0, "Speakers"), 0);
    else
        ASSERT_EQ(vbz_connectDevice(id, VBZ_OUTPUT_USB, 0), 0);
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    if (c.moment == Moment::Failed) {
        EXPECT_EQ(reports[0].state, VBZ_STATE_DISCONNECTED);
        EXPECT_EQ(reports[0].error, VBZ_ERROR_DEVICE_NOT_REACHABLE);
    } else {
        ASSERT_EQ(reports[0].state, VBZ_STATE_CONNECTED);
    }
    if (c.moment == Moment::Disconnected) {
        seen.armed = true;
        ASSERT_EQ(vbz_disconnectDevice(id), 0);
        ASSERT_EQ(recorder.waitFor(2).size(), 2u);
    }

    EXPECT_FALSE(seen.armed) << "no free was tried";
    EXPECT_EQ(seen.scanStatusAfterFree.load(), 0) << "the free went through";
    // A line written inside the log callback is counted, not delivered.
    if (!seen.fromLog) {
        EXPECT_TRUE(seen.refusalLogged);
    }
    // Still registered, its state reads back; then an ordinary free from
    // this thread ends it.
    EXPECT_EQ(vbz_scanStatus(id), 0);
    EXPECT_EQ(vbz_connectionStatus(id), c.moment == Moment::Connected || c.moment == Moment::LogLine
                                            ? VBZ_STATE_CONNECTED
                                            : VBZ_STATE_DISCONNECTED);
    vbz_freeSDKInstance(id);
    EXPECT_EQ(vbz_scanStatus(id), VBZ_ERROR_NO_INSTANCE);
}

INSTANTIATE_TEST_SUITE_P(
    EveryBackendAndState, FreeInsideCallback,
    ::testing::Values(Case{"StreamingConnected", Backend::Streaming, Moment::Connected},
                      Case{"StreamingFailed", Backend::Streaming, Moment::Failed},
                      Case{"StreamingDisconnected", Backend::Streaming, Moment::Disconnected},
                      Case{"StreamingLogLine", Backend::Streaming, Moment::LogLine},
                      Case{"LegacyConnected", Backend::Legacy, Moment::Connected},
                      Case{"LegacyFailed", Backend::Legacy, Moment::Failed},
                      Case{"LegacyDisconnected", Backend::Legacy, Moment::Disconnected},
                      Case{"LegacyLogLine", Backend::Legacy, Moment::LogLine},
                      Case{"OrvConnected", Backend::Orv, Moment::Connected},
                      Case{"OrvFailed", Backend::Orv, Moment::Failed},
                      Case{"OrvDisconnected", Backend::Orv, Moment::Disconnected},
                      Case{"OrvLogLine", Backend::Orv, Moment::LogLine}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });
