// The audio-to-haptics back-end: fixed answers to pattern and effect calls,
// its own settings, preset names, what the SDK object makes of them, and its
// connections over scripted streams and the fake audio host.
#include "orv-fx/HandlerORV.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "orv-fx/orvfx.h"
#include "sdk/core/LogLine.h"
#include "sdk/api/HandlerFactory.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "tests/support/ActuatorPatterns.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/FakeAudioHost.h"
#include "tests/support/FakeStream.h"
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

// ---- The back-end over scripted streams and the fake audio host.

namespace {

using vbz_test::FakeAudioHost;
using vbz_test::FakeStream;

// A back-end whose streams are FakeStreams made from one script (the kind
// asked for overrides the script's), remembered for the test.
struct ScriptedOrv {
    explicit ScriptedOrv(FakeStream::Script s) : script(s) {}
    std::unique_ptr<HandlerORV> make() {
        return std::make_unique<HandlerORV>(
            nullptr, [this](int kind, AbstractCore* source, std::mutex* mutex, IHandler* owner) {
                FakeStream::Script s = script;
                s.kind = kind;
                auto stream = std::make_shared<FakeStream>(source, mutex, owner, s);
                std::lock_guard<std::mutex> lock(m);
                made.push_back(stream);
                return stream;
            });
    }
    std::shared_ptr<FakeStream> last() {
        std::lock_guard<std::mutex> lock(m);
        return made.back();
    }
    FakeStream::Script script;
    std::mutex m;
    std::vector<std::shared_ptr<FakeStream>> made;
};

vbz_audio_settings_t vestAudio(unsigned bufferSize = 256) {
    vbz_audio_settings_t s;
    s.deviceName = "Vest";
    s.audioAPI = "JACK Audio Connection Kit";
    s.sampleRate = 48000;
    s.bufferSize = bufferSize;
    s.nbStreamChannel = 20;
    return s;
}

class OrvBackend : public ::testing::Test {
protected:
    void SetUp() override {
        host.addOutput("Vest", 1, 20);
        host.devices.back().maxInputChannels = 0;
        loopback = {host.addLoopback("Speakers [Loopback]", 2), "Speakers [Loopback]"};
        other = {host.addLoopback("Headset [Loopback]", 2), "Headset [Loopback]"};
    }
    void TearDown() override { EXPECT_EQ(host.balance, 0) << "audio host left initialised"; }

    LogRecorder log{0};
    FakeAudioHost host;
    vbz_test::ScopedAudioHost installed{host};
    vbz::AudioDeviceRef loopback, other;
    CallbackRecorder recorder;  // outlives the back-ends, which report their end
};

}  // namespace

TEST_F(OrvBackend, AVestConnectionFixesTheRateThatStartsTheCaptureAndItOutlivesTheConnection) {
    FakeStream::Script script;
    script.serial = 777;
    ScriptedOrv orv(script);
    auto handler = orv.make();
    handler->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    handler->setLoopbackDevice(loopback);
    EXPECT_TRUE(host.streams.empty()) << "no output rate yet";
    ASSERT_EQ(handler->connect(VBZ_OUTPUT_USB, 0), 0);
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_CONNECTED);
    EXPECT_EQ(reports[0].serial, 777u);
    EXPECT_EQ(handler->core().getSampleRate(), 500.0);
    ASSERT_EQ(host.streams.size(), 1u);
    EXPECT_EQ(host.streams[0].input.device, loopback.index);
    EXPECT_EQ(handler->getVibrenzaSerialNumber(), 777u);

    // Another device restarts the capture at once.
    handler->setLoopbackDevice(other);
    ASSERT_EQ(host.streams.size(), 2u);
    EXPECT_TRUE(host.streams[0].closed);
    EXPECT_EQ(host.streams[1].input.device, other.index);

    ASSERT_EQ(handler->disconnect(), 0);
    reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, 0);
    EXPECT_TRUE(handler->core().loopback().isRunning()) << "the capture runs across disconnections";
    handler.reset();
    EXPECT_TRUE(host.streams[1].closed);
}

TEST_F(OrvBackend, AFailedVestConnectionReportsTheAskedSerialAndStartsNoCapture) {
    FakeStream::Script script;
    script.connectResult = VBZ_ERROR_DEVICE_NOT_REACHABLE;
    ScriptedOrv orv(script);
    auto handler = orv.make();
    handler->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    handler->setLoopbackDevice(loopback);
    ASSERT_EQ(handler->connect(VBZ_OUTPUT_ANY, 55u), 0);
    const auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[0].error, VBZ_ERROR_DEVICE_NOT_REACHABLE);
    EXPECT_EQ(reports[0].serial, 55u);
    EXPECT_TRUE(host.streams.empty());
}

TEST_F(OrvBackend, ConnectAudioRefusalsInEveryState) {
    FakeStream::Script script;
    script.holdConnect = true;
    script.holdScan = true;
    ScriptedOrv orv(script);
    auto handler = orv.make();
    handler->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    auto bad = vestAudio(0);
    auto good = vestAudio();

    // Disconnected: only the settings are at fault.
    EXPECT_EQ(handler->connectAudio(eCustomDevice, bad), VBZ_ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerORV", "Invalid audio settings."));
    EXPECT_EQ(handler->connectionStatus(), VBZ_STATE_DISCONNECTED);

    // A scan runs.
    ASSERT_EQ(handler->scanDevices(VBZ_OUTPUT_USB), 0);
    ASSERT_TRUE(orv.last()->waitUntil([](FakeStream& s) { return s.scans == 1; }));
    EXPECT_EQ(handler->getFirstScannedDevice(), nullptr);
    EXPECT_TRUE(LogRecorder::has(3, "HandlerORV", "Cannot get scanned devices: scanning ongoing."));
    EXPECT_EQ(handler->connectAudio(eCustomDevice, good), VBZ_ERROR_PROCESS_RUNNING);
    EXPECT_TRUE(LogRecorder::has(3, "HandlerORV", "Cannot connect device: scan running."));
    EXPECT_EQ(handler->connectAudio(eCustomDevice, bad), VBZ_ERROR_INVALID_PARAMETER);
    orv.last()->releaseScan();
    ASSERT_TRUE(LogRecorder::waitFor("Scanning routine terminated."));

    // Connecting: the vest stream (the scan's) holds its connect.
    ASSERT_EQ(handler->connect(VBZ_OUTPUT_USB, 0), 0);
    ASSERT_TRUE(orv.last()->waitUntil([](FakeStream& s) { return s.connects == 1; }));
    EXPECT_EQ(handler->connectAudio(eCustomDevice, good), VBZ_ERROR_PROCESS_RUNNING);
    EXPECT_TRUE(LogRecorder::has(3, "HandlerORV", "Cannot connect device: connection or disconnection ongoing."));
    EXPECT_EQ(handler->connectionStatus(), VBZ_STATE_CONNECTING);

    // Connected.
    orv.last()->releaseConnect();
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    EXPECT_EQ(handler->connectAudio(eCustomDevice, good), VBZ_ERROR_DEVICE_ALREADY_CONNECTED);
    EXPECT_TRUE(LogRecorder::has(3, "HandlerORV", "Cannot connect device: a device is already connected."));
    EXPECT_EQ(handler->connectAudio(eCustomDevice, bad), VBZ_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(handler->connectionStatus(), VBZ_STATE_CONNECTED);
    EXPECT_STREQ(good.deviceName, "Vest") << "refusals leave the caller's record alone";
}

TEST_F(OrvBackend, ACallbackThatReconnectsIsRefused) {
    ScriptedOrv orv(FakeStream::Script{});
    auto handler = orv.make();
    int fromCallback[2] = {1, 1};
    recorder.onReport = [&](const vbz_test::ConnectionReport& r) {
        if (r.state != VBZ_STATE_CONNECTED) return;
        auto settings = vestAudio();
        fromCallback[0] = handler->connect(VBZ_OUTPUT_USB, 0);
        fromCallback[1] = handler->connectAudio(eCustomDevice, settings);
    };
    handler->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    ASSERT_EQ(handler->connect(VBZ_OUTPUT_USB, 0), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    EXPECT_EQ(fromCallback[0], VBZ_ERROR_PROCESS_RUNNING);
    EXPECT_EQ(fromCallback[1], VBZ_ERROR_PROCESS_RUNNING);
    handler.reset();  // destroyed while streaming
    const auto reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, 0);
    EXPECT_EQ(reports[1].serial, 1234u);
}

TEST_F(OrvBackend, AnAudioConnectionPlaysTheCaptureAtTheDevicesRateAndEndsWithTheBackend) {
    HandlerORV handler(nullptr);  // the production streams, over the fake host
    recorder.handler = [&handler]() -> IHandler* { return &handler; };
    handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    handler.setLoopbackDevice(loopback);
    handler.setOrvPreset(3);
    handler.setOrvVolume(0.5f);
    auto settings = vestAudio();
    const char* name = settings.deviceName;
    ASSERT_EQ(handler.connectAudio(eCustomDevice, settings), 0);
    EXPECT_EQ(settings.deviceName, name) << "the caller's texts are not repointed";
    EXPECT_TRUE(LogRecorder::has(
        2, "HandlerORV",
        "Command: connectAudio(0, Vest, JACK Audio Connection Kit, sampleRate-48000, bufferSize-256, nbChannels-20, "
        "latency-0)"));
    const auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_CONNECTED) << "error " << reports[0].error;
    EXPECT_TRUE(reports[0].handlerMutexFree);
    EXPECT_EQ(handler.getVibrenzaVersion(), "Experimental-AudioConnection");
    EXPECT_EQ(handler.core().getSampleRate(), 48000.0);
    EXPECT_TRUE(handler.core().loopback().isRunning());
    EXPECT_EQ(handler.core().loopback().outputBlockSize(), 960u);
    EXPECT_EQ(handler.getOrvPreset(), 3);
    EXPECT_EQ(handler.getOrvVolume(), 0.5f);
}

TEST_F(OrvBackend, AnAudioDeviceThatCannotBeOpenedEndsTheRoutine) {
    HandlerORV handler(nullptr);
    handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    auto settings = vestAudio();
    settings.deviceName = "Nowhere";
    ASSERT_EQ(handler.connectAudio(eCustomDevice, settings), 0);
    const auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[0].error, VBZ_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(reports[0].serial, 0xFFFFFFFFu);
}
