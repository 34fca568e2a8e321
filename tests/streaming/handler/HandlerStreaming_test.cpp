// The streaming back-end over the real engine, without a vest: pattern ids
// after the kept ones, the gain's read-back, what a play writes into its
// sequence, accumulation windows on a clock moved by hand, effect states,
// and connection attempts that find no vest or no audio device.
#include "streaming/HandlerStreaming.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <memory>
#include <future>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "sdk/core/LogLine.h"
#include "sdk/core/SdkPersistentState.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "tessaron-core/src/tsr/tsr_log.h"
#include "tests/support/ActuatorPatterns.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/FakeAudioHost.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/ManualClock.h"
#include "tools/vest-emulator/usb/UsbBus.h"

using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;
using vbz_test::ManualClock;

namespace {
std::string pattern(int actuator = 3, int boost = 0) {
    return vbz_test::actuatorPattern(*tsr::makeDefaultLayout(), actuator, 0.3, false, boost);
}

struct HandlerTest : ::testing::Test {
    void SetUp() override { vbz::emu::UsbBus::instance().reset(); }  // no vest on USB
    LogRecorder log;
};
}  // namespace

TEST_F(HandlerTest, ConstructionHooksTheEngineLogAndNumbersAfterTheKeptPatterns) {
    tsr_set_log_level(0);
    SdkPersistentState state;
    state.addPattern(4, pattern());
    HandlerStreaming handler(&state);
    EXPECT_EQ(tsr_get_log_level(), 3);
    EXPECT_EQ(tsr_get_log_callback(), &vbz::engineLogHook);
    EXPECT_EQ(handler.kind(), 1);
    EXPECT_EQ(handler.connectionStatus(), VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(handler.getVibrenzaSerialNumber(), 0xFFFFFFFFu);
    EXPECT_EQ(handler.getVibrenzaVersion(), "noDeviceConnected");
    EXPECT_EQ(handler.getVibrenzaType(), VBZ_DEVICE_UNKNOWN);

    EXPECT_EQ(handler.loadPatternFromJSON(pattern(3, 40)), 5);
    EXPECT_TRUE(LogRecorder::has(2, "HandlerStreaming", "Pattern loaded. Assigned to ID: 5"));
    EXPECT_EQ(handler.getPatternIntensityBoost(5), 40);
    EXPECT_EQ(handler.loadPatternFromJSON("{ not json"), -99);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming", "Unable to load vpt :Core - Invalid vpt file"));
    EXPECT_EQ(handler.loadPatternFromJSON(pattern()), 6);  // failures use no id
    EXPECT_EQ(handler.unloadPattern(5), 0);
    EXPECT_EQ(handler.getPatternIntensityBoost(5), 0);  // gone (the engine warns)
}

TEST_F(HandlerTest, GainReadsBackThroughTheSinglePrecisionFactor) {
    HandlerStreaming handler(nullptr);
    const std::pair<int, int> vectors[] = {{0, 0},     {1, 0},     {3, 2},    {10, 10},
                                           {100, 100}, {-10, -10}, {INT_MAX, 2147483600},
                                           {INT_MIN, -2147483600}};
    for (auto [gain, readBack] : vectors) {
        ASSERT_EQ(handler.setGlobalIntensityBoost(gain), 0);
        EXPECT_EQ(handler.getGlobalIntensityBoost(), readBack) << gain;
    }
}

TEST_F(HandlerTest, APlayWritesItsPropertiesAndSpatialRecordIntoTheSequence) {
    HandlerStreaming handler(nullptr);
    const int id = handler.loadPatternFromJSON(pattern(3, 40));
    ASSERT_GE(id, 0);
    struct Case {
        bool override_;
        int boost;
        double expected;
    };
    const Case boosts[] = {{true, 100, 1.0}, {true, 50, 0.1}, {true, -50, -0.1}, {true, 0, 0.0},
                           {true, 1, std::pow(10.0, static_cast<double>(0.02f)) / 100.0},
                           {false, 100, 0.4},  // no override: the pattern's own boost
                           // Beyond the API's bounds the factor saturates.
                           {true, INT_MAX, 1.0}, {true, INT_MIN, -1.0}, {true, -101, -1.0}};
    for (const Case& c : boosts) {
        vbz_effect_properties_t p;
        p.overridePatternBoost = c.override_;
        p.effectBoost = c.boost;
        p.volume = 50.0f;
        p.speed = 2.0f;
        p.height = 1.0f;
        p.heading = 90.0f;
        p.tilting = -45.0f;
        p.rightLeftInversion = true;
        p.upDownAddition = true;
        const int effect = handler.playEffect(id, p);
        ASSERT_GE(effect, 0);
        handler.inspectEngine([&](tsr::TessaronCore& engine) {
            const tsr::SequenceEntry* s = engine.sequences().find(effect);
            ASSERT_NE(s, nullptr);
            EXPECT_TRUE(s->autoDelete);
            EXPECT_NEAR(s->boost, c.expected, 1e-12) << c.boost;
            EXPECT_DOUBLE_EQ(s->volume, 0.5);
            EXPECT_DOUBLE_EQ(s->speed, 2.0);
            EXPECT_EQ(s->properties.translation()[1], static_cast<double>(0.24f));
            EXPECT_EQ(s->properties.translation()[0], 0.0);
            EXPECT_DOUBLE_EQ(s->properties.heading(), std::numbers::pi / 2);
            EXPECT_DOUBLE_EQ(s->properties.tilting(), -std::numbers::pi / 4);
            EXPECT_TRUE(s->properties.rightLeftInversion());
            EXPECT_FALSE(s->properties.frontBackInversion());
            EXPECT_TRUE(s->properties.upDownAddition());
        });
        EXPECT_EQ(handler.effectState(effect), VBZ_EFFECT_PLAYING);
    }
}

TEST_F(HandlerTest, EffectStatesStopsAndUnknownIds) {
    HandlerStreaming handler(nullptr);
    vbz_effect_properties_t p;
    EXPECT_EQ(handler.playEffect(0, p), -95);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming", "Could not play effect: Core - Pattern not allocated"));
    const int id = handler.loadPatternFromJSON(pattern());
    const int effect = handler.playEffect(id, p);
    ASSERT_GE(effect, 0);
    EXPECT_EQ(handler.effectState(effect), VBZ_EFFECT_PLAYING);
    EXPECT_EQ(handler.effectState(effect + 100), VBZ_EFFECT_UNKNOWN);
    EXPECT_EQ(handler.stopEffect(effect, 0.0f), 0);
    EXPECT_EQ(handler.effectState(effect), VBZ_EFFECT_UNKNOWN);
    EXPECT_EQ(handler.stopEffect(effect + 100, 0.0f), -96);
    EXPECT_TRUE(LogRecorder::has(3, "HandlerStreaming",
                                 "Unable to stop effect ID " + std::to_string(effect + 100) +
                                     " : Core - Sequence not allocated"));
    // Without a vest no render would run the fade: the effect ends at once.
    const int fading = handler.playEffect(id, p);
    EXPECT_EQ(handler.stopEffect(fading, 1.0f), 0);
    EXPECT_EQ(handler.effectState(fading), VBZ_EFFECT_UNKNOWN);
    EXPECT_EQ(handler.pauseAll(), 0);
    EXPECT_EQ(handler.resumeAll(), 0);
    EXPECT_EQ(handler.stopAll(), 0);
    EXPECT_EQ(handler.effectState(fading), VBZ_EFFECT_UNKNOWN);

    // A start before the effect's beginning is refused and leaves nothing behind.
    vbz_effect_properties_t early;
    early.playAtTime = -1.0f;
    const std::size_t sequences = handler.sequenceCount();
    EXPECT_EQ(handler.playEffect(id, early), -100);
    EXPECT_EQ(handler.sequenceCount(), sequences);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming", "Could not play effect: Core - Invalid argument"));

    LogRecorder::clear();
    handler.setEffectSpeed(4242, 2.0f);  // unknown effect: the engine's warning only
    handler.setEffectVolume(4242, 50.0f);
    EXPECT_EQ(LogRecorder::count("entry not allocated (invalid map<K, T> key)"), 2);
}

TEST_F(HandlerTest, AnEffectThatEndedAnswersAsEndedWithoutWarnings) {
    HandlerStreaming handler(nullptr);
    const int id = handler.loadPatternFromJSON(pattern());  // 0.3 s
    const int ended = handler.playEffect(id, vbz_effect_properties_t());
    ASSERT_GE(ended, 0);
    // Render as a stream would, until the engine has dropped the ended play.
    handler.inspectEngine([](tsr::TessaronCore& engine) {
        for (int k = 0; k < 200 && engine.sequences().size() > 0; ++k) engine.render_buffer();
    });
    ASSERT_EQ(handler.sequenceCount(), 0u);

    LogRecorder::clear();
    EXPECT_EQ(handler.stopEffect(ended, 0.0f), 0);
    EXPECT_EQ(handler.stopEffect(ended, 0.5f), 0);
    handler.setEffectSpeed(ended, 2.0f);
    handler.setEffectVolume(ended, 50.0f);
    EXPECT_EQ(handler.effectState(ended), VBZ_EFFECT_UNKNOWN);
    for (const auto& line : LogRecorder::lines()) EXPECT_LT(line.level, 3) << line.tag << ": " << line.text;

    // Ids never handed out still draw the engine's warning and -96.
    for (const int never : {ended + 1, -5}) {
        LogRecorder::clear();
        EXPECT_EQ(handler.stopEffect(never, 0.0f), -96) << never;
        EXPECT_EQ(LogRecorder::count("entry not allocated (invalid map<K, T> key)"), 1) << never;
        EXPECT_TRUE(LogRecorder::has(3, "HandlerStreaming",
                                     "Unable to stop effect ID " + std::to_string(never) +
                                         " : Core - Sequence not allocated"));
    }
}

TEST_F(HandlerTest, WithoutAVestStoppedEffectsAreFreedAtOnce) {
    HandlerStreaming handler(nullptr);
    const int id = handler.loadPatternFromJSON(pattern());
    vbz_effect_properties_t endless;
    endless.repeatCount = 0;
    std::vector<int> effects;
    for (int k = 0; k < 50; ++k) effects.push_back(handler.playEffect(id, endless));
    // Nothing renders: they wait for a connection, all "playing".
    EXPECT_EQ(handler.sequenceCount(), 50u);
    EXPECT_EQ(handler.effectState(effects[0]), VBZ_EFFECT_PLAYING);

    EXPECT_EQ(handler.stopEffect(effects[0], 2.0f), 0);  // a fade no render would run
    EXPECT_EQ(handler.stopEffect(effects[1], 0.0f), 0);
    EXPECT_EQ(handler.sequenceCount(), 48u);
    EXPECT_EQ(handler.pauseAll(), 0);
    EXPECT_EQ(handler.stopAll(), 0);
    EXPECT_EQ(handler.sequenceCount(), 0u);
    EXPECT_EQ(handler.effectState(effects[49]), VBZ_EFFECT_UNKNOWN);
}

TEST_F(HandlerTest, PlaysWaitingForAStreamAreBounded) {
    HandlerStreaming handler(nullptr);
    const int id = handler.loadPatternFromJSON(pattern());
    vbz_effect_properties_t p;
    const int first = handler.playEffect(id, p);
    ASSERT_GE(first, 0);
    for (std::size_t k = 1; k < HandlerStreaming::kMaxWaitingEffects; ++k) ASSERT_GE(handler.playEffect(id, p), 0);
    // Beyond the bound nothing more is kept, however many plays come.
    for (int k = 0; k < 3000; ++k) ASSERT_EQ(handler.playEffect(id, p), VBZ_ERROR_PLAY_IGNORED);
    EXPECT_EQ(handler.sequenceCount(), HandlerStreaming::kMaxWaitingEffects);
    EXPECT_TRUE(LogRecorder::has(3, "HandlerStreaming", "Could not play effect: 1000 effects already wait for a stream."));
    // A place freed is a play allowed.
    ASSERT_EQ(handler.stopEffect(first, 0.0f), 0);
    EXPECT_GE(handler.playEffect(id, p), 0);
    EXPECT_EQ(handler.playEffect(id, p), VBZ_ERROR_PLAY_IGNORED);
}

TEST_F(HandlerTest, APatternIsReadAndCheckedWithoutTheHandlerMutex) {
    HandlerStreaming handler(nullptr);
    std::promise<void> release;
    std::promise<void> locked;
    // Another thread holds the mutex, as a long render would.
    std::thread holder([&] {
        std::lock_guard<std::mutex> lock(handler.handlerMutex());
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    std::thread loader([&] { (void)handler.loadPatternFromJSON("{ not json"); });
    // The reader's verdict arrives while the mutex is still taken.
    const bool checkedMeanwhile = LogRecorder::waitFor("Invalid json format: { not json");
    release.set_value();
    loader.join();
    holder.join();
    EXPECT_TRUE(checkedMeanwhile);
}

TEST_F(HandlerTest, AccumulationWindowsFollowTheInjectedClock) {
    auto clock = std::make_shared<ManualClock>();
    HandlerStreaming handler(nullptr, clock);
    const int main = handler.loadPatternFromJSON(pattern(2));
    const int fallback = handler.loadPatternFromJSON(pattern(9));
    EXPECT_EQ(handler.setAccumulationWindowToPattern(main, 77, 1.0f, 2), -2);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming", "Could not set an accumulation window: Pattern ID 77 not found."));
    EXPECT_EQ(handler.setAccumulationWindowToPattern(78, fallback, 1.0f, 2), -2);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming", "Could not set an accumulation window: Pattern ID 78 not found."));
    ASSERT_EQ(handler.setAccumulationWindowToPattern(main, fallback, 1.0f, 2), 0);

    vbz_effect_properties_t p;
    auto playAt = [&](double seconds) {
        clock->at(seconds);
        const int effect = handler.playEffect(main, p);
        if (effect < 0) return effect;
        int patternOf = -1;
        handler.inspectEngine([&](tsr::TessaronCore& e) { patternOf = e.sequence_pattern_id_get(effect); });
        return patternOf;
    };
    EXPECT_EQ(playAt(0.0), main);
    EXPECT_EQ(playAt(0.1), fallback);
    EXPECT_EQ(playAt(0.2), fallback);
    EXPECT_EQ(playAt(0.3), -14);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming", "Max accumulation reached, play event is ignored."));
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming", "Could not play effect: Play was ignored due to overall trigger strategy"));
    EXPECT_EQ(playAt(1.5), main);

    // Maximum 0: always the fallback within the window; the window and its
    // running count survive new settings.
    ASSERT_EQ(handler.setAccumulationWindowToPattern(main, fallback, 1.0f, 0), 0);
    for (double t : {1.6, 1.7, 1.8, 1.9, 2.0}) EXPECT_EQ(playAt(t), fallback) << t;

    // Without its fallback every play is refused until the window goes.
    ASSERT_EQ(handler.unloadPattern(fallback), 0);
    EXPECT_EQ(playAt(5.0), -2);
    EXPECT_TRUE(LogRecorder::has(3, "HandlerStreaming", "Accumulation not set, the fallback pattern does not exist."));
    EXPECT_EQ(handler.eraseAccumulationWindowToPattern(main), 0);
    EXPECT_EQ(handler.eraseAccumulationWindowToPattern(main), -2);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming",
                                 "Could not erase an accumulation window: No accumulation set on Pattern ID " +
                                     std::to_string(main) + "."));
    EXPECT_EQ(playAt(5.1), main);
}

TEST_F(HandlerTest, AConnectionWithoutAVestReloadsKeptPatternsAndReportsUnreachable) {
    SdkPersistentState state;
    state.addPattern(2, pattern());
    state.addPattern(3, "{ broken");
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
    EXPECT_TRUE(LogRecorder::has(3, "HandlerStreaming", "Unable to reload pattern ID 3 : Core - Invalid vpt file"));
    // A second attempt finds the pattern already there: still "reloaded".
    ASSERT_EQ(handler.connect(VBZ_OUTPUT_USB, 0u), 0);
    recorder.waitFor(2);
    EXPECT_EQ(LogRecorder::count("Pattern ID 2 reloaded."), 2);
    // A load after the reload does not collide with the kept ids.
    EXPECT_EQ(handler.loadPatternFromJSON(pattern()), 4);
}

TEST_F(HandlerTest, ScanFindsNothingAndClearsItsFlag) {
    HandlerStreaming handler(nullptr);
    ASSERT_EQ(handler.scanDevices(VBZ_OUTPUT_USB), 0);
    // The routine clears the flag before it writes its line.
    ASSERT_TRUE(LogRecorder::waitFor("Scanning routine terminated."));
    EXPECT_EQ(handler.scanStatus(), 0);
    EXPECT_EQ(handler.getFirstScannedDevice(), nullptr);
    EXPECT_TRUE(LogRecorder::has(3, "StreamHid", "Cannot get scanned devices: no Vibrenza device found."));
}

TEST_F(HandlerTest, AudioConnectionChecksSettingsKeepsItsOwnTextCopiesAndReportsAMissingDevice) {
    vbz_test::FakeAudioHost host;
    vbz_test::ScopedAudioHost scoped(host);
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
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[0].error, -2);  // no device matches the preset
    EXPECT_EQ(reports[0].serial, 0xFFFFFFFFu);
    EXPECT_EQ(handler.getVibrenzaVersion(), "Experimental-AudioConnection");
    // A vest connection afterwards goes back to a vest stream.
    ASSERT_EQ(handler.connect(VBZ_OUTPUT_USB, 0u), 0);
    recorder.waitFor(2);
    EXPECT_EQ(handler.getVibrenzaVersion(), "noDeviceConnected");
}

TEST_F(HandlerTest, DestroyingTheBackEndJustAfterAnAudioConnectionStartsEndsIt) {
    vbz_test::FakeAudioHost host;
    host.addOutput("VibrenzaVest", 1, 20);
    vbz_test::ScopedAudioHost scoped(host);
    for (int round = 0; round < 20; ++round) {
        CallbackRecorder recorder;  // outlives the back-end
        {
            HandlerStreaming handler(nullptr);
            handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
            vbz_audio_settings_t settings;
            settings.deviceName = "VibrenzaVest";
            ASSERT_EQ(handler.connectAudio(eCustomDevice, settings), 0);
            // Destroyed at once: whether the worker is still making the
            // audio stream, opening it or already playing, it ends.
        }
        const auto reports = recorder.reports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().state, VBZ_STATE_DISCONNECTED) << "round " << round;
    }
    EXPECT_EQ(host.balance, 0);
}

TEST_F(HandlerTest, TheConnectionCallbackCannotStartAnotherRoutine) {
    vbz_test::FakeAudioHost host;
    vbz_test::ScopedAudioHost scoped(host);
    CallbackRecorder recorder;  // outlives the back-end's worker
    HandlerStreaming handler(nullptr);
    int fromCallback[3] = {1, 1, 1};
    recorder.onReport = [&](const vbz_test::ConnectionReport&) {
        vbz_audio_settings_t settings;
        fromCallback[0] = handler.connect(VBZ_OUTPUT_USB, 0u);
        fromCallback[1] = handler.scanDevices(VBZ_OUTPUT_USB);
        fromCallback[2] = handler.connectAudio(eCustomDevice, settings);
    };
    handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    ASSERT_EQ(handler.connect(VBZ_OUTPUT_USB, 0u), 0);  // no vest: reports -1 at once
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    EXPECT_EQ(fromCallback[0], -11);
    EXPECT_EQ(fromCallback[1], -11);
    EXPECT_EQ(fromCallback[2], -11);
    EXPECT_EQ(recorder.reports().size(), 1u);  // nothing else was started
}
