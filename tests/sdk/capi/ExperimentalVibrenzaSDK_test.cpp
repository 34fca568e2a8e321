// The experimental handle over the real stand-in back-ends and the fake
// audio host: connection refusals, loopback lookup, back-end swaps and the
// ORV controls.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "sdk/api/HandlerFactory.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/CaptureStdout.h"
#include "tests/support/FakeAudioHost.h"
#include "tests/support/FakeHandler.h"
#include "tests/support/LogRecorder.h"
#include "vibrenza/vibrenza.h"

using vbz_test::CaptureFd;
using vbz_test::FakeAudioHost;
using vbz_test::LogRecorder;

namespace {

constexpr PaHostApiIndex kJack = 1;

class Experimental : public ::testing::Test {
protected:
    LogRecorder log{0};
    FakeAudioHost host;
    vbz_test::ScopedAudioHost installed{host};

    void SetUp() override {
        host.addOutput("Speakers", kJack, 2);
        host.addOutput("Vibrenza Vest", kJack, 20);
        host.addLoopback("Speakers [Loopback]");
        host.addLoopback("Vibrenza Vest [Loopback]", 20);
        host.defaultOutput = 0;
    }
    void TearDown() override { EXPECT_EQ(host.balance, 0) << "audio host left initialised"; }
};

// Makes a scripted, connecting back-end of kind 1 (streaming) and leaves the
// other kinds to the real factory.
IHandler* connectingStreaming(int kind, SdkPersistentState* state, void*) {
    if (kind != 1) return nullptr;
    vbz_test::FakeHandler::Script script;
    script.kind = 1;
    script.connectSucceeds = true;
    return new vbz_test::FakeHandler(state, script);
}

}  // namespace

TEST_F(Experimental, ConnectOrvWhileConnectedLogsAndLeavesTheHostAlone) {
    vbz::setHandlerFactoryHook(&connectingStreaming, nullptr);
    {
        vbz_test::CallbackRecorder recorder;  // outlives the instance, which reports its end
        VibrenzaSDK sdk;
        sdk.setConnectionCallback(&vbz_test::CallbackRecorder::callback, &recorder);
        ASSERT_EQ(sdk.connect(VBZ_OUTPUT_USB, 0), 0);
        ASSERT_EQ(recorder.waitFor(1).size(), 1u);
        ExperimentalVibrenzaSDK exp = sdk.ExperimentalAPI();
        EXPECT_EQ(exp.connectOrv(VBZ_OUTPUT_WIFI, 4000000000u, "Speakers"), -12);
        EXPECT_TRUE(LogRecorder::has(2, "ExperimentalVibrenzaSDK", "Command: connectOrv(3, 4000000000)"));
        vbz_audio_settings_t settings;
        EXPECT_EQ(exp.connectOrvAudio(eCustomDevice, settings, "Speakers"), -12);
        EXPECT_EQ(exp.connectAudio(eCustomDevice, settings), -12);
        EXPECT_EQ(host.initializeCalls, 0);
        EXPECT_EQ(exp.getOrvPreset(), 0);
    }
    vbz::setHandlerFactoryHook(nullptr, nullptr);
}

TEST_F(Experimental, AnUnknownLoopbackKeepsTheBackend) {
    VibrenzaSDK sdk;
    ExperimentalVibrenzaSDK exp = sdk.ExperimentalAPI();
    CaptureFd err(2);
    EXPECT_EQ(exp.connectOrv(VBZ_OUTPUT_ANY, 0, "Headphones"), -2);
    vbz_audio_settings_t settings;
    EXPECT_EQ(exp.connectOrvAudio(eCustomDevice, settings, "Headphones"), -2);
    // Without a loopback host API every lookup failure maps to -2 as well.
    host.loopbackApi = -1;
    EXPECT_EQ(exp.connectOrv(VBZ_OUTPUT_ANY, 0, nullptr), -2);
    host.loopbackApi = kJack;
    // The default output is the vest: it is not taken by default.
    host.defaultOutput = 1;
    EXPECT_EQ(exp.connectOrv(VBZ_OUTPUT_ANY, 0, nullptr), -2);
    host.initializeError = paInsufficientMemory;
    EXPECT_EQ(exp.connectOrv(VBZ_OUTPUT_ANY, 0, "Speakers"), -15);
    host.initializeError = paNoError;
    const std::string text = err.finish();
    EXPECT_NE(text.find("Could not find a loopback device named Headphones\n"), std::string::npos);
    EXPECT_NE(text.find("Audio interface JACK not found\n"), std::string::npos);
    EXPECT_NE(text.find("Default audio output is an Quorvenix device"), std::string::npos);
    EXPECT_NE(text.find("Could not initialize PortAudio: Insufficient memory\n"), std::string::npos);
    // Still the streaming back-end: the ORV controls answer as for another
    // kind, after the range test.
    EXPECT_EQ(exp.setOrvPreset(1), -17);
    EXPECT_EQ(exp.setOrvPreset(4), -2);
    EXPECT_EQ(exp.setOrvPreset(-1), -2);
    EXPECT_EQ(exp.getOrvVolume(), 0.0f);
}

TEST_F(Experimental, ConnectOrvSwapsToTheOrvBackendAndKeepsItAfterTheAttempt) {
    vbz_test::CallbackRecorder recorder;
    VibrenzaSDK sdk;
    sdk.setConnectionCallback(&vbz_test::CallbackRecorder::callback, &recorder);
    ExperimentalVibrenzaSDK exp = sdk.ExperimentalAPI();
    CaptureFd out(1);
    EXPECT_EQ(exp.connectOrv(VBZ_OUTPUT_ANY, 0, ""), 0);
    const auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_DISCONNECTED);
    EXPECT_NE(out.finish().find(">>> VibrenzaSDK [Experimental] loopback input device used for ORV: Speakers "
                                "[Loopback]\n"),
              std::string::npos);

    // Range first, then kind.
    EXPECT_EQ(exp.setOrvPreset(4), -2);
    EXPECT_EQ(exp.setOrvPreset(-1), -2);
    EXPECT_EQ(exp.setOrvPreset(3), 0);
    EXPECT_EQ(exp.getOrvPreset(), 3);
    EXPECT_EQ(exp.getOrvVolume(), 1.0f);
    exp.setOrvVolume(-5.0f);
    EXPECT_EQ(exp.getOrvVolume(), 0.0f);
    exp.setOrvVolume(0.25f);
    // A second ORV connection keeps the back-end with its preset and volume.
    EXPECT_EQ(exp.connectOrv(VBZ_OUTPUT_ANY, 0, "Speakers"), 0);
    ASSERT_EQ(recorder.waitFor(2).size(), 2u);
    EXPECT_EQ(exp.getOrvPreset(), 3);
    EXPECT_EQ(exp.getOrvVolume(), 0.25f);
    // The effect controls need the streaming back-end: nothing happens here.
    exp.setEffectSpeed(0, 2.0f);
    exp.setEffectVolume(0, 50.0f);

    // connectAudio with refused settings still swaps back to streaming.
    vbz_audio_settings_t settings;
    settings.bufferSize = 0;
    EXPECT_EQ(exp.connectAudio(eCustomDevice, settings), -2);
    EXPECT_EQ(exp.getOrvPreset(), 0);
    EXPECT_EQ(exp.setOrvPreset(1), -17);
}

// A JACK client of ours that a stalled server refuses while PortAudio holds
// its own can cost PortAudio that client.
TEST_F(Experimental, ACaptureThatConnectOrvStartsOpensWithTheHostLetGo) {
    vbz_test::CallbackRecorder recorder;
    VibrenzaSDK sdk;
    sdk.setConnectionCallback(&vbz_test::CallbackRecorder::callback, &recorder);
    ExperimentalVibrenzaSDK exp = sdk.ExperimentalAPI();
    CaptureFd out(1);
    // An audio connection gives the capture its rate; it starts on "Speakers".
    vbz_audio_settings_t settings;
    settings.deviceName = "Speakers";
    ASSERT_EQ(exp.connectOrvAudio(eCustomDevice, settings, "Speakers"), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    ASSERT_EQ(sdk.disconnect(), 0);
    ASSERT_EQ(recorder.waitFor(2).size(), 2u);
    // connectOrv on another loopback starts the capture anew.
    const std::size_t opens = host.jackOpens.size();
    EXPECT_EQ(exp.connectOrv(VBZ_OUTPUT_ANY, 0, "Vibrenza Vest"), 0);
    ASSERT_EQ(recorder.waitFor(3).size(), 3u);
    out.finish();
    ASSERT_EQ(host.jackOpens.size(), opens + 1);
    EXPECT_EQ(host.jackOpens.back().client, "Vibrenza Vest [Loopback]");
    EXPECT_EQ(host.jackOpens.back().held, 0);
}

TEST_F(Experimental, AudioConnectionsLeaveTheCallersTextsAlone) {
    vbz_test::CallbackRecorder recorder;
    VibrenzaSDK sdk;
    sdk.setConnectionCallback(&vbz_test::CallbackRecorder::callback, &recorder);
    ExperimentalVibrenzaSDK exp = sdk.ExperimentalAPI();
    exp.enableLegacyBackend(true);
    std::string device = "Speakers";
    // No device of that name under this host API: each connection ends at
    // once, and reports it.
    std::string api = "ALSA";
    vbz_audio_settings_t settings;
    settings.deviceName = device.c_str();
    settings.audioAPI = api.c_str();
    EXPECT_EQ(exp.connectAudio(eCustomDevice, settings), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    EXPECT_EQ(settings.deviceName, device.c_str());
    EXPECT_EQ(settings.audioAPI, api.c_str());
    // Legacy switch or not, the audio connection used the streaming back-end.
    bool streamingGotIt = false;
    for (const auto& line : LogRecorder::lines())
        streamingGotIt = streamingGotIt || (line.tag == "HandlerStreaming" &&
                                            line.text.rfind("Command: connectAudio(0, Speakers, ", 0) == 0);
    EXPECT_TRUE(streamingGotIt);

    CaptureFd out(1);
    EXPECT_EQ(exp.connectOrvAudio(eCustomDevice, settings, "Spea"), 0);
    out.finish();
    ASSERT_EQ(recorder.waitFor(2).size(), 2u);
    EXPECT_EQ(settings.deviceName, device.c_str());
    EXPECT_EQ(settings.audioAPI, api.c_str());
    EXPECT_EQ(exp.setOrvPreset(2), 0) << "now the ORV back-end";
    // After the swap back the earlier back-end's copies are gone; the
    // caller's record is still readable.
    settings.bufferSize = 0;
    EXPECT_EQ(exp.connectAudio(eCustomDevice, settings), -2);
    EXPECT_EQ(std::string(settings.deviceName), "Speakers");
    settings.bufferSize = 256;
    settings.nbStreamChannel = 0;
    CaptureFd quiet(1);
    EXPECT_EQ(exp.connectOrvAudio(eCustomDevice, settings, "Spea"), -2);
    quiet.finish();
    EXPECT_EQ(exp.setOrvPreset(0), 0) << "the ORV back-end stays after a refusal of the settings";
}

TEST_F(Experimental, PresetNamesAreFixedAndAHandleWithoutOwnerIsRefused) {
    const char** names = nullptr;
    int count = 0;
    ASSERT_EQ(ExperimentalVibrenzaSDK::listOrvPresets(names, count), 0);
    ASSERT_EQ(count, 4);
    EXPECT_STREQ(names[0], "Default");
    EXPECT_STREQ(names[1], "Sharp");
    EXPECT_STREQ(names[2], "Crunchy");
    EXPECT_STREQ(names[3], "Smooth");
    const char** again = nullptr;
    ExperimentalVibrenzaSDK::listOrvPresets(again, count);
    EXPECT_EQ(again, names);

    ExperimentalVibrenzaSDK orphan;
    vbz_audio_settings_t settings;
    EXPECT_EQ(orphan.connectOrv(VBZ_OUTPUT_ANY, 0, nullptr), -9);
    EXPECT_EQ(orphan.connectAudio(eCustomDevice, settings), -9);
    EXPECT_EQ(orphan.connectOrvAudio(eCustomDevice, settings, nullptr), -9);
    EXPECT_EQ(orphan.getOrvPreset(), 0);
    EXPECT_EQ(orphan.setOrvPreset(1), -17);
    orphan.enableLegacyBackend(true);
    orphan.setOrvVolume(1.0f);
    EXPECT_EQ(host.initializeCalls, 0);
}

TEST_F(Experimental, ConnectionsFromACallbackAreRefused) {
    vbz::setHandlerFactoryHook(&connectingStreaming, nullptr);
    {
        vbz_test::CallbackRecorder recorder;
        VibrenzaSDK sdk;
        std::atomic<int> fromCallback[3] = {{99}, {99}, {99}};
        recorder.onReport = [&](const vbz_test::ConnectionReport& report) {
            if (report.state != VBZ_STATE_CONNECTED) return;
            // A swap here would delete the back-end whose thread runs us.
            ExperimentalVibrenzaSDK exp = sdk.ExperimentalAPI();
            vbz_audio_settings_t settings;
            fromCallback[0] = exp.connectAudio(eCustomDevice, settings);
            fromCallback[1] = exp.connectOrv(VBZ_OUTPUT_ANY, 0, "Speakers");
            fromCallback[2] = exp.connectOrvAudio(eCustomDevice, settings, "Speakers");
        };
        sdk.setConnectionCallback(&vbz_test::CallbackRecorder::callback, &recorder);
        ASSERT_EQ(sdk.connect(VBZ_OUTPUT_USB, 0), 0);
        ASSERT_EQ(recorder.waitFor(1).size(), 1u);
        for (auto& result : fromCallback) EXPECT_EQ(result.load(), -11);
        EXPECT_EQ(host.initializeCalls, 0);
    }
    vbz::setHandlerFactoryHook(nullptr, nullptr);
}
