// From the public API to the emulated vest over USB (the hidapi double): an
// application connects, loads patterns, plays, pauses, resumes and stops
// effects, and the vest receives the rendered signal on the right actuator;
// disconnection, reconnection and destruction report through the callback.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "streaming/HandlerStreaming.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "tests/support/ActuatorPatterns.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/LogRecorder.h"
#include "tools/vest-emulator/StreamingVest.h"
#include "tools/vest-emulator/usb/UsbBus.h"
#include "vibrenza/vbz_c_api.h"
#include "vibrenza/vibrenza.h"

using namespace std::chrono_literals;
using vbz::emu::StreamBlock;
using vbz::emu::StreamingVest;
using vbz::emu::UsbBus;
using vbz::emu::VestModel;
using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;

namespace {
constexpr uint32_t kSerial = 21030042;
constexpr int kChannels = 20;

std::string patternOn(int actuator, double seconds = 0.3, bool endless = false) {
    return vbz_test::actuatorPattern(*tsr::makeDefaultLayout(), actuator, seconds, endless);
}

double energy(const StreamBlock& b, int channel) {
    double e = 0.0;
    for (std::size_t i = static_cast<std::size_t>(channel); i < b.values.size(); i += kChannels)
        e += static_cast<double>(b.values[i]) * b.values[i];
    return e;
}

// A vest on the emulated USB bus whose requests come five times faster
// than real time, so that a test sees seconds of vest time quickly.
struct UsbVest {
    UsbVest() {
        UsbBus::instance().reset();
        vbz::emu::StreamingOptions o;
        o.periodScale = 0.2;
        vest = std::make_shared<VestModel>(vbz::emu::VestIdentity::withSerial(kSerial));
        streaming = std::make_unique<StreamingVest>(vest, o);
        UsbBus::instance().plug(vest);
    }
    ~UsbVest() {
        streaming.reset();
        UsbBus::instance().reset();
    }
    std::size_t answered() const { return streaming->stats().answered; }
    // Waits until n more requests than now were answered.
    bool waitMore(std::size_t n) const {
        return streaming->waitAnswered(answered() + n, vbz::emu::Clock::now() + 20s);
    }
    // Energy per channel over every block received so far.
    std::vector<double> energies() const {
        std::vector<double> e(kChannels, 0.0);
        for (const auto& b : streaming->blocks())
            for (int c = 0; c < kChannels; ++c) e[static_cast<std::size_t>(c)] += energy(b, c);
        return e;
    }
    // Waits until a block requested after `since` satisfies pred.
    template <class Pred>
    bool waitForBlockAfter(vbz::emu::Clock::time_point since, Pred pred) const {
        const auto deadline = vbz::emu::Clock::now() + 20s;
        while (vbz::emu::Clock::now() < deadline) {
            for (const auto& b : streaming->blocks())
                if (b.answered && b.requested > since && pred(b)) return true;
            waitMore(1);
        }
        return false;
    }
    std::shared_ptr<VestModel> vest;
    std::unique_ptr<StreamingVest> streaming;
};

// Only `actuator` carries the signal: every other channel stays below a
// thousandth of its energy.
void expectOnlyOn(const std::vector<double>& e, int actuator) {
    const double target = e[static_cast<std::size_t>(actuator)];
    EXPECT_GT(target, 0.0) << "actuator " << actuator;
    for (int c = 0; c < kChannels; ++c)
        if (c != actuator) {
            EXPECT_LT(e[static_cast<std::size_t>(c)], 1e-3 * target) << "channel " << c;
        }
}

struct UsbEndToEnd : ::testing::Test {
    LogRecorder log;
    UsbVest vest;
    CallbackRecorder recorder;  // outlives the SDK, which reports its end
};
}  // namespace

TEST_F(UsbEndToEnd, APatternOnOneActuatorReachesThatActuatorOnly) {
    VibrenzaSDK sdk;
    sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    const int pattern = sdk.loadPatternFromJSON(patternOn(13).c_str());
    ASSERT_GE(pattern, 0);
    ASSERT_EQ(sdk.connect(VBZ_OUTPUT_USB, 0), 0);
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_CONNECTED);
    EXPECT_EQ(reports[0].serial, kSerial);
    EXPECT_EQ(sdk.getVibrenzaSerialNumber(), kSerial);
    EXPECT_EQ(sdk.connectionStatus(), VBZ_STATE_CONNECTED);

    vbz_effect_properties_t p;
    const int effect = sdk.playEffect(pattern, p);
    ASSERT_GE(effect, 0);
    ASSERT_TRUE(vest.waitMore(40));  // 0.5 s of vest time: the effect has ended
    EXPECT_EQ(sdk.effectState(effect), VBZ_EFFECT_UNKNOWN);
    expectOnlyOn(vest.energies(), 13);

    ASSERT_EQ(sdk.disconnect(), 0);
    reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, 0);
    EXPECT_TRUE(vest.streaming->stoppedByHost());
    EXPECT_TRUE(vest.streaming->problems().empty()) << vest.streaming->problems().front();
    EXPECT_TRUE(vest.vest->violations().empty());
}

TEST_F(UsbEndToEnd, PauseSilencesResumeContinuesAndAStopFadesOut) {
    VibrenzaSDK sdk;
    sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    const int pattern = sdk.loadPatternFromJSON(patternOn(6, 0.5, true).c_str());
    ASSERT_EQ(sdk.connect(VBZ_OUTPUT_USB, 0), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    vbz_effect_properties_t p;
    const int effect = sdk.playEffect(pattern, p);
    ASSERT_GE(effect, 0);
    auto sounding = [](const StreamBlock& b) { return energy(b, 6) > 0.0; };
    auto silent = [](const StreamBlock& b) { return energy(b, 6) == 0.0; };
    ASSERT_TRUE(vest.waitForBlockAfter(vbz::emu::Clock::now(), sounding));

    ASSERT_EQ(sdk.pauseAll(), 0);
    const auto paused = vbz::emu::Clock::now();
    ASSERT_TRUE(vest.waitMore(8));
    for (const auto& b : vest.streaming->blocks())
        if (b.answered && b.requested > paused) {
            EXPECT_TRUE(silent(b)) << "while paused";
        }
    EXPECT_EQ(sdk.effectState(effect), VBZ_EFFECT_PLAYING);

    ASSERT_EQ(sdk.resumeAll(), 0);
    ASSERT_TRUE(vest.waitForBlockAfter(vbz::emu::Clock::now(), sounding));

    ASSERT_EQ(sdk.stopEffect(effect, 0.2f), 0);
    const auto stopped = vbz::emu::Clock::now();
    // The fade lasts 0.2 s of vest time, then silence for good.
    ASSERT_TRUE(vest.waitForBlockAfter(stopped, silent));
    ASSERT_TRUE(vest.waitMore(8));
    bool quiet = false;
    for (const auto& b : vest.streaming->blocks()) {
        if (!b.answered || b.requested <= stopped) continue;
        if (quiet) {
            EXPECT_TRUE(silent(b)) << "sound after the fade ended";
        }
        quiet = quiet || silent(b);
    }
    EXPECT_EQ(sdk.effectState(effect), VBZ_EFFECT_UNKNOWN);
}

TEST_F(UsbEndToEnd, ReconnectingKeepsPatternIdsAndDestroyingAConnectedSdkReportsOnce) {
    {
        VibrenzaSDK sdk;
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        const int first = sdk.loadPatternFromJSON(patternOn(2).c_str());
        const int second = sdk.loadPatternFromJSON(patternOn(17).c_str());
        ASSERT_EQ(sdk.connect(VBZ_OUTPUT_USB, kSerial), 0);
        ASSERT_EQ(recorder.waitFor(1).size(), 1u);
        ASSERT_EQ(sdk.disconnect(), 0);
        ASSERT_EQ(recorder.waitFor(2).size(), 2u);
        ASSERT_EQ(sdk.connect(VBZ_OUTPUT_USB, kSerial), 0);
        ASSERT_EQ(recorder.waitFor(3).size(), 3u);
        EXPECT_EQ(recorder.reports()[2].state, VBZ_STATE_CONNECTED);
        const std::size_t before = vest.streaming->blocks().size();
        vbz_effect_properties_t p;
        ASSERT_GE(sdk.playEffect(second, p), 0);
        ASSERT_TRUE(vest.waitMore(40));
        std::vector<double> e(kChannels, 0.0);
        const auto blocks = vest.streaming->blocks();
        for (std::size_t i = before; i < blocks.size(); ++i)
            for (int c = 0; c < kChannels; ++c) e[static_cast<std::size_t>(c)] += energy(blocks[i], c);
        expectOnlyOn(e, 17);
        EXPECT_EQ(first, 0);
        EXPECT_EQ(second, 1);
    }  // destroyed while connected
    const auto reports = recorder.reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[3].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[3].serial, kSerial);
    EXPECT_TRUE(vest.streaming->stoppedByHost());
}

TEST_F(UsbEndToEnd, AThousandShortPlaysLeaveTheEngineEmpty) {
    HandlerStreaming handler(nullptr);
    handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    const int pattern = handler.loadPatternFromJSON(patternOn(4, 0.02));
    ASSERT_EQ(handler.connect(VBZ_OUTPUT_USB, 0), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    vbz_effect_properties_t p;
    int first = -1;
    for (int i = 0; i < 1000; ++i) {
        const int effect = handler.playEffect(pattern, p);
        ASSERT_GE(effect, 0);
        if (first < 0) first = effect;
        if (i % 100 == 99) {
            ASSERT_TRUE(vest.waitMore(1));
        }
    }
    ASSERT_TRUE(vest.waitMore(8));  // 0.1 s of vest time: every play has ended
    EXPECT_EQ(handler.sequenceCount(), 0u);
    EXPECT_EQ(handler.effectState(first), VBZ_EFFECT_UNKNOWN);
    EXPECT_GT(vest.energies()[4], 0.0);
    ASSERT_EQ(handler.disconnect(), 0);
    ASSERT_EQ(recorder.waitFor(2).size(), 2u);
}

TEST_F(UsbEndToEnd, TheCInterfaceTakesTheSameRoad) {
    const int id = vbz_createSDKInstance("");
    ASSERT_GE(id, 0);
    ASSERT_EQ(vbz_setConnectionCallback(id, &CallbackRecorder::callback, &recorder), 0);
    const int pattern = vbz_loadPatternFromJSON(id, patternOn(19).c_str());
    ASSERT_GE(pattern, 0);
    ASSERT_EQ(vbz_connectDevice(id, VBZ_OUTPUT_USB, 0), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    EXPECT_EQ(vbz_connectionStatus(id), VBZ_STATE_CONNECTED);
    vbz_effect_properties_t p;
    vbz_defaultEffectProperties(&p);
    ASSERT_GE(vbz_playEffect(id, pattern, p), 0);
    ASSERT_TRUE(vest.waitMore(40));
    expectOnlyOn(vest.energies(), 19);
    EXPECT_EQ(vbz_disconnectDevice(id), 0);
    ASSERT_EQ(recorder.waitFor(2).size(), 2u);
    vbz_freeSDKInstance(id);
}
