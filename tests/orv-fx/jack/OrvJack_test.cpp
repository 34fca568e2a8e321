// Audio-to-haptics from end to end on the JACK test server: a player client
// plays a train of five 80 Hz bursts (100 ms every 500 ms) into the desk
// speakers; the SDK captures their monitor ports (connectOrv or
// connectOrvAudio) and the haptics reach the emulated vest (USB, and Wi-Fi
// between private namespaces) or the 20-channel audio device. Each burst
// must give one active stretch of the signal, starting soon after the burst
// and silent until the next one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sdk/core/LogLine.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/JackTestServer.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/jack/BurstTrain.h"
#include "tests/support/jack/VestTimeline.h"
#include "tools/vest-emulator/StreamingVest.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"
#include "tools/vest-emulator/usb/UsbBus.h"
#include "vibrenza/vibrenza.h"

using namespace std::chrono_literals;
using vbz_test::BurstPlayer;
using vbz_test::CallbackRecorder;
using vbz_test::LogRecorder;
using vbz_test::Segment;
using vbz_test::TimedSample;

namespace {
constexpr uint32_t kSerial = 21070001;
constexpr int kChannels = 20;
// A stretch starts within this of its burst. The goal of 60 ms at the 95th
// percentile is measured by bench/orv_jack_bench, not asserted here: on a
// loaded machine the dummy driver's cycles and the vest's requests come late,
// and every time here is a wall-clock time.
constexpr double kOnsetMs = 200.0;
constexpr float kActive = 0.02f;

// One stretch per burst, each beginning within kOnsetMs of it and over
// before the next burst (silence between bursts).
void expectOneStretchPerBurst(const std::vector<TimedSample>& signal, const std::vector<vbz_test::SteadyTime>& onsets) {
    const auto segments = vbz_test::activeSegments(signal, kActive, 200ms);
    std::string seen;
    for (const Segment& s : segments)
        seen += " [" + std::to_string(vbz_test::millisecondsBetween(onsets[0], s.begin)) + ", " +
                std::to_string(vbz_test::millisecondsBetween(onsets[0], s.end)) + "]";
    ASSERT_EQ(segments.size(), onsets.size()) << "stretches (ms after the first burst):" << seen;
    for (std::size_t i = 0; i < onsets.size(); ++i) {
        const double delay = vbz_test::millisecondsBetween(onsets[i], segments[i].begin);
        EXPECT_GE(delay, 0.0) << "burst " << i << ": haptics before the sound";
        EXPECT_LE(delay, kOnsetMs) << "burst " << i << " (stretches, ms after the first burst:" << seen << ")";
        if (i + 1 < onsets.size()) {
            EXPECT_LT(segments[i].end, onsets[i + 1]) << "burst " << i << ": no silence before the next one";
        }
    }
}

class OrvJack : public vbz_test::JackServerTest {
protected:
    void SetUp() override {
        JackServerTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string why;
        ASSERT_TRUE(player.open(server_, "DeskSpeakers", BurstPlayer::Train{}, why)) << why;
    }
    // Lets the capture settle, plays the train and waits for its end.
    void playTrain() {
        if (!LogRecorder::waitFor("ORV loopback started.")) {
            std::string lines;
            for (const auto& l : LogRecorder::lines()) lines += "\n[" + l.tag + "] " + l.text;
            FAIL() << "the capture did not start:" << lines;
        }
        std::this_thread::sleep_for(500ms);
        player.arm();
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!player.finished() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(player.finished());
        std::this_thread::sleep_for(300ms);
    }

    LogRecorder log{1};
    BurstPlayer player;
    CallbackRecorder recorder;
};

struct UsbVest {
    UsbVest() {
        vbz::emu::UsbBus::instance().reset();
        vest = std::make_shared<vbz::emu::VestModel>(vbz::emu::VestIdentity::withSerial(kSerial));
        streaming = std::make_unique<vbz::emu::StreamingVest>(vest);  // real-time requests
        vbz::emu::UsbBus::instance().plug(vest);
    }
    ~UsbVest() {
        streaming.reset();
        vbz::emu::UsbBus::instance().reset();
    }
    std::shared_ptr<vbz::emu::VestModel> vest;
    std::unique_ptr<vbz::emu::StreamingVest> streaming;
};

}  // namespace

TEST_F(OrvJack, ConnectOrvTurnsEachBurstIntoOneStretchOnTheUsbVest) {
    UsbVest vest;
    {
        VibrenzaSDK sdk;
        vbz::setMinLogLevel(1);  // the capture's start is a debug line
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        ExperimentalVibrenzaSDK exp = sdk.ExperimentalAPI();
        ASSERT_EQ(exp.connectOrv(VBZ_OUTPUT_USB, 0, "DeskSpeakers"), 0);
        auto reports = recorder.waitFor(1);
        ASSERT_EQ(reports.size(), 1u);
        ASSERT_EQ(reports[0].state, VBZ_STATE_CONNECTED) << "error " << reports[0].error;
        EXPECT_EQ(reports[0].serial, kSerial);
        playTrain();
        ASSERT_EQ(sdk.disconnect(), 0);
        reports = recorder.waitFor(2);
        ASSERT_EQ(reports.size(), 2u);
        EXPECT_EQ(reports[1].error, 0);
    }
    const auto blocks = vest.streaming->blocks();
    expectOneStretchPerBurst(vbz_test::vestTimeline(blocks, 0), player.onsets());
    // One signal drives every actuator.
    for (const auto& b : blocks)
        for (std::size_t k = 0; k < b.samples; ++k)
            for (int c = 1; c < kChannels; ++c)
                ASSERT_EQ(b.values[k * kChannels + static_cast<std::size_t>(c)], b.values[k * kChannels]);
    EXPECT_TRUE(vest.streaming->problems().empty()) << vest.streaming->problems().front();
}

TEST_F(OrvJack, ConnectOrvOverWifiBetweenPrivateNamespaces) {
    vbz::emu::UsbBus::instance().reset();  // no USB vest: Wi-Fi it is
    vbz_test::VethPair net;
    VBZ_REQUIRE_NETNS(net);
    auto vest = std::make_shared<vbz::emu::VestModel>(vbz::emu::VestIdentity::withSerial(kSerial));
    auto streaming = std::make_unique<vbz::emu::StreamingVest>(vest);
    vbz::emu::UdpVestServer server;
    std::string error;
    bool started = false;
    net.vest().run([&] {
        if (server.add(vest, {0, 33624}, &error)) started = server.start(&error);
    });
    ASSERT_TRUE(started) << error;
    {
        std::optional<VibrenzaSDK> sdk;
        int result = -100;
        net.host().run([&] {
            sdk.emplace();
            vbz::setMinLogLevel(1);
            sdk->setConnectionCallback(&CallbackRecorder::callback, &recorder);
            result = sdk->ExperimentalAPI().connectOrv(VBZ_OUTPUT_WIFI, kSerial, "DeskSpeakers");
        });
        ASSERT_EQ(result, 0);
        auto reports = recorder.waitFor(1);
        ASSERT_EQ(reports.size(), 1u);
        ASSERT_EQ(reports[0].state, VBZ_STATE_CONNECTED) << "error " << reports[0].error;
        playTrain();
        ASSERT_EQ(sdk->disconnect(), 0);
        ASSERT_EQ(recorder.waitFor(2).size(), 2u);
        net.host().run([&] { sdk.reset(); });
    }
    server.stop();
    expectOneStretchPerBurst(vbz_test::vestTimeline(streaming->blocks(), 0), player.onsets());
}

TEST_F(OrvJack, ConnectOrvAudioPlaysEachBurstOnTheTwentyChannelDevice) {
    vbz_test::MonitorRecorder monitor;
    std::string why;
    ASSERT_TRUE(monitor.open(server_, "VibrenzaVest", kChannels, 48000 * 20, why)) << why;
    {
        VibrenzaSDK sdk;
        vbz::setMinLogLevel(1);  // the capture's start is a debug line
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        vbz_audio_settings_t settings;
        settings.deviceName = "VibrenzaVest";
        settings.audioAPI = "JACK Audio Connection Kit";
        settings.sampleRate = 48000;
        settings.bufferSize = 480;
        settings.nbStreamChannel = kChannels;
        const char* name = settings.deviceName;
        ASSERT_EQ(sdk.ExperimentalAPI().connectOrvAudio(eCustomDevice, settings, "DeskSpeakers"), 0);
        EXPECT_EQ(settings.deviceName, name) << "the caller's texts stay the caller's";
        auto reports = recorder.waitFor(1);
        ASSERT_EQ(reports.size(), 1u);
        ASSERT_EQ(reports[0].state, VBZ_STATE_CONNECTED) << "error " << reports[0].error;
        playTrain();
        ASSERT_EQ(sdk.disconnect(), 0);
        ASSERT_EQ(recorder.waitFor(2).size(), 2u);
    }
    expectOneStretchPerBurst(monitor.samples(), player.onsets());
    EXPECT_GT(monitor.energy(0), 0.0);
    EXPECT_DOUBLE_EQ(monitor.energy(kChannels - 1), monitor.energy(0)) << "one signal on every channel";
}
