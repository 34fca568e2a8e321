// The audio-to-haptics sample source over the fake audio host: when the
// capture starts, what a render makes of the captured haptics, and the
// volume and bounds rules.
#include "orv-fx/OrvCore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "tests/support/FakeAudioHost.h"
#include "tests/support/LogRecorder.h"

using vbz_test::FakeAudioHost;
using vbz_test::LogRecorder;

namespace {

constexpr unsigned long kInBlock = 960;

std::vector<float> loudTone(unsigned long count) {
    std::vector<float> out;
    for (unsigned long i = 0; i < count; ++i) {
        const float s = static_cast<float>(0.9 * std::sin(2.0 * std::numbers::pi * 80.0 * static_cast<double>(i) / 48000.0));
        out.push_back(s);
        out.push_back(s);
    }
    return out;
}

class Core : public ::testing::Test {
protected:
    void SetUp() override {
        host.addOutput("Speakers", 1, 2);
        device = {host.addLoopback("Speakers [Loopback]", 2), "Speakers [Loopback]"};
    }
    void feedLast(const std::vector<float>& interleaved, unsigned long count) {
        auto& s = host.streams.back();
        s.callback(interleaved.data(), nullptr, count, nullptr, 0, s.userData);
    }

    LogRecorder log{0};
    FakeAudioHost host;
    vbz_test::ScopedAudioHost installed{host};
    vbz::AudioDeviceRef device;
};

}  // namespace

TEST_F(Core, RendersNothingWithoutABufferAndZerosWithoutACapture) {
    OrvCore core;
    EXPECT_EQ(core.getChannelCount(), 20u);
    EXPECT_EQ(core.getBufferSize(), 0u);
    EXPECT_EQ(core.getSampleRate(), -1.0);
    EXPECT_FALSE(core.isPlaying());
    core.render();
    core.setBufferSize(8);
    core.render();
    for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(core.getSample(3, i), 0.0);
    EXPECT_THROW(core.getSample(0, 8), std::out_of_range);
    EXPECT_TRUE(host.streams.empty());
}

TEST_F(Core, TheCaptureStartsOnceBothRateAndDeviceAreKnown) {
    OrvCore core;
    core.setSampleRate(500.0);
    EXPECT_EQ(host.initializeCalls, 0) << "no device yet: the rate is only stored";
    core.setDevice(device);
    ASSERT_EQ(host.streams.size(), 1u);
    EXPECT_TRUE(core.loopback().isRunning());
    EXPECT_EQ(core.loopback().outputBlockSize(), 10u);
    EXPECT_TRUE(LogRecorder::has(1, "OrvLoopback", "ORV loopback started."));

    core.setDevice(device);
    EXPECT_EQ(host.streams.size(), 1u) << "the same device changes nothing";
    core.setDevice({-1, {}});
    EXPECT_TRUE(core.loopback().isRunning()) << "a negative device is only stored";

    // A rate change re-creates the output side; queued samples stay.
    feedLast(loudTone(3 * kInBlock + 1), 3 * kInBlock + 1);
    ASSERT_EQ(core.loopback().queued(), 30u);
    core.setSampleRate(2000.0);
    EXPECT_EQ(core.loopback().outputBlockSize(), 40u);
    EXPECT_EQ(core.loopback().queued(), 30u);
    EXPECT_EQ(host.streams.size(), 1u);
}

TEST_F(Core, ACaptureThatEndedOnItsOwnIsSaidOnceAndTheDeviceStartsItAgain) {
    const char* kEnded = "ORV loopback capture ended: its device or the audio server went away.";
    struct Case {
        const char* name;
        PaError openError;  // of the host when the device is set again
        int code;
        const char* line;
    };
    const Case cases[] = {{"the device is back", paNoError, 0, nullptr},
                          {"the device is still gone", paDeviceUnavailable, -15, "PortAudio error : Device unavailable"}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        LogRecorder::clear();
        host.openError = paNoError;
        OrvCore core;
        core.setSampleRate(500.0);
        ASSERT_EQ(core.setDevice(device), 0);
        auto& stream = host.streams.back();
        stream.finished(stream.userData);  // the host's thread: the stream ended
        EXPECT_FALSE(core.loopback().isRunning());
        core.setSampleRate(500.0);
        core.setSampleRate(500.0);
        EXPECT_EQ(LogRecorder::count(kEnded), 1);

        host.openError = k.openError;
        const std::size_t opened = host.streams.size();
        EXPECT_EQ(core.setDevice(device), k.code);
        EXPECT_EQ(host.streams.size(), opened + (k.code == 0 ? 1 : 0));
        EXPECT_TRUE(host.streams[opened - 1].closed) << "the ended stream is released";
        EXPECT_EQ(core.loopback().isRunning(), k.code == 0);
        if (k.line) {
            EXPECT_TRUE(LogRecorder::has(4, "OrvLoopback", k.line));
        }
    }
}

TEST_F(Core, TheSameRateDoesNothingEvenAfterAFailedStart) {
    host.openError = paDeviceUnavailable;
    OrvCore core;
    core.setDevice(device);
    core.setSampleRate(500.0);
    EXPECT_FALSE(core.loopback().isRunning());
    EXPECT_TRUE(LogRecorder::has(4, "OrvLoopback", "PortAudio error : Device unavailable"));
    const int calls = host.initializeCalls;
    core.setSampleRate(500.0);
    EXPECT_EQ(host.initializeCalls, calls);
    EXPECT_EQ(host.balance, 0);
    core.setBufferSize(4);
    core.render();
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(core.getSample(0, i), 0.0) << "a failed capture is silence";
}

TEST_F(Core, VolumeRules) {
    OrvCore core;
    EXPECT_EQ(core.getVolume(), 1.0f);
    const struct {
        float in, stored;
    } cases[] = {{-2.0f, 0.0f}, {0.0f, 0.0f}, {std::numeric_limits<float>::quiet_NaN(), 0.0f}, {2.0f, 2.0f}, {0.5f, 0.5f}};
    for (const auto& k : cases) {
        core.setVolume(k.in);
        EXPECT_EQ(core.getVolume(), k.stored) << k.in;
    }
}

TEST_F(Core, RenderScalesByTheVolumeClampsAndSendsOneSignalToEveryChannel) {
    // Two captures of the same input: one pulled as it is, one rendered.
    OrvLoopback reference;
    ASSERT_EQ(reference.start(2000.0, device), 0);
    OrvCore core;
    core.setSampleRate(2000.0);
    core.setDevice(device);
    ASSERT_EQ(host.streams.size(), 2u);
    const unsigned long count = 30 * kInBlock + 1;
    const auto input = loudTone(count);
    for (auto& s : host.streams) s.callback(input.data(), nullptr, count, nullptr, 0, s.userData);

    for (float volume : {1.0f, 3.0f, 0.0f}) {
        SCOPED_TRACE(volume);
        core.setVolume(volume);
        std::vector<double> raw(40);
        reference.pull(raw);
        core.setBufferSize(40);
        core.render();
        for (unsigned i = 0; i < 40; ++i) {
            const double x = static_cast<double>(volume) * raw[i];
            const double want = x > 1.0 ? 1.0 : (x > -1.0 ? x : -1.0);
            ASSERT_EQ(core.getSample(0, i), want) << "sample " << i;
            ASSERT_EQ(core.getSample(19, i), core.getSample(0, i));
        }
    }
}

TEST(CoreSample, VolumeClampAndNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double gain, s, out;
    } cases[] = {{1.5, 0.8, 1.0},  {1.5, -0.8, -1.0}, {1.0, 0.25, 0.25}, {1.0, -1.0, -1.0},
                 {1.0, nan, 0.0},  {2.0, inf, 1.0},   {2.0, -inf, -1.0}, {0.0, 0.7, 0.0}};
    for (const auto& k : cases) EXPECT_EQ(OrvCore::outputSample(k.gain, k.s), k.out) << k.gain << " x " << k.s;
}

namespace {
// A host whose initialise holds until released, as a slow device list would.
class SlowHost : public FakeAudioHost {
public:
    PaError initialize() override {
        std::unique_lock<std::mutex> lock(m);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return released; });
        return FakeAudioHost::initialize();
    }
    void waitEntered() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m);
        released = true;
        cv.notify_all();
    }
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, released = false;
};
}  // namespace

TEST(CoreRate, AStreamsRateChangeDoesNotWaitForACaptureStart) {
    LogRecorder log{0};
    SlowHost host;
    host.addLoopback("Speakers [Loopback]", 2);
    vbz_test::ScopedAudioHost installed{host};
    OrvCore core;
    core.setSampleRate(500.0);
    std::thread starter([&] { core.setDevice({0, "Speakers [Loopback]"}); });
    host.waitEntered();  // the start holds the control lock

    // The stream's rate change gives up instead of holding up its render,
    // and leaves the rate for a later block.
    auto change = std::async(std::launch::async, [&] { core.setSampleRate(2000.0); });
    const bool returned = change.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(returned);
    EXPECT_EQ(core.getSampleRate(), 500.0);
    host.release();
    starter.join();
    change.wait();
    EXPECT_TRUE(core.loopback().isRunning());
    core.setSampleRate(2000.0);
    EXPECT_EQ(core.getSampleRate(), 2000.0);
    EXPECT_EQ(core.loopback().outputBlockSize(), 40u);
}
