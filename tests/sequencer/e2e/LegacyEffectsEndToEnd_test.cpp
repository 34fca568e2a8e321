// Effects played through the public API (the C++ class and the C functions)
// with the legacy back-end, on the emulated vest's playback board over USB
// and over Wi-Fi in private namespaces: what the board decodes from each
// PlaySample (signal, volume byte, speed, offset, actuator values under the
// effect's transforms), pauses, resumes and stops, and pattern ids kept
// across a reconnection.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "tests/support/CallbackRecorder.h"
#include "tests/support/LegacyBoardProbes.h"
#include "tests/support/LegacyPatterns.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/NetNamespace.h"
#include "tools/vest-emulator/LegacyBoard.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"
#include "tools/vest-emulator/usb/UsbBus.h"
#include "vibrenza/vbz_c_api.h"
#include "vibrenza/vibrenza.h"

using namespace std::chrono_literals;
using namespace vbz_test;
using vbz::emu::Clock;
using vbz::emu::DecodedPlay;
using vbz::emu::LegacyBoard;
using vbz::emu::UsbBus;
using vbz::emu::VestIdentity;
using vbz::emu::VestModel;

namespace {
constexpr uint32_t kSerial = 23000018;

// A sphere on actuator 1 small enough to reach no other actuator.
std::string spherePattern(int signal) {
    json s = sampleAt(0, 0.2);
    s["signalIndex"] = signal;
    s["spatKeyframes"] = json::array({vicinityKey(0, {vicinity({0.1039, -0.06, -0.06}, 100, {0.1, 0.1, 0.1})})});
    return patternOf({trackOf({s})}).dump();
}

// Actuator 3 at 80, the others at 0.
std::string weightsPattern(int signal) {
    std::vector<json> w(20, 0);
    w[3] = 80;
    json s = sampleAt(0, 0.2);
    s["signalIndex"] = signal;
    s["spatKeyframes"] = json::array({weightKey(0, w)});
    return patternOf({trackOf({s})}).dump();
}

// The actuators at their strongest in a play's first keyframe.
std::vector<int> strongest(const DecodedPlay& p) {
    std::vector<int> at;
    if (p.keyframes.empty()) return at;
    const auto& v = p.keyframes[0].values;
    const int top = *std::max_element(v.begin(), v.end());
    for (int i = 0; i < 20; ++i)
        if (v[i] == top && top > 0) at.push_back(i);
    return at;
}

struct LegacyVest {
    LegacyVest() {
        vest = std::make_shared<VestModel>(VestIdentity::withSerial(kSerial));
        board = std::make_unique<LegacyBoard>(vest);
        vest->checkOneCommandAtATime(1s);
    }
    // The next play the board decodes after `before` plays.
    std::optional<DecodedPlay> playAfter(std::size_t before) {
        if (!eventually([&] { return board->plays().size() > before; })) return std::nullopt;
        return board->plays()[before];
    }
    std::vector<float> stopFades() const { return stopSlotFades(*vest); }
    std::shared_ptr<VestModel> vest;
    std::unique_ptr<LegacyBoard> board;
};

// The only vest on the USB bus while it lives.
struct UsbLegacyVest : LegacyVest {
    UsbLegacyVest() {
        UsbBus::instance().reset();
        UsbBus::instance().plug(vest);
    }
    ~UsbLegacyVest() {
        EXPECT_EQ(board->violationCount(), 0u);
        UsbBus::instance().reset();
    }
};

// Plays the sphere with each transform and the weights pattern with a
// volume, speed and boost of its own; checks what the board decoded.
void playsWithTheirProperties(VibrenzaSDK& sdk, LegacyVest& v) {
    const int sphere = sdk.loadPatternFromJSON(spherePattern(21).c_str());
    const int weights = sdk.loadPatternFromJSON(weightsPattern(22).c_str());
    ASSERT_GE(sphere, 0);
    ASSERT_GE(weights, 0);
    struct Case {
        const char* what;
        std::function<void(vbz_effect_properties_t&)> set;
        std::vector<int> actuators;
    } cases[] = {
        {"plain", [](auto&) {}, {1}},
        {"front-back inversion", [](auto& p) { p.frontBackInversion = true; }, {7}},
        {"right-left inversion", [](auto& p) { p.rightLeftInversion = true; }, {10}},
        {"up-down inversion", [](auto& p) { p.upDownInversion = true; }, {2}},
        {"front-back addition", [](auto& p) { p.frontBackAddition = true; }, {1, 7}},
        {"up-down addition", [](auto& p) { p.upDownAddition = true; }, {1, 2}},
        {"heading 180", [](auto& p) { p.heading = 180.0f; }, {8}},
    };
    for (const auto& c : cases) {
        vbz_effect_properties_t p;
        c.set(p);
        const auto before = v.board->plays().size();
        ASSERT_GE(sdk.playEffect(sphere, p), 0) << c.what;
        const auto play = v.playAfter(before);
        ASSERT_TRUE(play) << c.what;
        EXPECT_EQ(play->signal, 21) << c.what;
        EXPECT_EQ(play->volume, 100) << c.what;
        EXPECT_EQ(strongest(*play), c.actuators) << c.what;
        EXPECT_EQ(play->keyframes[0].values[c.actuators[0]], 100) << c.what;
    }
    vbz_effect_properties_t p;
    p.volume = 50.0f;
    p.speed = 2.0f;
    p.overridePatternBoost = true;
    p.effectBoost = 50;  // a gain of 10: every actuator + 10
    auto before = v.board->plays().size();
    ASSERT_GE(sdk.playEffect(weights, p), 0);
    auto play = v.playAfter(before);
    ASSERT_TRUE(play);
    EXPECT_EQ(play->signal, 22);
    EXPECT_EQ(play->volume, 50);
    EXPECT_FLOAT_EQ(play->speed, 2.0f);
    EXPECT_EQ(play->keyframes[0].values[3], 90);
    EXPECT_EQ(play->keyframes[0].values[0], 10);
    EXPECT_EQ(play->flags & 1, 0);

    // Started 0.15 s in; repeated once after 0.3 s.
    vbz_effect_properties_t later;
    later.playAtTime = 0.15f;
    later.repeatCount = 2;
    later.repeatDelay = 0.3f;
    before = v.board->plays().size();
    ASSERT_GE(sdk.playEffect(weights, later), 0);
    play = v.playAfter(before);
    ASSERT_TRUE(play);
    EXPECT_FLOAT_EQ(play->startOffset, 0.15f);
    const auto again = v.playAfter(before + 1);
    ASSERT_TRUE(again);
    EXPECT_GE(std::chrono::duration<double>(again->time - play->time).count(), 0.3);
    EXPECT_LT(again->startOffset, 1e-30f);  // from the sample's start
}

void connectOver(VibrenzaSDK& sdk, CallbackRecorder& recorder, vbz_output_t output, std::size_t nth = 1) {
    ASSERT_EQ(sdk.connect(output, 0), 0);
    const auto reports = recorder.waitFor(nth);
    ASSERT_EQ(reports.size(), nth);
    ASSERT_EQ(reports[nth - 1].state, VBZ_STATE_CONNECTED);
}
}  // namespace

TEST(LegacyEffectsEndToEnd, PlaysWithPropertiesOverUsb) {
    LogRecorder log;
    UsbLegacyVest v;
    CallbackRecorder recorder;
    {
        VibrenzaSDK sdk;
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        sdk.ExperimentalAPI().enableLegacyBackend(true);
        connectOver(sdk, recorder, VBZ_OUTPUT_USB);
        playsWithTheirProperties(sdk, v);
        ASSERT_EQ(sdk.disconnect(), 0);
        EXPECT_EQ(recorder.waitFor(2).size(), 2u);
    }
}

TEST(LegacyEffectsEndToEnd, PausesResumesAndStopsThroughTheCApi) {
    LogRecorder log;
    UsbLegacyVest v;
    v.board->setHold(23, 10s);
    CallbackRecorder recorder;
    const int sdk = vbz_createSDKInstance(nullptr);
    ASSERT_GE(sdk, 0);
    ASSERT_EQ(vbz_setConnectionCallback(sdk, &CallbackRecorder::callback, &recorder), 0);
    vbz_exp_enableLegacyBackend(sdk, true);
    const int pattern = vbz_loadPatternFromJSON(sdk, spherePattern(23).c_str());
    ASSERT_GE(pattern, 0);
    ASSERT_EQ(vbz_connectDevice(sdk, VBZ_OUTPUT_USB, 0), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    ASSERT_EQ(vbz_connectionStatus(sdk), VBZ_STATE_CONNECTED);

    vbz_effect_properties_t p;
    vbz_defaultEffectProperties(&p);
    const int first = vbz_playEffect(sdk, pattern, p);
    const int second = vbz_playEffect(sdk, pattern, p);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(eventually([&] { return v.board->plays().size() == 2; }));
    // Queued in one turn, the newer goes first: the older's answer may still be coming.
    EXPECT_TRUE(eventually([&] { return vbz_effectState(sdk, first) == VBZ_EFFECT_PLAYING; }));

    ASSERT_EQ(vbz_pauseAll(sdk), 0);
    EXPECT_TRUE(eventually([&] { return v.board->snapshot().paused; }));
    ASSERT_EQ(vbz_resumeAll(sdk), 0);
    EXPECT_TRUE(eventually([&] { return !v.board->snapshot().paused; }));

    // With a fade the vest fades the slot; without, it is stopped at once.
    ASSERT_EQ(vbz_stopEffect(sdk, first, 0.4f), 0);
    EXPECT_TRUE(eventually([&] { return v.stopFades().size() == 1; }));
    EXPECT_FLOAT_EQ(v.stopFades()[0], 0.4f);
    ASSERT_EQ(vbz_stopEffect(sdk, second, 0.0f), 0);
    EXPECT_TRUE(eventually([&] { return vbz_effectState(sdk, second) == VBZ_EFFECT_UNKNOWN; }));
    EXPECT_EQ(v.stopFades().size(), 2u);
    EXPECT_EQ(v.stopFades()[1], 0.0f);
    EXPECT_TRUE(eventually([&] { return vbz_effectState(sdk, first) == VBZ_EFFECT_UNKNOWN; }));

    const int third = vbz_playEffect(sdk, pattern, p);
    ASSERT_GE(third, 0);
    ASSERT_TRUE(eventually([&] { return v.board->plays().size() == 3; }));
    ASSERT_EQ(vbz_stopAll(sdk), 0);
    EXPECT_TRUE(eventually([&] { return v.vest->countReceived(0x04) == 1; }));
    EXPECT_TRUE(eventually([&] { return v.board->snapshot().reserved == 0; }));
    EXPECT_TRUE(eventually([&] { return vbz_effectState(sdk, third) == VBZ_EFFECT_UNKNOWN; }));

    ASSERT_EQ(vbz_disconnectDevice(sdk), 0);
    EXPECT_EQ(recorder.waitFor(2).size(), 2u);
    vbz_freeSDKInstance(sdk);
}

TEST(LegacyEffectsEndToEnd, PatternIdsSurviveAReconnection) {
    LogRecorder log;
    UsbLegacyVest v;
    CallbackRecorder recorder;
    {
        VibrenzaSDK sdk;
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        sdk.ExperimentalAPI().enableLegacyBackend(true);
        const int a = sdk.loadPatternFromJSON(spherePattern(24).c_str());
        const int b = sdk.loadPatternFromJSON(weightsPattern(25).c_str());
        connectOver(sdk, recorder, VBZ_OUTPUT_USB);
        ASSERT_GE(sdk.playEffect(b, {}), 0);
        ASSERT_TRUE(v.playAfter(0));
        ASSERT_EQ(sdk.disconnect(), 0);
        ASSERT_EQ(recorder.waitFor(2).size(), 2u);
        connectOver(sdk, recorder, VBZ_OUTPUT_USB, 3);
        for (auto [id, signal] : {std::pair{a, 24}, std::pair{b, 25}}) {
            const auto before = v.board->plays().size();
            ASSERT_GE(sdk.playEffect(id, {}), 0);
            const auto play = v.playAfter(before);
            ASSERT_TRUE(play);
            EXPECT_EQ(play->signal, signal);
        }
    }
}

TEST(LegacyEffectsEndToEnd, PlaysPausesAndStopsOverWifi) {
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
        sdk->ExperimentalAPI().enableLegacyBackend(true);
        connectOver(*sdk, recorder, VBZ_OUTPUT_WIFI);
    });
    ASSERT_EQ(sdk->connectionStatus(), VBZ_STATE_CONNECTED);
    playsWithTheirProperties(*sdk, v);
    const int pattern = sdk->loadPatternFromJSON(spherePattern(26).c_str());
    v.board->setHold(26, 10s);
    const auto before = v.board->plays().size();
    const int effect = sdk->playEffect(pattern, {});
    ASSERT_TRUE(v.playAfter(before));
    ASSERT_EQ(sdk->pauseAll(), 0);
    EXPECT_TRUE(eventually([&] { return v.board->snapshot().paused; }));
    ASSERT_EQ(sdk->resumeAll(), 0);
    EXPECT_TRUE(eventually([&] { return !v.board->snapshot().paused; }));
    ASSERT_EQ(sdk->stopEffect(effect, 0.2f), 0);
    EXPECT_TRUE(eventually([&] { return sdk->effectState(effect) == VBZ_EFFECT_UNKNOWN; }));
    net.host().run([&] {
        ASSERT_EQ(sdk->disconnect(), 0);
        EXPECT_EQ(recorder.waitFor(2).size(), 2u);
        sdk.reset();
    });
    server.stop();
    EXPECT_EQ(v.board->violationCount(), 0u);
}
