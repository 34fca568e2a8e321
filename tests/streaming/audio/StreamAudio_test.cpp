// The audio-device stream over the fake audio host: what it refuses, how it
// opens the chosen device, and a whole run whose callbacks the test drives
// while the stream loop renders on its own thread.
#include "streaming/StreamAudio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "tests/support/FakeAudioHost.h"
#include "tests/support/FakeSampleSource.h"
#include "tests/support/LogRecorder.h"

using vbz_test::FakeAudioHost;
using vbz_test::FakeSampleSource;
using vbz_test::LogRecorder;
using vbz_test::ScopedAudioHost;

namespace {
constexpr PaHostApiIndex kJack = 1;

// The fake host with a clock the stream can wait on: real time, or a clock
// that steps 1 ms at every read (for callbacks that must give up).
class ClockedHost : public FakeAudioHost {
public:
    PaTime streamTime(PaStream*) override {
        if (stepping) return stepped.fetch_add(0.001) + 0.001;
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    PaError openStream(PaStream** stream, const PaStreamParameters* in, const PaStreamParameters* out,
                       double rate, unsigned long frames, PaStreamFlags flags, PaStreamCallback* cb,
                       void* user) override {
        const PaError err = FakeAudioHost::openStream(stream, in, out, rate, frames, flags, cb, user);
        if (err == paNoError) streams.back().info.outputLatency = reportedLatency;
        return err;
    }
    PaError startStream(PaStream* s) override {
        const PaError err = FakeAudioHost::startStream(s);
        running = err == paNoError;
        return err;
    }
    // Waits until the stream loop has primed and started the stream.
    void waitUntilRunning() const {
        while (!running.load()) std::this_thread::yield();
    }
    std::atomic<bool> running{false};
    std::atomic<bool> stepping{false};
    std::atomic<double> stepped{0.0};
    double reportedLatency = 30.0;  // absurd, as some servers report

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct StreamAudioTest : ::testing::Test {
    StreamAudioTest() {
        host.addOutput("DeskSpeakers", kJack, 2);
        FakeAudioHost::Device vest;
        vest.name = "VibrenzaVest";
        vest.hostApi = kJack;
        vest.maxOutputChannels = 24;
        vest.rates = {8000, 44100, 48000};
        host.add(vest);
    }
    vbz_audio_settings_t custom(const char* name, int channels, unsigned rate, unsigned frames) {
        vbz_audio_settings_t s;
        s.deviceName = name;
        s.nbStreamChannel = channels;
        s.sampleRate = rate;
        s.bufferSize = frames;
        return s;
    }
    // Drives one callback of the open stream into out (channels x frames).
    int callback(std::vector<std::vector<float>>& out, unsigned long frames, PaStreamCallbackFlags flags = 0) {
        std::vector<float*> pointers;
        for (auto& c : out) pointers.push_back(c.data());
        FakeAudioHost::Stream& s = host.streams.back();
        return s.callback(nullptr, pointers.data(), frames, nullptr, flags, s.userData);
    }

    LogRecorder log;
    ClockedHost host;
    ScopedAudioHost scoped{host};
    FakeSampleSource source{20};
    std::mutex mutex;
};
}  // namespace

TEST_F(StreamAudioTest, AnAudioStreamHasNoVestAndRefusesVestOperations) {
    StreamAudio stream(&source, &mutex, nullptr);
    EXPECT_EQ(stream.kind(), 0);
    EXPECT_EQ(stream.scanDevices(VBZ_OUTPUT_ANY), -4);
    EXPECT_EQ(stream.connect(VBZ_OUTPUT_USB, 0), -4);
    EXPECT_EQ(stream.getFirstScannedDevice(), nullptr);
    EXPECT_EQ(stream.getVibrenzaSerialNumber(), 0xFFFFFFFFu);
    EXPECT_EQ(stream.getVibrenzaVersion(), "Experimental-AudioConnection");
    EXPECT_EQ(stream.getVibrenzaType(), -1);
    EXPECT_TRUE(host.streams.empty());
    EXPECT_EQ(stream.stop(), 0);
    EXPECT_EQ(stream.run(), -3);
}

TEST_F(StreamAudioTest, OpeningFailuresGiveTheirCodesAndLeaveNothingOpen) {
    StreamAudio stream(&source, &mutex, nullptr);
    auto s = custom("VibrenzaVest", 20, 48000, 256);
    EXPECT_EQ(stream.connectAudio(static_cast<vbz_audio_preset_t>(7), s), -4);
    s = custom("NoSuchDevice", 20, 48000, 256);
    EXPECT_EQ(stream.connectAudio(eCustomDevice, s), -2);
    s = custom("default_output", 20, 48000, 256);
    EXPECT_EQ(stream.connectAudio(eCustomDevice, s), -15);
    s = custom("VibrenzaVest", 20, 48000, 0);
    EXPECT_EQ(stream.connectAudio(eCustomDevice, s), -2);
    EXPECT_TRUE(host.streams.empty());

    host.openError = paDeviceUnavailable;
    s = custom("VibrenzaVest", 20, 48000, 256);
    EXPECT_EQ(stream.connectAudio(eCustomDevice, s), -15);
    EXPECT_TRUE(LogRecorder::has(4, "StreamAudio", "PortAudio error : Device unavailable"));
    EXPECT_EQ(stream.run(), -3);
    // The host builds its device list when it goes from unused to used: held
    // on, it would show every later connect the devices of this moment.
    EXPECT_EQ(host.balance, 0) << "a failed connect lets go of the host";
}

TEST_F(StreamAudioTest, OpensOneFloatBufferPerChannelAndSizesTheSourceAndWindows) {
    StreamAudio stream(&source, &mutex, nullptr);
    auto s = custom("vibrenza vest", -1, 44100, 256);
    ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    ASSERT_EQ(host.streams.size(), 1u);
    const auto& opened = host.streams[0];
    EXPECT_FALSE(opened.hasInput);
    EXPECT_EQ(opened.output.device, 1);
    EXPECT_EQ(opened.output.channelCount, 24);  // -1: all the device has
    EXPECT_EQ(opened.output.sampleFormat, paFloat32 | paNonInterleaved);
    EXPECT_EQ(opened.framesPerBuffer, 256u);
    EXPECT_EQ(opened.sampleRate, 44100.0);
    EXPECT_NE(opened.finished, nullptr);
    ASSERT_EQ(host.jackOpens.size(), 1u);
    EXPECT_EQ(host.jackOpens[0].client, "VibrenzaVest");
    EXPECT_EQ(host.jackOpens[0].held, 0) << "the host is let go before the stream's JACK client opens";
    EXPECT_EQ(stream.channelCount(), 24);
    EXPECT_EQ(source.getBufferSize(), 256u);
    EXPECT_EQ(source.getSampleRate(), 44100.0);
    EXPECT_EQ(stream.statistics().windowLength(), 17u);
    EXPECT_TRUE(LogRecorder::has(2, "StreamAudio", "Output stream latency : 30 - Output stream sample rate: 44100"));

    // Opening again replaces (and closes) the stream that never ran.
    s = custom("VibrenzaVest", 20, 48000, 8192);
    ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    EXPECT_TRUE(host.streams[0].closed);
    EXPECT_EQ(stream.statistics().windowLength(), 1u);
}

TEST_F(StreamAudioTest, AStopBeforeTheLoopMakesItReturnMinusThreeAndClosesTheStream) {
    StreamAudio stream(&source, &mutex, nullptr);
    auto s = custom("VibrenzaVest", 20, 48000, 256);
    ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    EXPECT_EQ(stream.stop(), 0);
    EXPECT_EQ(stream.run(), -3);
    EXPECT_FALSE(host.streams[0].started);
    EXPECT_TRUE(host.streams[0].closed);

    // A stop that comes even before the stream is opened holds until reset.
    EXPECT_EQ(stream.reset(), 0);
    EXPECT_EQ(stream.stop(), 0);
    ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    EXPECT_EQ(stream.run(), -3);
    EXPECT_TRUE(host.streams[1].closed);
    EXPECT_EQ(stream.reset(), 0);
    ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    auto result = std::async(std::launch::async, [&] { return stream.run(); });
    host.waitUntilRunning();
    EXPECT_EQ(stream.stop(), 0);
    EXPECT_EQ(result.get(), 0);
}

TEST_F(StreamAudioTest, ACallbackThatGetsNoBlockPlaysSilenceAndCountsATimeout) {
    host.stepping = true;
    StreamAudio stream(&source, &mutex, nullptr);
    auto s = custom("VibrenzaVest", 20, 48000, 48);
    ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    std::vector<std::vector<float>> out(20, std::vector<float>(48, 0.5f));
    // No loop runs: the wait ends after one period (1 ms), not after the
    // 30 s the host reports.
    EXPECT_EQ(callback(out, 48, paOutputUnderflow), paContinue);
    for (const auto& channel : out)
        for (float v : channel) EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(stream.statistics().timeouts.load(), 1u);
    EXPECT_EQ(stream.statistics().underflows.load(), 1u);
    EXPECT_EQ(stream.statistics().callbackCount.load(), 1u);
}

TEST_F(StreamAudioTest, ARunPlaysEveryRenderedBlockOnItsChannelsAndSilenceOnSurplusOnes) {
    StreamAudio stream(&source, &mutex, nullptr);
    constexpr unsigned kRate = 8000, kFrames = 800;  // 0.1 s periods: generous waits
    auto s = custom("VibrenzaVest", 24, kRate, kFrames);
    ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    auto result = std::async(std::launch::async, [&] { return stream.run(); });
    host.waitUntilRunning();

    std::vector<std::vector<float>> out(24, std::vector<float>(kFrames, 9.0f));
    for (int k = 0; k < 12; ++k) {
        ASSERT_EQ(callback(out, kFrames, k == 3 ? paOutputOverflow : 0), paContinue);
        const uint64_t blockStart = static_cast<uint64_t>(k) * kFrames * 1000000u / kRate;
        for (unsigned c = 0; c < 20; ++c)
            for (unsigned i = 0; i < kFrames; i += 97)
                ASSERT_EQ(out[c][i], static_cast<float>(FakeSampleSource::expected(c, blockStart + i * 125u)))
                    << "block " << k << " channel " << c << " sample " << i;
        for (unsigned c = 20; c < 24; ++c)
            for (float v : out[c]) ASSERT_EQ(v, 0.0f);
    }
    EXPECT_EQ(stream.stop(), 0);
    ASSERT_EQ(result.get(), 0);
    EXPECT_TRUE(host.streams[0].closed);
    const SlidingWindow& stats = stream.statistics();
    EXPECT_EQ(stats.callbackCount.load(), 12u);
    EXPECT_EQ(stats.overflows.load(), 1u);
    EXPECT_EQ(stats.timeouts.load(), 0u);
    EXPECT_GE(stats.avgComputeTime(), 0.0);
    // One render primed the stream, one per later callback; all of the whole block.
    ASSERT_EQ(source.renders.size(), 12u);
    for (const auto& r : source.renders) EXPECT_EQ(r.samples, kFrames);
    EXPECT_TRUE(LogRecorder::waitFor(
        "Stop streaming signal:\n>>Haptic stream underflow: 0( ratio 0/100)\n"
        ">>Haptic stream overflow occurrence: 1( ratio 8.33333/100)\n"
        ">>Haptic stream timeout occurrence: 0( ratio 0/100)\n"));
    EXPECT_EQ(stream.reset(), 0);
    EXPECT_EQ(stream.channelCount(), 0);
}

TEST_F(StreamAudioTest, AStreamWithoutAReportedLatencyStillWaitsForItsBlocks) {
    host.reportedLatency = 0.0;  // a host that reports none: the period bounds the wait
    StreamAudio stream(&source, &mutex, nullptr);
    auto s = custom("VibrenzaVest", 20, 8000, 800);
    ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    auto result = std::async(std::launch::async, [&] { return stream.run(); });
    host.waitUntilRunning();
    std::vector<std::vector<float>> out(20, std::vector<float>(800, 9.0f));
    for (int k = 0; k < 5; ++k) {
        ASSERT_EQ(callback(out, 800), paContinue);
        const uint64_t blockStart = static_cast<uint64_t>(k) * 100000u;
        ASSERT_EQ(out[7][10], static_cast<float>(FakeSampleSource::expected(7, blockStart + 1250u))) << k;
    }
    EXPECT_EQ(stream.stop(), 0);
    EXPECT_EQ(result.get(), 0);
}

TEST_F(StreamAudioTest, AStreamThatTheHostEndsEndsTheLoop) {
    StreamAudio stream(&source, &mutex, nullptr);
    auto s = custom("DeskSpeakers", 2, 48000, 256);
    ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    auto result = std::async(std::launch::async, [&] { return stream.run(); });
    host.waitUntilRunning();
    // A 20-channel source on a 2-channel device: only actuators 0 and 1 play.
    std::vector<std::vector<float>> out(2, std::vector<float>(256, 9.0f));
    ASSERT_EQ(callback(out, 256), paContinue);
    EXPECT_EQ(out[1][0], static_cast<float>(FakeSampleSource::expected(1, 0)));
    host.streams[0].finished(host.streams[0].userData);  // e.g. the server went away
    EXPECT_EQ(result.get(), 0);
}

TEST_F(StreamAudioTest, TheHostIsTerminatedOnlyAfterASuccessfulInitialisationAndHeldOnlyByAStreamThatNeedsIt) {
    host.initializeError = paInternalError;
    {
        StreamAudio stream(&source, &mutex, nullptr);
        auto s = custom("VibrenzaVest", 20, 48000, 256);
        EXPECT_EQ(stream.connectAudio(eCustomDevice, s), -15);
        EXPECT_TRUE(LogRecorder::has(4, "StreamAudio", "PortAudio error : Internal PortAudio error"));
    }
    EXPECT_EQ(host.terminateCalls, 0);
    host.initializeError = paNoError;
    host.addOutput("UsbDac", 0, 2);  // not of the loopback host API: a PortAudio stream
    auto s = custom("UsbDac", 2, 48000, 256);
    {
        StreamAudio stream(&source, &mutex, nullptr);
        EXPECT_EQ(host.balance, 0) << "not before a connect";
        ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
        EXPECT_TRUE(host.jackOpens.empty());
        EXPECT_EQ(host.balance, 1);
        stream.stop();
        EXPECT_EQ(stream.run(), -3);
        EXPECT_TRUE(host.streams.back().closed);
        EXPECT_EQ(host.balance, 0) << "the loop closed the stream and let go of the host";
        ASSERT_EQ(stream.connectAudio(eCustomDevice, s), 0);
    }
    EXPECT_EQ(host.balance, 0) << "so did the destructor";
}
