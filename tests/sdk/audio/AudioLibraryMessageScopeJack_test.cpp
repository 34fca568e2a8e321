// libjack's error and info functions around the real audio host with a JACK
// server to reach (the private test server, dummy driver): PortAudio gives
// libjack an error function of its own whenever it reaches a server, and
// our JACK streams quiet libjack while they live. Afterwards the
// application's functions, or libjack's defaults, are in place again and get
// the next libjack error.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <unistd.h>

#include <jack/jack.h>

#include "sdk/platform/PortAudioJackHost.h"
#include "tests/support/CaptureStdout.h"
#include "tests/support/JackTestServer.h"

using namespace std::chrono_literals;
using vbz_test::CaptureFd;

namespace {

constexpr const char* kSink = "DeskSpeakers";

std::atomic<int> applicationErrors{0};
std::atomic<int> applicationInfos{0};
void applicationError(const char*) { ++applicationErrors; }
void applicationInfo(const char*) { ++applicationInfos; }

int silence(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
            void* user) {
    auto* out = static_cast<float*>(output);
    std::fill(out, out + frames * 2, 0.0f);
    static_cast<std::atomic<int>*>(user)->fetch_add(1);
    return paContinue;
}

// A libjack error: a client of a server that nobody runs.
void provokeJackError() {
    const std::string nobody = "vbz-no-server-" + std::to_string(getpid());
    jack_status_t status{};
    jack_client_t* client = jack_client_open("vbz-error-probe",
                                             static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                             &status, nobody.c_str());
    EXPECT_EQ(client, nullptr);
    if (client) jack_client_close(client);
}

class MessageFunctions : public vbz_test::JackServerTest {
protected:
    void SetUp() override {
        JackServerTest::SetUp();
        // What the process starts with: libjack's defaults.
        jack_set_error_function(nullptr);
        jack_set_info_function(nullptr);
        defaultError_ = jack_error_callback;
        defaultInfo_ = jack_info_callback;
    }
    void TearDown() override {
        jack_set_error_function(nullptr);
        jack_set_info_function(nullptr);
    }

    // Our JACK output stream on the sink, opened while the host is
    // initialised (the caller's initialisation); null when it fails.
    PaStream* openOutput(std::atomic<int>& cycles) {
        vbz::IAudioHost& host = vbz::PortAudioJackHost::instance();
        const PaHostApiIndex jack = host.loopbackHostApi();
        for (PaDeviceIndex i = 0; i < host.deviceCount(); ++i) {
            const PaDeviceInfo* info = host.deviceInfo(i);
            if (!info || info->hostApi != jack || std::string(info->name) != kSink) continue;
            PaStreamParameters output{i, 2, paFloat32, info->defaultLowOutputLatency, nullptr};
            PaStream* stream = nullptr;
            if (host.openStream(&stream, nullptr, &output, info->defaultSampleRate, 480, paNoFlag, &silence,
                                &cycles) != paNoError)
                return nullptr;
            return stream;
        }
        return nullptr;
    }
    // Initialises the host, plays on the sink a moment and terminates it;
    // libjack's functions are `error` and `info` after each step.
    void playOnce(void (*error)(const char*), void (*info)(const char*)) {
        vbz::IAudioHost& host = vbz::PortAudioJackHost::instance();
        ASSERT_EQ(host.initialize(), paNoError);
        EXPECT_EQ(jack_error_callback, error) << "after PortAudio's initialisation";
        EXPECT_EQ(jack_info_callback, info);
        std::atomic<int> cycles{0};
        PaStream* stream = openOutput(cycles);
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(host.startStream(stream), paNoError);
        waitForCycles(cycles);
        EXPECT_EQ(host.stopStream(stream), paNoError);
        EXPECT_EQ(host.closeStream(stream), paNoError);
        EXPECT_EQ(jack_error_callback, error) << "after the stream";
        EXPECT_EQ(host.terminate(), paNoError);
        EXPECT_EQ(jack_error_callback, error) << "after PortAudio's termination";
        EXPECT_EQ(jack_info_callback, info);
    }
    static void waitForCycles(const std::atomic<int>& cycles) {
        for (int i = 0; i < 500 && cycles.load() < 3; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_GE(cycles.load(), 3) << "the stream plays";
    }

    void (*defaultError_)(const char*) = nullptr;
    void (*defaultInfo_)(const char*) = nullptr;
};

}  // namespace

TEST_F(MessageFunctions, TheApplicationsFunctionsSetBeforeTheHostStartsStayAndGetLaterErrors) {
    jack_set_error_function(applicationError);
    jack_set_info_function(applicationInfo);
    playOnce(applicationError, applicationInfo);
    applicationErrors = 0;
    provokeJackError();
    EXPECT_GT(applicationErrors.load(), 0) << "the application gets libjack's errors";
}

TEST_F(MessageFunctions, TheApplicationsFunctionSetWhileAStreamRunsStaysAndGetsLaterErrors) {
    vbz::IAudioHost& host = vbz::PortAudioJackHost::instance();
    ASSERT_EQ(host.initialize(), paNoError);
    std::atomic<int> cycles{0};
    PaStream* stream = openOutput(cycles);
    ASSERT_NE(stream, nullptr);
    // Our stream runs without PortAudio, which reaches the server anew at
    // the next initialisation.
    EXPECT_EQ(host.terminate(), paNoError);
    ASSERT_EQ(host.startStream(stream), paNoError);
    waitForCycles(cycles);

    jack_set_error_function(applicationError);
    ASSERT_EQ(host.initialize(), paNoError);
    EXPECT_EQ(jack_error_callback, applicationError) << "after PortAudio's initialisation";
    EXPECT_EQ(host.terminate(), paNoError);
    EXPECT_EQ(host.stopStream(stream), paNoError);
    EXPECT_EQ(host.closeStream(stream), paNoError);

    EXPECT_EQ(jack_error_callback, applicationError) << "after the stream";
    EXPECT_EQ(jack_info_callback, defaultInfo_);
    applicationErrors = 0;
    provokeJackError();
    EXPECT_GT(applicationErrors.load(), 0) << "the application gets libjack's errors";
}

TEST_F(MessageFunctions, WithoutFunctionsOfTheApplicationsLibjacksDefaultsAreBack) {
    playOnce(defaultError_, defaultInfo_);
    CaptureFd err(2);
    provokeJackError();
    EXPECT_NE(err.finish(), "") << "libjack's default prints its errors";
}
