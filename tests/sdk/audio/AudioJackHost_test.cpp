// The real audio host against a private JACK server with the dummy driver
// (started by the test fixture): "system" with 24 monitored playback ports,
// "DeskSpeakers" (2 channels) and "VibrenzaVest" (20 channels), both with
// monitor ports. Skipped with a message when the server could not start,
// unless VBZ_REQUIRE_JACK=1 asks for a failure instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <jack/jack.h>

#include "sdk/api/AudioDeviceQueries.h"
#include "tests/support/CaptureStdout.h"
#include "tests/support/JackTestServer.h"

using vbz_test::CaptureFd;

namespace {

constexpr const char* kJackApi = "JACK Audio Connection Kit";

std::vector<std::string> list(const char** names, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.emplace_back(names[i]);
    return out;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

class JackServer : public vbz_test::JackServerTest {};

}  // namespace

TEST_F(JackServer, OutputDevicesAreTheJackClients) {
    const char** names = nullptr;
    int count = 0;
    ASSERT_EQ(vbz::getOutputDevicesNames(names, count), 0);
    const auto outputs = list(names, count);
    EXPECT_TRUE(contains(outputs, "system"));
    EXPECT_TRUE(contains(outputs, "DeskSpeakers"));
    EXPECT_TRUE(contains(outputs, "VibrenzaVest"));
    EXPECT_FALSE(contains(outputs, "DeskSpeakers [Loopback]")) << "a loopback has no output channel";

    const char** apis = nullptr;
    ASSERT_EQ(vbz::getOutputDeviceAPIs("DeskSpeakers", apis, count), 0);
    EXPECT_EQ(list(apis, count), std::vector<std::string>{kJackApi});

    int channels = 0;
    float low = -1, high = -1;
    ASSERT_EQ(vbz::getOutputDeviceInfo("VibrenzaVest", kJackApi, channels, low, high), 0);
    EXPECT_EQ(channels, 20);
    EXPECT_GE(low, 0.0f);
    EXPECT_GE(high, low);
}

TEST_F(JackServer, LoopbacksAreTheMonitoredClientsWithoutTheVest) {
    const char** names = nullptr;
    int count = 0;
    ASSERT_EQ(vbz::getLoopbackDevicesNames(names, count), 0);
    const auto loopbacks = list(names, count);
    EXPECT_TRUE(contains(loopbacks, "system [Loopback]"));
    EXPECT_TRUE(contains(loopbacks, "DeskSpeakers [Loopback]"));
    EXPECT_FALSE(contains(loopbacks, "VibrenzaVest [Loopback]"));
    for (const auto& name : loopbacks) EXPECT_NE(name.find(" [Loopback]"), std::string::npos) << name;
}

TEST_F(JackServer, TheServerRateIsTheOnlyStandardRate) {
    unsigned int* rates = nullptr;
    int count = 0;
    ASSERT_EQ(vbz::getSupportedStandardSampleRates("DeskSpeakers", kJackApi, rates, count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(rates[0], 48000u);
}

TEST_F(JackServer, FindLoopbackSelectsByOutputNamePrefixAndDefault) {
    vbz::IAudioHost& host = vbz::audioHost();
    ASSERT_EQ(host.initialize(), paNoError);
    CaptureFd out(1);
    vbz::AudioDeviceRef desk, fallback;
    const int index = vbz::findLoopbackDevice("Desk", &desk);
    const int byDefault = vbz::findLoopbackDevice(nullptr, &fallback);
    const std::string said = out.finish();
    ASSERT_GE(index, 0);
    EXPECT_EQ(desk.name, "DeskSpeakers [Loopback]");
    EXPECT_EQ(host.isLoopback(index), 1);
    const PaDeviceInfo* info = host.deviceInfo(index);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->maxInputChannels, 2);
    EXPECT_EQ(info->maxOutputChannels, 0);
    EXPECT_EQ(vbz::resolveDevice(host, desk), index);
    // The default output of the JACK host API is "system", which is monitored.
    ASSERT_GE(byDefault, 0);
    EXPECT_EQ(fallback.name, "system [Loopback]");
    EXPECT_NE(said.find(">>> VibrenzaSDK [Experimental] loopback input device used for ORV: DeskSpeakers "
                        "[Loopback]\n"),
              std::string::npos);
    EXPECT_EQ(host.terminate(), paNoError);
}

namespace {
struct CaptureCount {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long frames = 0;
};

int countFrames(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                PaStreamCallbackFlags, void* user) {
    auto* count = static_cast<CaptureCount*>(user);
    if (input) {
        std::lock_guard<std::mutex> lock(count->mutex);
        count->frames += frames;
    }
    count->changed.notify_all();
    return paContinue;
}
}  // namespace

TEST_F(JackServer, ALoopbackDeviceCapturesThroughItsClient) {
    vbz::IAudioHost& host = vbz::audioHost();
    ASSERT_EQ(host.initialize(), paNoError);
    {
        CaptureFd out(1);
        const int index = vbz::findLoopbackDevice("DeskSpeakers");
        out.finish();
        ASSERT_GE(index, 0);
        const PaDeviceInfo* info = host.deviceInfo(index);
        ASSERT_NE(info, nullptr);
        PaStreamParameters input{index, info->maxInputChannels, paFloat32, info->defaultLowInputLatency, nullptr};
        CaptureCount count;
        PaStream* stream = nullptr;
        ASSERT_EQ(host.openStream(&stream, &input, nullptr, info->defaultSampleRate, paFramesPerBufferUnspecified,
                                  paNoFlag, countFrames, &count),
                  paNoError);
        ASSERT_EQ(host.startStream(stream), paNoError);
        {
            // The dummy driver runs a cycle every 10 ms; the bound is only a
            // guard against a stream that never runs.
            std::unique_lock<std::mutex> lock(count.mutex);
            count.changed.wait_for(lock, std::chrono::seconds(20), [&] { return count.frames > 0; });
            EXPECT_GT(count.frames, 0u);
        }
        // What the stream captures are the sink's monitor ports.
        jack_status_t status{};
        jack_client_t* probe = jack_client_open("vbz-test-probe", JackNoStartServer, &status);
        ASSERT_NE(probe, nullptr);
        for (const char* monitor : {"DeskSpeakers:monitor_1", "DeskSpeakers:monitor_2"}) {
            jack_port_t* port = jack_port_by_name(probe, monitor);
            ASSERT_NE(port, nullptr) << monitor;
            EXPECT_EQ(jack_port_connected(port), 1) << monitor;
        }
        jack_port_t* vest = jack_port_by_name(probe, "VibrenzaVest:monitor_1");
        ASSERT_NE(vest, nullptr);
        EXPECT_EQ(jack_port_connected(vest), 0);
        jack_client_close(probe);
        EXPECT_EQ(host.abortStream(stream), paNoError);
        EXPECT_EQ(host.closeStream(stream), paNoError);
    }
    EXPECT_EQ(host.terminate(), paNoError);
}

TEST(JackAbsent, NoServerMeansNoLoopbackHostApi) {
    // A server name that nobody runs; nothing may start one.
    setenv("JACK_DEFAULT_SERVER", "vbz-no-such-server", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    CaptureFd err(2);
    const char** names = nullptr;
    int count = -7;
    EXPECT_EQ(vbz::getLoopbackDevicesNames(names, count), -4);
    EXPECT_EQ(count, -7);
    EXPECT_NE(err.finish().find("Audio interface JACK not found\n"), std::string::npos);
}

TEST(JackAbsent, NoServerMeansNoJackDevices) {
    setenv("JACK_DEFAULT_SERVER", "vbz-no-such-server", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    CaptureFd err(2);
    const char** names = nullptr;
    int count = -7;
    const int result = vbz::getOutputDevicesNames(names, count);
    const std::string text = err.finish();
    if (result == 0) {
        // A machine with sound cards: only they are listed.
        EXPECT_FALSE(contains(list(names, count), "system"));
        return;
    }
    EXPECT_EQ(result, -4);
    EXPECT_NE(text.find("Empty device list.\n"), std::string::npos) << text;
    EXPECT_EQ(count, -7);
}
