// The sequencer back-end as the SDK object sees it: its pattern and effect
// tables, gain clamping, request refusals and its own connection reports.
#include "sequencer/HandlerCommands.h"

#include <gtest/gtest.h>

#include "sdk/core/SdkPersistentState.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/LegacyPatterns.h"
#include "tests/support/LogRecorder.h"

using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;

namespace {
// A pattern the legacy model takes: one track, one sample, this boost.
std::string legacyPattern(int boost = 0) {
    auto p = vbz_test::patternOf({vbz_test::trackOf({vbz_test::sampleAt(0)})});
    p["patternBoost"] = boost;
    return p.dump();
}
}  // namespace

TEST(HandlerCommands, PatternIdsFollowTheKeptOnesAndFailuresUseNone) {
    LogRecorder log;
    SdkPersistentState state;
    state.addPattern(1, legacyPattern());
    HandlerCommands handler(&state);
    EXPECT_TRUE(LogRecorder::has(0, "Sequencer", "Sequencer initialized."));
    EXPECT_EQ(handler.kind(), 0);
    EXPECT_EQ(handler.loadPatternFromJSON(legacyPattern()), 2);
    EXPECT_EQ(handler.loadPatternFromJSON("[1, 2"), -5);
    EXPECT_TRUE(LogRecorder::has(4, "Sequencer", "Unable to load json pattern: Invalid Json"));
    EXPECT_EQ(handler.loadPatternFromJSON(legacyPattern(10)), 3);
    EXPECT_TRUE(LogRecorder::has(2, "Sequencer", "Pattern loaded. Assigned to ID: 3"));
    EXPECT_EQ(handler.getPatternIntensityBoost(3), 50);
    EXPECT_EQ(handler.getPatternIntensityBoost(9), 0);
    EXPECT_TRUE(LogRecorder::has(
        4, "Sequencer", "Could not get pattern boost value: Pattern ID 9 not found. Zero provided."));

    EXPECT_EQ(handler.unloadPattern(1), -2);  // kept, but not loaded here until a connection
    EXPECT_TRUE(
        LogRecorder::has(4, "Sequencer", "Unable to unload pattern (ID: 1): Invalid parameter"));
    EXPECT_EQ(handler.unloadPattern(2), 0);
    EXPECT_EQ(handler.unloadPattern(2), -2);
}

TEST(HandlerCommands, GainIsClampedToZeroToHundred) {
    LogRecorder log;
    HandlerCommands handler(nullptr);
    EXPECT_EQ(handler.getGlobalIntensityBoost(), 0);
    const std::pair<int, int> vectors[] = {{150, 100}, {-5, 0}, {37, 37}, {100, 100}, {0, 0}};
    for (auto [gain, stored] : vectors) {
        EXPECT_EQ(handler.setGlobalIntensityBoost(gain), 0);
        EXPECT_EQ(handler.getGlobalIntensityBoost(), stored) << gain;
    }
}

TEST(HandlerCommands, EffectRequestsAndTheirRefusals) {
    LogRecorder log;
    HandlerCommands handler(nullptr);
    vbz_effect_properties_t p;
    EXPECT_EQ(handler.playEffect(0, p), -2);
    EXPECT_TRUE(LogRecorder::has(4, "Sequencer", "Could not play effect: Pattern ID 0 not found."));
    ASSERT_EQ(handler.loadPatternFromJSON(legacyPattern()), 0);
    EXPECT_EQ(handler.playEffect(0, p), 0);
    EXPECT_EQ(handler.effectState(0), VBZ_EFFECT_CREATED);
    EXPECT_EQ(handler.effectState(5), VBZ_EFFECT_UNKNOWN);
    EXPECT_EQ(handler.stopEffect(0, -1.5f), 0);
    EXPECT_EQ(handler.stopEffect(0, 0.0f), -2);
    EXPECT_TRUE(LogRecorder::has(2, "Sequencer", "Effect (ID: 0) is already set to stop."));
    EXPECT_EQ(handler.stopEffect(8, 0.0f), -2);

    EXPECT_EQ(handler.pauseAll(), 0);
    EXPECT_EQ(handler.resumeAll(), 0);
    EXPECT_EQ(handler.pauseAll(), -7);  // a resume is pending
    EXPECT_EQ(handler.stopAll(), 0);
    EXPECT_EQ(handler.resumeAll(), -7);
    EXPECT_TRUE(LogRecorder::has(
        3, "Sequencer",
        "Unable to resume all effects: A priority command is waiting to be processed"));

    EXPECT_EQ(handler.setAccumulationWindowToPattern(0, 4, 1.0f, 1), -2);
    EXPECT_EQ(handler.eraseAccumulationWindowToPattern(4), -2);
    EXPECT_EQ(handler.setAccumulationWindowToPattern(0, 0, 1.0f, 1), 0);
}

TEST(HandlerCommands, FailedConnectionIsReportedByTheBackendItself) {
    LogRecorder log;
    SdkPersistentState state;
    state.addPattern(6, legacyPattern());
    CallbackRecorder recorder;
    state.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    HandlerCommands handler(&state);
    ASSERT_EQ(handler.connect(VBZ_OUTPUT_BLUETOOTH, 31u), 0);
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[0].error, -6);
    EXPECT_EQ(reports[0].serial, 0xFFFFFFFFu);
    EXPECT_TRUE(LogRecorder::waitFor("Connection routine terminated: connectionCallback called."));
    EXPECT_EQ(handler.connectionStatus(), VBZ_STATE_DISCONNECTED);

    ASSERT_EQ(handler.scanDevices(VBZ_OUTPUT_ANY), 0);
    ASSERT_TRUE(LogRecorder::waitFor("Scanning routine terminated."));
    EXPECT_EQ(handler.getFirstScannedDevice(), nullptr);
    EXPECT_TRUE(LogRecorder::has(3, "Sequencer",
                                 "Cannot get scanned devices: no Vibrenza device found."));
}

TEST(HandlerCommands, AccumulationWindowsAreSetOnThePatternAndReleasedWithTheHandler) {
    LogRecorder log;
    HandlerCommands handler(nullptr);
    const int a = handler.loadPatternFromJSON(legacyPattern());
    const int b = handler.loadPatternFromJSON(legacyPattern());
    // A pattern that is its own fallback holds itself: the handler's end
    // must still release it (the sanitizer build finds a leak otherwise).
    EXPECT_EQ(handler.setAccumulationWindowToPattern(a, a, 1.0f, 2), 0);
    EXPECT_EQ(handler.setAccumulationWindowToPattern(b, a, 0.5f, 1), 0);
    EXPECT_EQ(handler.eraseAccumulationWindowToPattern(b), 0);
    EXPECT_EQ(handler.setAccumulationWindowToPattern(b, 9, 0.5f, 1), -2);
    EXPECT_TRUE(LogRecorder::has(4, "Sequencer",
                                 "Could not set an accumulation window: Pattern ID 9 not found."));
}

TEST(HandlerCommands, FallbackRingsAreReleasedOnceTheirPatternsAreUnloaded) {
    LogRecorder log;
    HandlerCommands handler(nullptr);
    const int p = handler.loadPatternFromJSON(legacyPattern());
    const int q = handler.loadPatternFromJSON(legacyPattern());
    const int r = handler.loadPatternFromJSON(legacyPattern());
    ASSERT_EQ(handler.setAccumulationWindowToPattern(p, q, 1.0f, 2), 0);
    ASSERT_EQ(handler.setAccumulationWindowToPattern(q, p, 1.0f, 2), 0);
    ASSERT_EQ(handler.setAccumulationWindowToPattern(r, r, 1.0f, 2), 0);
    // Once unloaded the handler's end no longer sees them: the sanitizer
    // build finds a leak unless unloading broke the rings.
    for (int id : {p, q, r}) EXPECT_EQ(handler.unloadPattern(id), 0);
}
