// The audio device queries over the fake host: every result, message and
// fallback, and that each query leaves the host terminated as often as it
// initialised it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sdk/api/AudioDeviceQueries.h"
#include "tests/support/CaptureStdout.h"
#include "tests/support/FakeAudioHost.h"

using vbz_test::CaptureFd;
using vbz_test::FakeAudioHost;

namespace {

constexpr PaHostApiIndex kAlsa = 0;
constexpr PaHostApiIndex kJack = 1;

std::vector<std::string> list(const char** names, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.emplace_back(names[i]);
    return out;
}

class AudioQueries : public ::testing::Test {
protected:
    FakeAudioHost host;
    vbz_test::ScopedAudioHost installed{host};
    CaptureFd err{2};
    CaptureFd out{1};
    const char** names = nullptr;
    int count = -7;

    std::string stderrText() { return err.finish(); }
    std::string stdoutText() { return out.finish(); }
    void TearDown() override { EXPECT_EQ(host.balance, 0) << "host left initialised"; }
};

}  // namespace

TEST_F(AudioQueries, OutputNamesAreDistinctAndSkipInputOnlyDevices) {
    host.addOutput("Speakers", kAlsa, 2);
    host.addLoopback("Speakers [Loopback]");
    host.addOutput("Speakers", kJack, 2);
    host.addOutput("Headphones", kJack, 2);
    EXPECT_EQ(vbz::getOutputDevicesNames(names, count), 0);
    EXPECT_EQ(list(names, count), (std::vector<std::string>{"Speakers", "Headphones"}));

    // The same name under two host APIs: one output name, two APIs.
    const char** apis = nullptr;
    int apiCount = 0;
    EXPECT_EQ(vbz::getOutputDeviceAPIs("Speakers", apis, apiCount), 0);
    EXPECT_EQ(list(apis, apiCount), (std::vector<std::string>{"ALSA", "JACK Audio Connection Kit"}));
    // The earlier result of another query is untouched.
    EXPECT_EQ(list(names, count), (std::vector<std::string>{"Speakers", "Headphones"}));
}

TEST_F(AudioQueries, EmptyDeviceListLeavesTheOutputsAlone) {
    EXPECT_EQ(vbz::getOutputDevicesNames(names, count), -4);
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(count, -7);
    EXPECT_NE(stderrText().find("Empty device list.\n"), std::string::npos);
}

TEST_F(AudioQueries, NoOutputDeviceGivesThePlaceholder) {
    host.addLoopback("Speakers [Loopback]");
    EXPECT_EQ(vbz::getOutputDevicesNames(names, count), -4);
    EXPECT_EQ(list(names, count), std::vector<std::string>{"noDevice"});
    EXPECT_NE(stderrText().find("No output audio device found\n"), std::string::npos);
}

TEST_F(AudioQueries, PortAudioFailuresGiveMinus15WithTheirMessages) {
    host.addOutput("Speakers", kJack, 2);
    host.initializeError = paInsufficientMemory;
    EXPECT_EQ(vbz::getOutputDevicesNames(names, count), -15);
    EXPECT_EQ(vbz::getLoopbackDevicesNames(names, count), -15);
    host.initializeError = paNoError;
    host.deviceCountError = paNotInitialized;
    EXPECT_EQ(vbz::getOutputDevicesNames(names, count), -15);
    EXPECT_EQ(vbz::getOutputDeviceAPIs("Speakers", names, count), -15);
    host.deviceCountError = paNoError;
    host.terminateError = paInternalError;
    EXPECT_EQ(vbz::getOutputDevicesNames(names, count), -15);
    int channels = -1;
    float low = -1, high = -1;
    EXPECT_EQ(vbz::getOutputDeviceInfo("Speakers", "JACK Audio Connection Kit", channels, low, high), -15);
    EXPECT_EQ(channels, 2) << "outputs are written before the termination fails";
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(count, -7);
    const std::string text = stderrText();
    EXPECT_NE(text.find("Could not initialize PortAudio: Insufficient memory\n"), std::string::npos);
    EXPECT_NE(text.find("PortAudio raised an error: PortAudio not initialized\n"), std::string::npos);
    EXPECT_NE(text.find("Could not terminate PortAudio properly: Internal PortAudio error\n"), std::string::npos);
    host.terminateError = paNoError;
}

TEST_F(AudioQueries, LoopbackListLeavesOutTheVestAndKeepsDuplicates) {
    host.addOutput("Speakers", kJack, 2);
    for (const char* name : {"Speakers [Loopback]", "VIBRENZA [Loopback]", "Vibrenza Audio [Loopback]",
                             "RVD MK II [Loopback]", "rvd-mk-v [Loopback]", "RvdMk.X [Loopback]",
                             "RVD MKII [Loopback]", "Speakers [Loopback]"})
        host.addLoopback(name);
    EXPECT_EQ(vbz::getLoopbackDevicesNames(names, count), 0);
    EXPECT_EQ(list(names, count), (std::vector<std::string>{"Speakers [Loopback]", "RVD MKII [Loopback]",
                                                            "Speakers [Loopback]"}));
}

TEST_F(AudioQueries, LoopbackListFailures) {
    host.loopbackApi = -1;
    EXPECT_EQ(vbz::getLoopbackDevicesNames(names, count), -4);
    EXPECT_EQ(names, nullptr);
    host.loopbackApi = kJack;
    host.addOutput("Speakers", kJack, 2);
    EXPECT_EQ(vbz::getLoopbackDevicesNames(names, count), -4);
    EXPECT_EQ(list(names, count), std::vector<std::string>{"noDevice"});
    const std::string text = stderrText();
    EXPECT_NE(text.find("Audio interface JACK not found\n"), std::string::npos);
    EXPECT_NE(text.find("No loopback audio device found\n"), std::string::npos);
}

TEST_F(AudioQueries, LoopbackTestErrorAndMissingInformation) {
    host.addLoopback("Speakers [Loopback]");
    const PaDeviceIndex broken = host.addLoopback("Desk [Loopback]");
    host.devices[static_cast<size_t>(broken)].loopbackError = paDeviceUnavailable;
    names = nullptr;
    EXPECT_EQ(vbz::getLoopbackDevicesNames(names, count), -15);
    EXPECT_NE(stderrText().find("PortAudio raised an error: Device unavailable\n"), std::string::npos);
    host.devices[static_cast<size_t>(broken)].loopbackError = 0;
    host.devices[static_cast<size_t>(broken)].missingInfo = true;
    EXPECT_EQ(vbz::getLoopbackDevicesNames(names, count), -1);
    EXPECT_EQ(names, nullptr);
}

TEST_F(AudioQueries, ApisOfAnInputOnlyNameGiveNoApi) {
    host.addLoopback("Mic");
    EXPECT_EQ(vbz::getOutputDeviceAPIs("Mic", names, count), -4);
    EXPECT_EQ(list(names, count), std::vector<std::string>{"noAPI"});
    EXPECT_NE(stderrText().find("Device Mic does not support any API.\n"), std::string::npos);
}

TEST_F(AudioQueries, DeviceInfoGivesChannelsAndLatenciesAsFloatSeconds) {
    FakeAudioHost::Device d;
    d.name = "Speakers";
    d.hostApi = kJack;
    d.maxOutputChannels = 24;
    d.lowOutputLatency = 0.0125;
    d.highOutputLatency = 0.25;
    host.add(d);
    int channels = 0;
    float low = 0, high = 0;
    EXPECT_EQ(vbz::getOutputDeviceInfo("Speakers", "JACK Audio Connection Kit", channels, low, high), 0);
    EXPECT_EQ(channels, 24);
    EXPECT_FLOAT_EQ(low, 0.0125f);
    EXPECT_FLOAT_EQ(high, 0.25f);

    channels = -1;
    EXPECT_EQ(vbz::getOutputDeviceInfo("Speakers", "ALSA", channels, low, high), -2);
    EXPECT_EQ(channels, -1);
    EXPECT_NE(stderrText().find("Could not find a device named Speakers using ALSA\n"), std::string::npos);
}

TEST_F(AudioQueries, SupportedRatesAcceptedFallbackAndNone) {
    FakeAudioHost::Device d;
    d.name = "Speakers";
    d.hostApi = kJack;
    d.maxOutputChannels = 6;
    d.rates = {44100, 48000};
    host.add(d);
    d.name = "Mute";
    d.rates = {};
    host.add(d);
    unsigned int* rates = nullptr;
    EXPECT_EQ(vbz::getSupportedStandardSampleRates("Speakers", "JACK Audio Connection Kit", rates, count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(rates[0], 44100u);
    EXPECT_EQ(rates[1], 48000u);
    // The format asked for: all channels, 16-bit non-interleaved, no latency.
    EXPECT_EQ(host.lastFormatChecked.channelCount, 6);
    EXPECT_EQ(host.lastFormatChecked.sampleFormat, static_cast<PaSampleFormat>(0x80000008));

    EXPECT_EQ(vbz::getSupportedStandardSampleRates("Nothing", "JACK Audio Connection Kit", rates, count), -2);
    ASSERT_EQ(count, 13);
    EXPECT_EQ(rates[0], 8000u);
    EXPECT_EQ(rates[12], 192000u);

    EXPECT_EQ(vbz::getSupportedStandardSampleRates("Mute", "JACK Audio Connection Kit", rates, count), -4);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(rates[0], 0xFFFFFFFFu);

    host.initializeError = paInsufficientMemory;
    EXPECT_EQ(vbz::getSupportedStandardSampleRates("Speakers", "JACK Audio Connection Kit", rates, count), -15);
    EXPECT_EQ(count, 13);
    host.initializeError = paNoError;
    host.terminateError = paInternalError;
    EXPECT_EQ(vbz::getSupportedStandardSampleRates("Speakers", "JACK Audio Connection Kit", rates, count), -15);
    EXPECT_EQ(count, 13);
    host.terminateError = paNoError;
    EXPECT_NE(stderrText().find("Device Mute using JACK Audio Connection Kitdoes not support any standard sample "
                                "rates.\n"),
              std::string::npos);
}

TEST_F(AudioQueries, NullArgumentsGiveMinus2AndTouchNothing) {
    unsigned int* rates = nullptr;
    int channels = -1;
    float low = -1, high = -1;
    EXPECT_EQ(vbz::getOutputDeviceAPIs(nullptr, names, count), -2);
    EXPECT_EQ(vbz::getOutputDeviceInfo(nullptr, "ALSA", channels, low, high), -2);
    EXPECT_EQ(vbz::getOutputDeviceInfo("Speakers", nullptr, channels, low, high), -2);
    EXPECT_EQ(vbz::getSupportedStandardSampleRates(nullptr, "ALSA", rates, count), -2);
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(rates, nullptr);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(channels, -1);
    EXPECT_EQ(host.initializeCalls, 0);
}

TEST_F(AudioQueries, FindLoopbackByPrefixEmptyNameAndDefaultOutput) {
    const PaDeviceIndex speakers = host.addOutput("Speakers", kJack, 2);
    const PaDeviceIndex vest = host.addOutput("Vibrenza Vest", kJack, 20);
    host.addLoopback("Vibrenza Vest [Loopback]", 20);
    const PaDeviceIndex speakersLoop = host.addLoopback("Speakers [Loopback]");
    ASSERT_EQ(host.initialize(), paNoError);

    vbz::AudioDeviceRef ref;
    EXPECT_EQ(vbz::findLoopbackDevice("Spea", &ref), speakersLoop);
    EXPECT_EQ(ref.index, speakersLoop);
    EXPECT_EQ(ref.name, "Speakers [Loopback]");
    // An empty name takes the first loopback, the vest's included: only the
    // default choice is filtered.
    EXPECT_EQ(vbz::findLoopbackDevice(""), speakersLoop - 1);
    EXPECT_EQ(vbz::findLoopbackDevice("speakers"), -2);

    host.defaultOutput = speakers;
    EXPECT_EQ(vbz::findLoopbackDevice(nullptr), speakersLoop);
    host.defaultOutput = vest;
    EXPECT_EQ(vbz::findLoopbackDevice(nullptr), -2);
    host.defaultOutput = paNoDevice;
    EXPECT_EQ(vbz::findLoopbackDevice(nullptr), -2);
    host.loopbackApi = -1;
    EXPECT_EQ(vbz::findLoopbackDevice("Speakers"), -4);
    host.terminate();

    const std::string text = stderrText();
    EXPECT_NE(text.find("Could not find a loopback device named speakers\n"), std::string::npos);
    EXPECT_NE(text.find("Default audio output is an Quorvenix device, please specify the loopback device "
                        "explicitly or change the default audio output of the computer\n"),
              std::string::npos);
    EXPECT_NE(text.find("No default audio output device found"), std::string::npos);
    EXPECT_NE(text.find("Audio interface JACK not found\n"), std::string::npos);
    const std::string said = stdoutText();
    EXPECT_NE(said.find(">>> VibrenzaSDK [Experimental] loopback input device used for ORV: Speakers "
                        "[Loopback]\n"),
              std::string::npos);
}

TEST_F(AudioQueries, FindLoopbackPassesOverErrorsAndStopsAtMissingInformation) {
    const PaDeviceIndex bad = host.addLoopback("Speakers [Loopback]");
    host.devices[static_cast<size_t>(bad)].loopbackError = paDeviceUnavailable;
    const PaDeviceIndex good = host.addLoopback("Speakers 2 [Loopback]");
    EXPECT_EQ(vbz::findLoopbackDevice("Speakers"), good);
    host.devices[static_cast<size_t>(bad)].missingInfo = true;
    EXPECT_EQ(vbz::findLoopbackDevice("Speakers"), -1);
}

TEST_F(AudioQueries, AResolvedReferenceFollowsItsDeviceWhenIndicesShift) {
    host.addOutput("Speakers", kJack, 2);
    const PaDeviceIndex loop = host.addLoopback("Speakers [Loopback]");
    const vbz::AudioDeviceRef ref{loop, "Speakers [Loopback]"};
    EXPECT_EQ(vbz::resolveDevice(host, ref), loop);
    // A client joined before it: the device moved one place on.
    host.devices.insert(host.devices.begin(), FakeAudioHost::Device{"Desk", kJack, 0, 2});
    EXPECT_EQ(vbz::resolveDevice(host, ref), loop + 1);
    host.devices.erase(host.devices.begin() + loop + 1);
    EXPECT_EQ(vbz::resolveDevice(host, ref), paNoDevice);
}
