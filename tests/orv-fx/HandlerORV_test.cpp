// The audio-to-haptics back-end: fixed answers to pattern and effect calls,
// its own settings, preset names, and what the SDK object makes of them.
#include "orv-fx/HandlerORV.h"

#include <gtest/gtest.h>

#include <limits>

#include "orv-fx/orvfx.h"
#include "sdk/core/LogLine.h"
#include "sdk/api/HandlerFactory.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "tests/support/ActuatorPatterns.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/LogRecorder.h"
#include "vibrenza/vibrenza.h"

using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;

TEST(HandlerORV, PatternAndEffectOperationsGiveFixedAnswers) {
    LogRecorder log;
    HandlerORV handler(nullptr);
    EXPECT_EQ(handler.kind(), 2);
    EXPECT_EQ(handler.loadPatternFromJSON("anything"), 0);
    EXPECT_EQ(handler.unloadPattern(3), 0);
    EXPECT_EQ(handler.setGlobalIntensityBoost(50), 0);
    EXPECT_EQ(handler.getGlobalIntensityBoost(), 0);
    EXPECT_EQ(handler.getPatternIntensityBoost(1), 0);
    EXPECT_EQ(handler.setAccumulationWindowToPattern(1, 2, 1.0f, 1), 0);
    EXPECT_EQ(handler.eraseAccumulationWindowToPattern(1), 0);
    EXPECT_EQ(handler.playEffect(0, vbz_effect_properties_t()), -1);
    EXPECT_EQ(handler.stopEffect(0, 0.0f), -1);
    EXPECT_EQ(handler.effectState(0), VBZ_EFFECT_UNKNOWN);
    EXPECT_EQ(handler.pauseAll(), 0);
    EXPECT_EQ(handler.resumeAll(), 0);
    EXPECT_EQ(handler.stopAll(), 0);
}

TEST(HandlerORV, SettingsAndPresetNames) {
    LogRecorder log;
    HandlerORV handler(nullptr);
    EXPECT_EQ(handler.getOrvPreset(), 0);
    EXPECT_EQ(handler.getOrvVolume(), 1.0f);
    handler.setOrvPreset(3);
    EXPECT_EQ(handler.getOrvPreset(), 3);
    handler.setOrvVolume(0.25f);
    EXPECT_EQ(handler.getOrvVolume(), 0.25f);
    handler.setOrvVolume(-2.0f);
    EXPECT_EQ(handler.getOrvVolume(), 0.0f);
    handler.setOrvVolume(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(handler.getOrvVolume(), 0.0f);
    handler.setLoopbackDevice({4, "Speakers [Loopback]"});

    EXPECT_STREQ(orvfx_preset_name(0), "Default");
    EXPECT_STREQ(orvfx_preset_name(1), "Sharp");
    EXPECT_STREQ(orvfx_preset_name(2), "Crunchy");
    EXPECT_STREQ(orvfx_preset_name(3), "Smooth");
    EXPECT_STREQ(orvfx_preset_name(4), "Invalid");
    EXPECT_STREQ(orvfx_preset_name(-1), "Invalid");
}

TEST(HandlerORV, ConnectionAttemptReportsTheAskedSerial) {
    LogRecorder log;
    CallbackRecorder recorder;
    HandlerORV handler(nullptr);
    handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    ASSERT_EQ(handler.connect(VBZ_OUTPUT_WIFI, 99u), 0);
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].error, -6);
    EXPECT_EQ(reports[0].serial, 99u);
}

namespace {
IHandler* makeOrv(int kind, SdkPersistentState* state, void*) {
    return kind == 1 ? new HandlerORV(state) : nullptr;
}
}  // namespace

TEST(HandlerORV, ThroughTheSdkObjectALoadKeepsItsTextUnderIdZero) {
    LogRecorder log;
    vbz::setHandlerFactoryHook(&makeOrv, nullptr);
    {
        VibrenzaSDK sdk;
        vbz::setHandlerFactoryHook(nullptr, nullptr);
        vbz::setMinLogLevel(0);  // the reload line is a trace line
        const std::string text = vbz_test::actuatorPattern(*tsr::makeDefaultLayout(), 4);
        EXPECT_EQ(sdk.loadPatternFromJSON(text.c_str()), 0);
        EXPECT_EQ(sdk.loadPatternFromJSON(text.c_str()), 0);
        vbz_effect_properties_t p;
        EXPECT_EQ(sdk.playEffect(0, p), -1);
        EXPECT_EQ(sdk.getGlobalIntensityBoost(), 0);
        // The next connection swaps to the streaming back-end, which numbers
        // its patterns after the kept id 0.
        ASSERT_EQ(sdk.connect(VBZ_OUTPUT_USB, 0u), 0);  // no vest: the attempt ends at once
        ASSERT_TRUE(LogRecorder::waitFor("Pattern ID 0 reloaded."));
        EXPECT_EQ(sdk.loadPatternFromJSON(text.c_str()), 1);
    }
}
