// The flat C interface: the registry's ids, the unknown-id answers, the
// per-call texts, null pointers, and calls made from a connection callback
// while the instance is being freed.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>

#include "sdk/api/HandlerFactory.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/CaptureStdout.h"
#include "tests/support/FakeAudioHost.h"
#include "tests/support/FakeHandler.h"
#include "tests/support/LogRecorder.h"
#include "vibrenza/vibrenza.h"

using vbz_test::LogRecorder;

namespace {

// Every back-end the instances make is a scripted one that connects.
class ConnectingBackends {
public:
    ConnectingBackends() { vbz::setHandlerFactoryHook(&ConnectingBackends::make, this); }
    ~ConnectingBackends() { vbz::setHandlerFactoryHook(nullptr, nullptr); }
    ConnectingBackends(const ConnectingBackends&) = delete;
    ConnectingBackends& operator=(const ConnectingBackends&) = delete;

private:
    static IHandler* make(int kind, SdkPersistentState* state, void*) {
        vbz_test::FakeHandler::Script script;
        script.kind = kind;
        script.connectSucceeds = true;
        return new vbz_test::FakeHandler(state, script);
    }
};

class CApi : public ::testing::Test {
protected:
    LogRecorder log{2};
};

}  // namespace

TEST_F(CApi, IdsCountUpFromZeroAndAreNeverReused) {
    EXPECT_EQ(vbz_createSDKInstance(""), 0);
    EXPECT_EQ(vbz_createSDKInstance(nullptr), 1) << "a null log path counts as the default";
    vbz_freeSDKInstance(0);
    EXPECT_EQ(vbz_createSDKInstance(""), 2);
    EXPECT_EQ(vbz_scanStatus(0), VBZ_ERROR_NO_INSTANCE);
    EXPECT_EQ(vbz_scanStatus(1), 0);
    EXPECT_EQ(vbz_scanStatus(2), 0);
    // Freeing an id twice, or one never handed out, does nothing.
    vbz_freeSDKInstance(0);
    vbz_freeSDKInstance(77);
    vbz_freeSDKInstance(-1);
    EXPECT_EQ(vbz_scanStatus(1), 0);
    vbz_freeSDKInstance(1);
    vbz_freeSDKInstance(2);
    EXPECT_EQ(vbz_createSDKInstance(""), 3);
    vbz_freeSDKInstance(3);
}

TEST_F(CApi, UnknownIdsGetTheFixedAnswersAndNeverReachAnInstance) {
    const int live = vbz_createSDKInstance("");
    ASSERT_EQ(live, 0);
    for (const int id : {1, -1, 12345}) {
        SCOPED_TRACE(id);
        vbz_effect_properties_t properties;
        vbz_defaultEffectProperties(&properties);
        vbz_audio_settings_t settings;
        EXPECT_EQ(vbz_connectDevice(id, VBZ_OUTPUT_ANY, 0), -9);
        EXPECT_EQ(vbz_connectionStatus(id), -1);
        EXPECT_EQ(vbz_disconnectDevice(id), -9);
        EXPECT_EQ(vbz_scanDevices(id, VBZ_OUTPUT_USB), -9);
        EXPECT_EQ(vbz_scanStatus(id), -9);
        EXPECT_EQ(vbz_getFirstScannedDevice(id), nullptr);
        EXPECT_EQ(vbz_getVibrenzaSerialNumber(id), 0xFFFFFFFFu);
        EXPECT_EQ(vbz_getVibrenzaType(id), -1);
        EXPECT_EQ(vbz_setConnectionCallback(id, nullptr, nullptr), -9);
        EXPECT_EQ(vbz_loadPatternFromJSON(id, "{}"), -9);
        EXPECT_EQ(vbz_unloadPattern(id, 0), -9);
        EXPECT_EQ(vbz_playEffect(id, 0, properties), -9);
        EXPECT_EQ(vbz_stopEffect(id, 0, 0.0f), -9);
        EXPECT_EQ(vbz_effectState(id, 0), -1);
        EXPECT_EQ(vbz_pauseAll(id), -9);
        EXPECT_EQ(vbz_resumeAll(id), -9);
        EXPECT_EQ(vbz_stopAll(id), -9);
        EXPECT_EQ(vbz_setAccumulationWindowToPattern(id, 0, 1, 1.0f, 2), -9);
        EXPECT_EQ(vbz_eraseAccumulationWindowToPattern(id, 0), -9);
        EXPECT_EQ(vbz_getPatternIntensityBoost(id, 0), 0);
        EXPECT_EQ(vbz_setGlobalIntensityBoost(id, 10), -9);
        EXPECT_EQ(vbz_getGlobalIntensityBoost(id), -9);
        EXPECT_EQ(vbz_exp_connectOrv(id, VBZ_OUTPUT_ANY, 0, nullptr), -9);
        EXPECT_EQ(vbz_exp_connectOrvAudio(id, eCustomDevice, &settings, nullptr), -9);
        EXPECT_EQ(vbz_exp_connectAudio(id, eCustomDevice, &settings), -9);
        vbz_exp_enableLegacyBackend(id, true);
        EXPECT_EQ(vbz_exp_getOrvPreset(id), -9);
        EXPECT_EQ(vbz_exp_setOrvPreset(id, 1), -9);
        EXPECT_EQ(vbz_exp_getOrvVolume(id), -9.0f);
        EXPECT_EQ(vbz_exp_setOrvVolume(id, 0.5f), -9);
        vbz_exp_setEffectSpeed(id, 0, 2.0f);
        vbz_exp_setEffectVolume(id, 0, 50.0f);
    }
    // The live instance was never touched: its legacy switch is still off
    // (a scan keeps the streaming back-end) and no command reached it.
    EXPECT_EQ(LogRecorder::count("Command: connect(0, 0)"), 0);
    bool logged = false;
    for (const auto& line : LogRecorder::lines())
        logged = logged || line.text.find("no Vibrenza instance with id 12345") != std::string::npos;
    EXPECT_TRUE(logged) << "an unknown id leaves a log line";
    vbz_freeSDKInstance(live);
}

TEST_F(CApi, TextsOfUnknownIdsKeepTheLastAnswer) {
    EXPECT_STREQ(vbz_getVibrenzaSerialNumberAsString(4), "noDeviceConnected");
    EXPECT_STREQ(vbz_getVibrenzaVersion(4), "noDeviceConnected");
    EXPECT_STREQ(vbz_serialNumberToString(1234567890u), VibrenzaSDK::serialNumberToString(1234567890u).c_str());

    ConnectingBackends backends;
    const int id = vbz_createSDKInstance("");
    vbz_test::CallbackRecorder recorder;
    ASSERT_EQ(vbz_setConnectionCallback(id, &vbz_test::CallbackRecorder::callback, &recorder), 0);
    ASSERT_EQ(vbz_connectDevice(id, VBZ_OUTPUT_USB, 0), 0);
    ASSERT_GE(recorder.waitFor(1).size(), 1u);
    const std::string connected = vbz_getVibrenzaSerialNumberAsString(id);
    EXPECT_EQ(connected, VibrenzaSDK::serialNumberToString(12345678u));
    EXPECT_EQ(std::string(vbz_getVibrenzaSerialNumberAsString(99)), connected);
    // An instance that is connected refuses a second connection.
    EXPECT_EQ(vbz_connectDevice(id, VBZ_OUTPUT_USB, 0), -12);
    vbz_freeSDKInstance(id);

    const char* version = vbz_getSDKVersion();
    EXPECT_EQ(vbz_getSDKVersion(), version);
    EXPECT_EQ(std::string(version), VibrenzaSDK::getSDKVersion());
}

TEST_F(CApi, NullPointersGiveMinus2AndDefaultsFillRecords) {
    const int id = vbz_createSDKInstance("");
    EXPECT_EQ(vbz_exp_connectAudio(id, eCustomDevice, nullptr), -2);
    EXPECT_EQ(vbz_exp_connectOrvAudio(id, eCustomDevice, nullptr, "x"), -2);
    const char** names = nullptr;
    int count = -3;
    unsigned int* rates = nullptr;
    float latency = 0;
    EXPECT_EQ(vbz_exp_listOrvPresets(nullptr, &count), -2);
    EXPECT_EQ(vbz_exp_listOrvPresets(&names, nullptr), -2);
    EXPECT_EQ(vbz_exp_getOutputDevicesNames(nullptr, &count), -2);
    EXPECT_EQ(vbz_exp_getLoopbackDevicesNames(&names, nullptr), -2);
    EXPECT_EQ(vbz_exp_getOutputDeviceAPIs(nullptr, &names, &count), -2);
    EXPECT_EQ(vbz_exp_getOutputDeviceAPIs("x", nullptr, &count), -2);
    EXPECT_EQ(vbz_exp_getOutputDeviceInfo("x", "y", nullptr, &latency, &latency), -2);
    EXPECT_EQ(vbz_exp_getOutputDeviceInfo("x", nullptr, &count, &latency, &latency), -2);
    EXPECT_EQ(vbz_exp_getSupportedStandardSampleRates("x", "y", &rates, nullptr), -2);
    EXPECT_EQ(vbz_exp_getSupportedStandardSampleRates(nullptr, "y", &rates, &count), -2);
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(rates, nullptr);
    EXPECT_EQ(count, -3);

    vbz_defaultEffectProperties(nullptr);
    vbz_exp_defaultAudioSettings(nullptr);
    vbz_effect_properties_t p;
    std::memset(static_cast<void*>(&p), 0x5A, sizeof p);
    vbz_defaultEffectProperties(&p);
    EXPECT_EQ(p.priority, 5);
    EXPECT_EQ(p.volume, 100.0f);
    EXPECT_EQ(p.speed, 1.0f);
    EXPECT_EQ(p.repeatCount, 1);
    EXPECT_FALSE(p.rightLeftAddition);
    vbz_audio_settings_t s;
    std::memset(static_cast<void*>(&s), 0x5A, sizeof s);
    vbz_exp_defaultAudioSettings(&s);
    EXPECT_STREQ(s.deviceName, "default_output");
    EXPECT_STREQ(s.audioAPI, "any_API");
    EXPECT_EQ(s.sampleRate, 48000u);
    EXPECT_EQ(s.bufferSize, 256u);
    EXPECT_EQ(s.nbStreamChannel, -1);
    vbz_freeSDKInstance(id);
}

TEST_F(CApi, ACallbackMayCallTheApiWhileItsInstanceIsFreed) {
    ConnectingBackends backends;
    struct Probe {
        vbz_test::CallbackRecorder recorder;
        std::atomic<int> id{-1};
        std::atomic<int> statusSeenAtEnd{99};
    } probe;
    probe.recorder.onReport = [&probe](const vbz_test::ConnectionReport& report) {
        // The registry is not locked while the instance is destroyed: this
        // call from the back-end's thread must not wait for the free.
        const int status = vbz_connectionStatus(probe.id.load());
        if (report.state == VBZ_STATE_DISCONNECTED) probe.statusSeenAtEnd = status;
    };
    const int id = vbz_createSDKInstance("");
    probe.id = id;
    ASSERT_EQ(vbz_setConnectionCallback(id, &vbz_test::CallbackRecorder::callback, &probe.recorder), 0);
    ASSERT_EQ(vbz_connectDevice(id, VBZ_OUTPUT_ANY, 0), 0);
    ASSERT_EQ(probe.recorder.waitFor(1).size(), 1u);
    vbz_freeSDKInstance(id);
    const auto reports = probe.recorder.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(probe.statusSeenAtEnd.load(), -1) << "the freed id is already unknown";
}

TEST_F(CApi, StaticQueriesForwardToTheAudioHost) {
    vbz_test::FakeAudioHost host;
    vbz_test::ScopedAudioHost installed(host);
    host.addOutput("Speakers", 1, 2);
    host.addLoopback("Speakers [Loopback]");
    const char** names = nullptr;
    int count = 0;
    ASSERT_EQ(vbz_exp_getOutputDevicesNames(&names, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(names[0], "Speakers");
    ASSERT_EQ(vbz_exp_getLoopbackDevicesNames(&names, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(names[0], "Speakers [Loopback]");
    int channels = 0;
    float low = 0, high = 0;
    EXPECT_EQ(vbz_exp_getOutputDeviceInfo("Speakers", "JACK Audio Connection Kit", &channels, &low, &high), 0);
    EXPECT_EQ(channels, 2);
    unsigned int* rates = nullptr;
    EXPECT_EQ(vbz_exp_getSupportedStandardSampleRates("Speakers", "JACK Audio Connection Kit", &rates, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(rates[0], 48000u);
    EXPECT_EQ(host.balance, 0);
}

extern "C" int vbz_c_api_priority_check(int instance, int priority);
extern "C" int vbz_c_api_presets_check(void);
extern "C" int vbz_c_api_settings_check(void);

TEST_F(CApi, CallableFromCWithRecordsByValue) {
    const int id = vbz_createSDKInstance("");
    // A priority out of bounds is refused by the bounds check, which shows
    // the record crossed from C intact; a valid one passes that check.
    EXPECT_EQ(vbz_c_api_priority_check(id, 11), -2);
    EXPECT_NE(vbz_c_api_priority_check(id, 10), -2);
    EXPECT_EQ(vbz_c_api_priority_check(id + 1, 5), -9);
    EXPECT_EQ(vbz_c_api_presets_check(), 1);
    EXPECT_EQ(vbz_c_api_settings_check(), 1);
    vbz_freeSDKInstance(id);
}
