// Choosing the audio stream's output device over the fake audio host:
// presets, letter and expression matching, host-API and format checks, the
// default output, and the parameters handed to the stream.
#include "streaming/AudioOutputSelection.h"

#include <gtest/gtest.h>

#include "tests/support/FakeAudioHost.h"
#include "tests/support/LogRecorder.h"

using vbz::DeviceNameMatch;
using vbz_test::FakeAudioHost;
using vbz_test::LogRecorder;

namespace {
constexpr PaHostApiIndex kAlsa = 0, kJack = 1;

vbz_audio_settings_t settings(const char* name, const char* api = "any_API", int channels = -1) {
    vbz_audio_settings_t s;
    s.deviceName = name;
    s.audioAPI = api;
    s.nbStreamChannel = channels;
    return s;
}
}  // namespace

TEST(AudioOutputSelection, DeviceNamesKeepOnlyTheirLettersInUpperCase) {
    EXPECT_EQ(vbz::normalizeDeviceName("Speakers (2- Vibrenza Audio)"), "SPEAKERSVIBRENZAAUDIO");
    EXPECT_EQ(vbz::normalizeDeviceName("vibrenza-audio_01 \xc3\xa9"), "VIBRENZAAUDIO");
    EXPECT_EQ(vbz::normalizeDeviceName(""), "");
    EXPECT_EQ(vbz::normalizeDeviceName(nullptr), "");
}

TEST(AudioOutputSelection, PresetsRewriteTheSettingsButNeverTheBufferSize) {
    LogRecorder log;
    DeviceNameMatch match = DeviceNameMatch::Pattern;
    vbz_audio_settings_t s = settings("Mine", "ALSA", 6);
    s.bufferSize = 333;
    s.sampleRate = 44100;
    s.suggestedOutputLatency = 0.2f;

    const vbz_audio_settings_t before = s;
    EXPECT_EQ(vbz::applyAudioPreset(7, s, match), -4);
    EXPECT_TRUE(LogRecorder::has(2, "StreamAudio", "Unknown audio preset: 7"));
    EXPECT_EQ(s.deviceName, before.deviceName);
    EXPECT_EQ(s.nbStreamChannel, 6);

    EXPECT_EQ(vbz::applyAudioPreset(eCustomDevice, s, match), 0);
    EXPECT_EQ(match, DeviceNameMatch::Letters);
    EXPECT_STREQ(s.deviceName, "Mine");
    EXPECT_TRUE(LogRecorder::has(0, "StreamAudio", "Open stream to eCustomDevice"));

    EXPECT_EQ(vbz::applyAudioPreset(eAudioPreset1, s, match), 0);
    EXPECT_EQ(match, DeviceNameMatch::Letters);
    EXPECT_STREQ(s.deviceName, "VIBRENZA");
    EXPECT_STREQ(s.audioAPI, vbz::kPresetHostApiName);
    EXPECT_EQ(s.nbStreamChannel, 20);
    EXPECT_EQ(s.sampleRate, 48000u);
    EXPECT_EQ(s.suggestedOutputLatency, 0.0f);
    EXPECT_EQ(s.bufferSize, 333u);
    EXPECT_EQ(LogRecorder::count("Number of streaming channels set to 20. If there are less virtual actuators, "
                                 "the missing ones will be filled with zeros."),
              1);

    for (int preset : {2, 3, 5}) {
        EXPECT_EQ(vbz::applyAudioPreset(preset, s, match), 0);
        EXPECT_EQ(match, DeviceNameMatch::Pattern);
        EXPECT_STREQ(s.deviceName, "((rvd)[-_\\s.]*(mk)[-_\\s.](i|v|x)+|vibrenza)");
        EXPECT_EQ(s.nbStreamChannel, 20);
    }
    // The count was already 20: no notice for these three.
    EXPECT_EQ(LogRecorder::count("Number of streaming channels set to 20. If there are less virtual actuators "
                                 "in the layout, the missing ones will be filled with zeros."),
              0);
    EXPECT_EQ(vbz::applyAudioPreset(eAudioPreset4, s, match), 0);
    EXPECT_STREQ(s.deviceName, "usb.+audio.+dac");
    EXPECT_EQ(s.nbStreamChannel, 2);
    EXPECT_EQ(LogRecorder::count("Number of streaming channels set to 2. If there are less virtual actuators, "
                                 "the missing ones will be filled with zeros."),
              1);
    s.nbStreamChannel = -1;  // "all channels" asks for no notice
    EXPECT_EQ(vbz::applyAudioPreset(eAudioPreset4, s, match), 0);
    EXPECT_EQ(LogRecorder::count("Number of streaming channels set to 2. If there are less virtual actuators, "
                                 "the missing ones will be filled with zeros."),
              1);
}

TEST(AudioOutputSelection, PresetOneFindsTheVestByLettersOnlyUnderTheJackHostApi) {
    LogRecorder log;
    FakeAudioHost host;
    host.addOutput("Speakers (VIBRENZA Audio)", kAlsa, 20);
    const PaDeviceIndex jack = host.addOutput("vibrenza-audio", kJack, 24);
    vbz_audio_settings_t s = settings("anything");
    DeviceNameMatch match;
    ASSERT_EQ(vbz::applyAudioPreset(eAudioPreset1, s, match), 0);
    PaStreamParameters out{};
    ASSERT_EQ(vbz::selectOutputDevice(host, s, match, out), 0);
    EXPECT_EQ(out.device, jack);
    EXPECT_EQ(out.channelCount, 20);
    EXPECT_EQ(out.sampleFormat, paFloat32 | paNonInterleaved);
    EXPECT_DOUBLE_EQ(out.suggestedLatency, 0.01);  // the device's default low latency
    EXPECT_EQ(out.hostApiSpecificStreamInfo, nullptr);
    EXPECT_TRUE(LogRecorder::has(0, "StreamAudio", "    Reject API: ALSA"));
    EXPECT_TRUE(LogRecorder::has(2, "StreamAudio",
                                 "Found valid output device 'vibrenza-audio' using 'JACK Audio Connection Kit'"));

    // The same device under another host API only: nothing found.
    FakeAudioHost alsaOnly;
    alsaOnly.addOutput("Speakers (VIBRENZA Audio)", kAlsa, 20);
    EXPECT_EQ(vbz::selectOutputDevice(alsaOnly, s, match, out), -2);
    EXPECT_TRUE(LogRecorder::has(4, "StreamAudio", "No suitable device found with provided parameters."));
}

TEST(AudioOutputSelection, ExpressionPresetsMatchCaseInsensitivelyAnywhereInTheName) {
    LogRecorder log;
    FakeAudioHost host;
    host.addOutput("DeskSpeakers", kJack, 2);
    const PaDeviceIndex mk = host.addOutput("Front RVD mk II output", kJack, 20);
    const PaDeviceIndex dac = host.addOutput("Generic USB-Audio DAC", kJack, 2);
    PaStreamParameters out{};
    DeviceNameMatch match;

    vbz_audio_settings_t s = settings("x");
    ASSERT_EQ(vbz::applyAudioPreset(eAudioPreset2, s, match), 0);
    ASSERT_EQ(vbz::selectOutputDevice(host, s, match, out), 0);
    EXPECT_EQ(out.device, mk);
    EXPECT_TRUE(LogRecorder::has(0, "StreamAudio", "  Reject device: DeskSpeakers"));

    s = settings("x");
    ASSERT_EQ(vbz::applyAudioPreset(eAudioPreset4, s, match), 0);
    ASSERT_EQ(vbz::selectOutputDevice(host, s, match, out), 0);
    EXPECT_EQ(out.device, dac);
    EXPECT_EQ(out.channelCount, 2);

    // Letters mode would not treat the expression as one.
    s.deviceName = "usb.+audio.+dac";
    EXPECT_EQ(vbz::selectOutputDevice(host, s, DeviceNameMatch::Letters, out), 0);  // "USBAUDIODAC"
    EXPECT_EQ(out.device, dac);
    s.deviceName = "(unclosed";
    EXPECT_EQ(vbz::selectOutputDevice(host, s, DeviceNameMatch::Pattern, out), -2);
}

TEST(AudioOutputSelection, AnEmptyNameMatchesEveryDeviceAndTheFirstThatPassesIsTaken) {
    LogRecorder log;
    FakeAudioHost host;
    FakeAudioHost::Device refuses;
    refuses.name = "Old card";
    refuses.hostApi = kJack;
    refuses.maxOutputChannels = 8;
    refuses.rates = {44100};
    host.add(refuses);
    host.addOutput("Silent input", kJack, 0);  // no output channels at all
    FakeAudioHost::Device good;
    good.name = "Good card";
    good.hostApi = kJack;
    good.maxOutputChannels = 6;
    good.lowOutputLatency = 0.003;
    const PaDeviceIndex goodIndex = host.add(good);

    vbz_audio_settings_t s = settings("");
    PaStreamParameters out{};
    ASSERT_EQ(vbz::selectOutputDevice(host, s, DeviceNameMatch::Letters, out), 0);
    EXPECT_EQ(out.device, goodIndex);
    EXPECT_EQ(out.channelCount, 6);  // -1: all of the device's channels
    EXPECT_DOUBLE_EQ(out.suggestedLatency, 0.003);
    EXPECT_TRUE(LogRecorder::has(4, "StreamAudio", "PortAudio error : Illegal error number (-9997)"));

    s.nbStreamChannel = 4;
    s.suggestedOutputLatency = 0.05f;
    ASSERT_EQ(vbz::selectOutputDevice(host, s, DeviceNameMatch::Letters, out), 0);
    EXPECT_EQ(out.channelCount, 4);
    EXPECT_DOUBLE_EQ(out.suggestedLatency, 0.05f);

    s.sampleRate = 96000;  // no device takes it
    EXPECT_EQ(vbz::selectOutputDevice(host, s, DeviceNameMatch::Letters, out), -2);
}

TEST(AudioOutputSelection, TheDefaultOutputIsUsedWhenThereIsOne) {
    LogRecorder log;
    FakeAudioHost host;
    vbz_audio_settings_t s = settings("default_output");
    PaStreamParameters out{};
    EXPECT_EQ(vbz::selectOutputDevice(host, s, DeviceNameMatch::Letters, out), -15);
    EXPECT_TRUE(LogRecorder::has(4, "StreamAudio", "PortAudio error : No default output device found."));

    host.addOutput("system", kJack, 24);
    host.defaultOutput = 0;
    ASSERT_EQ(vbz::selectOutputDevice(host, s, DeviceNameMatch::Letters, out), 0);
    EXPECT_EQ(out.device, 0);
    EXPECT_EQ(out.channelCount, 24);
    EXPECT_TRUE(LogRecorder::has(2, "StreamAudio", "Using default output audio device"));

    s.sampleRate = 22050;
    EXPECT_EQ(vbz::selectOutputDevice(host, s, DeviceNameMatch::Letters, out), -15);
}

TEST(AudioOutputSelection, HostErrorsAreSpelledOutAndUnreadableListsAreErrors) {
    LogRecorder log;
    FakeAudioHost host;
    host.deviceCountError = paNotInitialized;
    vbz_audio_settings_t s = settings("x");
    PaStreamParameters out{};
    EXPECT_EQ(vbz::selectOutputDevice(host, s, DeviceNameMatch::Letters, out), -15);
    EXPECT_TRUE(LogRecorder::has(4, "StreamAudio", "PortAudio error : PortAudio not initialized"));

    host.hostError.errorCode = 42;
    host.hostError.hostApiType = paJACK;
    host.hostError.errorText = "server gone";
    vbz::logAudioError(host, paUnanticipatedHostError);
    EXPECT_TRUE(LogRecorder::has(4, "StreamAudio",
                                 "PortAudio error ---> Host API error = 42, hostApiType = 12, error : server gone"));
}
