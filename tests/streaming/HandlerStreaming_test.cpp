// The streaming back-end as the SDK object sees it: pattern ids after the
// kept ones, the gain's read-back, pattern boosts, codes and log texts, and
// a connection attempt that ends as for an absent vest.
#include "streaming/HandlerStreaming.h"

#include <gtest/gtest.h>

#include <climits>

#include "sdk/core/LogLine.h"
#include "sdk/core/SdkPersistentState.h"
#include "tessaron-core/src/tsr/tsr_log.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/LogRecorder.h"

using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;

TEST(HandlerStreaming, ConstructionHooksTheEngineLogAndNumbersAfterTheKeptPatterns) {
    LogRecorder log;
    tsr_set_log_level(0);
    SdkPersistentState state;
    state.addPattern(4, "{}");
    HandlerStreaming handler(&state);
    EXPECT_EQ(tsr_get_log_level(), 3);
    EXPECT_EQ(tsr_get_log_callback(), &vbz::engineLogHook);
    EXPECT_EQ(handler.kind(), 1);
    EXPECT_EQ(handler.connectionStatus(), VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(handler.getVibrenzaSerialNumber(), 0xFFFFFFFFu);
    EXPECT_EQ(handler.getVibrenzaVersion(), "noDeviceConnected");
    EXPECT_EQ(handler.getVibrenzaType(), VBZ_DEVICE_UNKNOWN);

    EXPECT_EQ(handler.loadPatternFromJSON("{\"patternBoost\": 40}"), 5);
    EXPECT_TRUE(LogRecorder::has(2, "HandlerStreaming", "Pattern loaded. Assigned to ID: 5"));
    EXPECT_EQ(handler.getPatternIntensityBoost(5), 40);
    EXPECT_EQ(handler.getPatternIntensityBoost(77), 0);
    EXPECT_EQ(handler.loadPatternFromJSON("{\"patternBoost\": \"loud\"}"), -99);
    EXPECT_EQ(handler.loadPatternFromJSON("{ not json"), -99);
    EXPECT_TRUE(
        LogRecorder::has(4, "HandlerStreaming", "Unable to load vpt :Core - Invalid vpt file"));
    EXPECT_EQ(handler.loadPatternFromJSON("{}"), 6);  // failures use no id
    EXPECT_EQ(handler.unloadPattern(5), 0);
    EXPECT_EQ(handler.unloadPattern(1234), 0);  // any id
}

TEST(HandlerStreaming, GainReadsBackThroughTheSinglePrecisionFactor) {
    LogRecorder log;
    HandlerStreaming handler(nullptr);
    const std::pair<int, int> vectors[] = {{0, 0},     {1, 0},       {3, 2},
                                           {10, 10},   {100, 100},   {-10, -10},
                                           // huge gains lose digits in single precision, but never overflow
                                           {INT_MAX, 2147483600}, {INT_MIN, -2147483600}};
    for (auto [gain, readBack] : vectors) {
        ASSERT_EQ(handler.setGlobalIntensityBoost(gain), 0);
        EXPECT_EQ(handler.getGlobalIntensityBoost(), readBack) << gain;
    }
}

TEST(HandlerStreaming, EffectsNeedALoadedPattern) {
    LogRecorder log;
    HandlerStreaming handler(nullptr);
    vbz_effect_properties_t p;
    EXPECT_EQ(handler.playEffect(0, p), -95);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming",
                                 "Could not play effect: Core - Pattern not allocated"));
    ASSERT_EQ(handler.loadPatternFromJSON("{}"), 0);
    const int effect = handler.playEffect(0, p);
    ASSERT_GE(effect, 0);
    EXPECT_EQ(handler.effectState(effect), VBZ_EFFECT_PLAYING);
    EXPECT_EQ(handler.stopEffect(effect, 0.0f), 0);
    EXPECT_EQ(handler.effectState(effect), VBZ_EFFECT_UNKNOWN);
    EXPECT_EQ(handler.stopEffect(effect, 0.0f), -96);
    EXPECT_TRUE(LogRecorder::has(3, "HandlerStreaming",
                                 "Unable to stop effect ID 0 : Core - Sequence not allocated"));
    EXPECT_EQ(handler.pauseAll(), 0);
    EXPECT_EQ(handler.resumeAll(), 0);
    EXPECT_EQ(handler.stopAll(), 0);

    EXPECT_EQ(handler.setAccumulationWindowToPattern(0, 3, 1.0f, 2), -2);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming",
                                 "Could not set an accumulation window: Pattern ID 3 not found."));
    EXPECT_EQ(handler.setAccumulationWindowToPattern(0, 0, 1.0f, 2), 0);
    EXPECT_EQ(handler.eraseAccumulationWindowToPattern(0), 0);
    EXPECT_EQ(handler.eraseAccumulationWindowToPattern(0), -2);

    LogRecorder::clear();
    handler.setEffectSpeed(42, 2.0f);  // unknown effect: the engine's warning only
    handler.setEffectVolume(effect, 50.0f);
    EXPECT_EQ(LogRecorder::count("entry not allocated (invalid map<K, T> key)"), 2);
}

TEST(HandlerStreaming, ConnectionAttemptReloadsKeptPatternsAndReportsUnreachable) {
    LogRecorder log;
    SdkPersistentState state;
    state.addPattern(2, "{}");
    CallbackRecorder recorder;
    state.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    HandlerStreaming handler(&state);
    ASSERT_EQ(handler.connect(VBZ_OUTPUT_USB, 4242u), 0);
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[0].error, -6);
    EXPECT_EQ(reports[0].serial, 4242u);
    EXPECT_TRUE(LogRecorder::has(0, "HandlerStreaming", "Pattern ID 2 reloaded."));
    EXPECT_EQ(handler.getPatternIntensityBoost(2), 0);
    // A load after the reload does not collide with the kept id.
    EXPECT_EQ(handler.loadPatternFromJSON("{}"), 3);
}

TEST(HandlerStreaming, ScanFindsNothingAndClearsItsFlag) {
    LogRecorder log;
    HandlerStreaming handler(nullptr);
    ASSERT_EQ(handler.scanDevices(VBZ_OUTPUT_ANY), 0);
    // The routine clears the flag before it writes its line.
    ASSERT_TRUE(LogRecorder::waitFor("Scanning routine terminated."));
    EXPECT_EQ(handler.scanStatus(), 0);
    EXPECT_EQ(handler.getFirstScannedDevice(), nullptr);
}

TEST(HandlerStreaming, AudioConnectionChecksSettingsAndKeepsItsOwnTextCopies) {
    LogRecorder log;
    CallbackRecorder recorder;
    HandlerStreaming handler(nullptr);
    handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    vbz_audio_settings_t settings;
    settings.bufferSize = 0;
    EXPECT_EQ(handler.connectAudio(eCustomDevice, settings), -2);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming", "Invalid audio settings."));
    EXPECT_EQ(handler.connectionStatus(), VBZ_STATE_DISCONNECTED);

    std::string name = "my device";
    settings = vbz_audio_settings_t();
    settings.deviceName = name.c_str();
    settings.audioAPI = nullptr;
    ASSERT_EQ(handler.connectAudio(eAudioPreset2, settings), 0);
    EXPECT_TRUE(LogRecorder::has(2, "HandlerStreaming",
                                 "Command: connectAudio(2, my device, , sampleRate-48000, "
                                 "bufferSize-256, nbChannels--1, latency-0)"));
    EXPECT_NE(settings.deviceName, name.c_str());
    EXPECT_STREQ(settings.deviceName, "my device");
    EXPECT_STREQ(settings.audioAPI, "");
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].error, -6);
    EXPECT_EQ(reports[0].serial, 0xFFFFFFFFu);
}
