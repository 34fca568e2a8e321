// The loopback capture over the fake audio host: the test plays the host's
// capture callback and compares what reaches the FIFO with a pair of
// processors run by hand on the same mono signal.
#include "orv-fx/OrvLoopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "tests/support/CountingAllocator.h"
#include "tests/support/FakeAudioHost.h"
#include "tests/support/LogRecorder.h"

using vbz_test::FakeAudioHost;
using vbz_test::LogRecorder;

namespace {

constexpr int kOutRate = 500;   // output block of 10 samples
constexpr std::size_t kOutBlock = 10;
constexpr unsigned long kInBlock = 960;  // 20 ms at 48 kHz

// Interleaved frames of `channels` channels, each frame from f(frame index).
template <class F>
std::vector<float> frames(unsigned long count, int channels, F f) {
    std::vector<float> out;
    for (unsigned long i = 0; i < count; ++i)
        for (int c = 0; c < channels; ++c) out.push_back(f(i, c));
    return out;
}

float tone(unsigned long i, double hz = 80.0, double amplitude = 0.5, double rate = 48000.0) {
    return static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate));
}

// What the capture should queue for a mono signal: encode at 48 kHz, decode
// at the output rate, block by block.
std::vector<float> expectedOutput(const std::vector<float>& mono, unsigned preset = 0) {
    int32_t error = 0;
    auto in = orv::createOrv(48000, 1, orv::kInputFloat, orv::kProcessDouble, error);
    auto out = orv::createOrv(kOutRate, 1, orv::kInputFloat, orv::kProcessDouble, error);
    out->setPreset(preset);
    std::vector<uint8_t> tokens(in->getTokenBytes(kInBlock));
    std::vector<float> block(kOutBlock), all;
    for (std::size_t b = 0; (b + 1) * kInBlock <= mono.size(); ++b) {
        in->encode(mono.data() + b * kInBlock, tokens.data(), kInBlock);
        out->decode(tokens.data(), tokens.size(), block.data(), block.size());
        all.insert(all.end(), block.begin(), block.end());
    }
    return all;
}

class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        host.addOutput("Speakers", 1, 2);
        stereo = host.addLoopback("Speakers [Loopback]", 2);
        six = host.addLoopback("Surround [Loopback]", 6);
    }
    vbz::AudioDeviceRef ref(PaDeviceIndex index) {
        return {index, host.devices[static_cast<std::size_t>(index)].name};
    }
    // Plays one callback of the last opened stream.
    void feed(const std::vector<float>& interleaved, unsigned long count) {
        ASSERT_FALSE(host.streams.empty());
        auto& s = host.streams.back();
        s.callback(interleaved.empty() ? nullptr : interleaved.data(), nullptr, count, nullptr, 0, s.userData);
    }
    // Everything queued, oldest first.
    std::vector<float> drain(OrvLoopback& loopback) {
        std::vector<double> out(loopback.queued());
        loopback.pull(out);
        return {out.begin(), out.end()};
    }

    LogRecorder log{0};
    FakeAudioHost host;
    vbz_test::ScopedAudioHost installed{host};
    PaDeviceIndex stereo = 0, six = 0;
};

bool hasLine(int level, const std::string& text) { return LogRecorder::has(level, "OrvLoopback", text); }

void writeLog(OrvLoopback& loopback) {
    for (auto& [level, text] : loopback.takeLog()) LogLine(level, "OrvLoopback") << text;
}

}  // namespace

TEST_F(Loopback, StartOpensTheDevicesInputAsTheHostDescribesIt) {
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(kOutRate, ref(stereo)), 0);
    EXPECT_TRUE(loopback.isRunning());
    writeLog(loopback);
    EXPECT_TRUE(hasLine(1, "Start ORV loopback..."));
    EXPECT_TRUE(hasLine(1, "ORV loopback started."));
    ASSERT_EQ(host.streams.size(), 1u);
    const auto& s = host.streams[0];
    EXPECT_TRUE(s.hasInput);
    EXPECT_FALSE(s.hasOutput);
    EXPECT_EQ(s.input.device, stereo);
    EXPECT_EQ(s.input.channelCount, 2);
    EXPECT_EQ(s.input.sampleFormat, static_cast<PaSampleFormat>(paFloat32));
    EXPECT_EQ(s.sampleRate, 48000.0);
    EXPECT_EQ(s.framesPerBuffer, static_cast<unsigned long>(paFramesPerBufferUnspecified));
    EXPECT_TRUE(s.started);
    ASSERT_EQ(host.jackOpens.size(), 1u);
    EXPECT_EQ(host.jackOpens[0].client, "Speakers [Loopback]");
    EXPECT_EQ(host.jackOpens[0].held, 0) << "the host is let go before the capture's JACK client opens";
    EXPECT_EQ(loopback.blockFrames(), kInBlock);
    EXPECT_EQ(loopback.outputBlockSize(), kOutBlock);
    loopback.stop();
    EXPECT_TRUE(host.streams[0].closed);
    EXPECT_EQ(host.balance, 0);
    loopback.stop();  // a second stop terminates nothing
    EXPECT_EQ(host.terminateCalls, 1);
}

TEST_F(Loopback, TheDeviceIsFoundAgainByNameWhenIndicesShift) {
    vbz::AudioDeviceRef wanted = ref(six);
    wanted.index = stereo;  // the list changed since the lookup
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(kOutRate, wanted), 0);
    EXPECT_EQ(host.streams.back().input.device, six);
    EXPECT_EQ(loopback.inputChannels(), 6u);
}

TEST_F(Loopback, TheFirstBlockIsProcessedAtTheFirstFrameAfterIt) {
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(kOutRate, ref(stereo)), 0);
    const auto quiet = frames(480, 2, [](unsigned long, int) { return 0.0f; });
    feed(quiet, 0);  // nothing at all
    feed(quiet, 480);
    feed(quiet, 480);
    EXPECT_EQ(loopback.queued(), 0u) << "the block is full but no later frame came yet";
    feed(quiet, 1);
    EXPECT_EQ(loopback.queued(), kOutBlock);
}

TEST_F(Loopback, FramesAreMixedToTheMeanOfTheirChannels) {
    struct Case {
        const char* name;
        PaDeviceIndex device;
        int channels;
        // Sample of channel c in frame i, and the mono signal it must give.
        float (*sample)(unsigned long i, int c);
        float (*mono)(unsigned long i);
    };
    const Case cases[] = {
        {"opposite stereo", stereo, 2, [](unsigned long i, int c) { return c == 0 ? tone(i) : -tone(i); },
         [](unsigned long) { return 0.0f; }},
        {"stereo tone", stereo, 2, [](unsigned long i, int) { return tone(i); }, [](unsigned long i) { return tone(i); }},
        {"six channels", six, 6,
         [](unsigned long i, int c) { return c < 3 ? tone(i) * 2.0f : 0.0f; },
         [](unsigned long i) { return tone(i) * 6.0f / 6.0f; }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        OrvLoopback loopback;
        ASSERT_EQ(loopback.start(kOutRate, ref(k.device)), 0);
        const unsigned long count = 10 * kInBlock + 1;
        feed(frames(count, k.channels, k.sample), count);
        std::vector<float> mono;
        for (unsigned long i = 0; i < count; ++i) mono.push_back(k.mono(i));
        const auto expected = expectedOutput(mono);
        const auto got = drain(loopback);
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) ASSERT_FLOAT_EQ(got[i], expected[i]) << "sample " << i;
    }
}

TEST_F(Loopback, BadSamplesAndMissingInputCountAsSilence) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(kOutRate, ref(stereo)), 0);
    // A NaN frame, an infinite one, a buffer the host left null, then a tone.
    feed(frames(1, 2, [&](unsigned long, int) { return nan; }), 1);
    feed(frames(1, 2, [&](unsigned long, int c) { return c == 0 ? inf : 0.0f; }), 1);
    feed({}, 478);
    const unsigned long count = 25 * kInBlock;
    feed(frames(count, 2, [](unsigned long i, int) { return tone(i + 480); }), count);
    feed(frames(1, 2, [](unsigned long, int) { return 0.0f; }), 1);

    std::vector<float> mono(480, 0.0f);
    for (unsigned long i = 0; i < count; ++i) mono.push_back(tone(i + 480));
    const auto expected = expectedOutput(mono);
    const auto got = drain(loopback);
    ASSERT_EQ(got.size(), expected.size());
    double energy = 0.0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_FLOAT_EQ(got[i], expected[i]) << "sample " << i;
        energy += static_cast<double>(got[i]) * got[i];
    }
    EXPECT_GT(energy, 0.0) << "the tone after the bad samples still makes haptics";
}

TEST_F(Loopback, SamplesBeyondFullScaleAreClippedBeforeTheAnalysis) {
    struct Case {
        const char* name;
        unsigned long length;  // frames of the over-range stretch, left channel only
        float value;
    };
    const Case cases[] = {{"one sample of 1e30", 1, 1e30f}, {"100 ms at 8.0", 4800, 8.0f}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        OrvLoopback loopback;
        ASSERT_EQ(loopback.start(kOutRate, ref(stereo)), 0);
        const unsigned long count = 30 * kInBlock + 1;
        auto sample = [&](unsigned long i, int c) { return i < k.length && c == 0 ? k.value : tone(i); };
        feed(frames(count, 2, sample), count);
        std::vector<float> mono;
        for (unsigned long i = 0; i < count; ++i) mono.push_back(i < k.length ? (1.0f + tone(i)) / 2.0f : tone(i));
        const auto expected = expectedOutput(mono);
        const auto got = drain(loopback);
        ASSERT_EQ(got.size(), expected.size());
        float tailPeak = 0.0f;
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_FLOAT_EQ(got[i], expected[i]) << "sample " << i;
            if (i >= got.size() - 10 * kOutBlock) tailPeak = std::max(tailPeak, std::abs(got[i]));
        }
        EXPECT_GT(tailPeak, 0.01f) << "the tone after the loud stretch still makes haptics";
    }
}

TEST_F(Loopback, TheFifoOverflowsAtFiftyBlocks) {
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(kOutRate, ref(stereo)), 0);
    const auto block = frames(kInBlock, 2, [](unsigned long, int) { return 0.0f; });
    const auto one = frames(1, 2, [](unsigned long, int) { return 0.0f; });
    // Each round completes a block and plays the frame after it.
    auto round = [&] {
        feed(block, kInBlock - 1);
        feed(one, 1);
    };
    feed(one, 1);
    for (int b = 0; b < 49; ++b) round();
    EXPECT_EQ(loopback.queued(), 49 * kOutBlock);
    round();
    EXPECT_EQ(loopback.queued(), 50 * kOutBlock) << "queued with 49 blocks waiting";
    EXPECT_EQ(loopback.counters().overflows, 0u);
    round();
    EXPECT_EQ(loopback.queued(), 50 * kOutBlock) << "dropped with 50 blocks waiting";
    EXPECT_EQ(loopback.counters().overflows, 1u);
}

TEST_F(Loopback, PullUnderrunsAndDropBoundaries) {
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(kOutRate, ref(stereo)), 0);
    const unsigned long count = 3 * kInBlock + 1;
    feed(frames(count, 2, [](unsigned long i, int) { return tone(i); }), count);
    ASSERT_EQ(loopback.queued(), 30u);

    std::vector<double> out(31, 7.0);
    loopback.pull(out);
    for (double v : out) ASSERT_EQ(v, 0.0);
    EXPECT_EQ(loopback.queued(), 30u) << "an underrun consumes nothing";
    EXPECT_EQ(loopback.counters().underruns, 1u);

    out.assign(15, 0.0);
    loopback.pull(out);  // 30 queued = 2 x max(10, 15): nothing dropped
    EXPECT_EQ(loopback.counters().drops, 0u);
    EXPECT_EQ(loopback.queued(), 15u);

    feed(frames(kInBlock, 2, [](unsigned long i, int) { return tone(i); }), kInBlock);
    ASSERT_EQ(loopback.queued(), 25u);
    out.assign(12, 0.0);
    loopback.pull(out);  // 25 queued > 24: exactly one dropped
    EXPECT_EQ(loopback.counters().drops, 1u);
    EXPECT_EQ(loopback.queued(), 12u);
}

TEST_F(Loopback, StartFailuresReleaseTheHostAndSayWhy) {
    struct Case {
        const char* name;
        void (*arrange)(FakeAudioHost&);
        PaDeviceIndex device;
        double outputRate;
        int code;
        const char* line;  // nullptr: no error line
        int terminates;
    };
    const Case cases[] = {
        {"initialise fails", [](FakeAudioHost& h) { h.initializeError = paInternalError; }, 1, kOutRate, -15,
         "PortAudio error : Internal PortAudio error", 0},
        {"unknown device", [](FakeAudioHost&) {}, 42, kOutRate, -2, nullptr, 1},
        {"rate the processor refuses",
         [](FakeAudioHost& h) { h.devices[1].defaultSampleRate = 22050.0; }, 1, kOutRate, -17,
         "ORV-fx error: invalid input parameter", 1},
        {"output rate refused", [](FakeAudioHost&) {}, 1, 300.0, -17, "ORV-fx error: invalid input parameter", 1},
        {"open fails", [](FakeAudioHost& h) { h.openError = paDeviceUnavailable; }, 1, kOutRate, -15,
         "PortAudio error : Device unavailable", 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        FakeAudioHost fresh;
        fresh.addOutput("Speakers", 1, 2);
        fresh.addLoopback("Speakers [Loopback]", 2);
        k.arrange(fresh);
        vbz::setAudioHost(&fresh);
        LogRecorder::clear();
        {
            OrvLoopback loopback;
            vbz::AudioDeviceRef device{k.device, {}};
            EXPECT_EQ(loopback.start(k.outputRate, device), k.code);
            EXPECT_FALSE(loopback.isRunning());
            EXPECT_EQ(loopback.queued(), 0u);
            writeLog(loopback);
        }
        if (k.line) {
            EXPECT_TRUE(hasLine(4, k.line));
        }
        EXPECT_EQ(fresh.balance, 0);
        EXPECT_EQ(fresh.terminateCalls, k.terminates) << "terminate only after a successful initialise";
        for (const auto& s : fresh.streams) EXPECT_TRUE(s.closed);
        vbz::setAudioHost(&host);
    }
}

TEST_F(Loopback, ARestartEmptiesTheFifoAndClearsTheCounters) {
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(kOutRate, ref(stereo)), 0);
    const unsigned long count = 3 * kInBlock + 1;
    feed(frames(count, 2, [](unsigned long i, int) { return tone(i); }), count);
    std::vector<double> out(100);
    loopback.pull(out);
    ASSERT_EQ(loopback.counters().underruns, 1u);
    ASSERT_GT(loopback.queued(), 0u);

    ASSERT_EQ(loopback.start(kOutRate, ref(six)), 0);
    EXPECT_EQ(loopback.queued(), 0u);
    EXPECT_EQ(loopback.counters().underruns, 0u);
    EXPECT_TRUE(host.streams[0].closed);
    EXPECT_EQ(host.balance, 0) << "a loopback capture holds no initialisation once open";
    loopback.stop();
    EXPECT_EQ(host.balance, 0);
}

TEST_F(Loopback, OutputRateAndPresetChanges) {
    OrvLoopback loopback;
    EXPECT_EQ(loopback.setOutputRate(2000.0), 0) << "stopped: nothing to change";
    loopback.setPreset(2);  // kept for the next start
    ASSERT_EQ(loopback.start(kOutRate, ref(stereo)), 0);
    EXPECT_EQ(loopback.getPreset(), 2u);

    const unsigned long count = 20 * kInBlock + 1;
    std::vector<float> mono;
    for (unsigned long i = 0; i < count; ++i) mono.push_back(tone(i));
    feed(frames(count, 2, [](unsigned long i, int) { return tone(i); }), count);
    const auto expected = expectedOutput(mono, 2);
    const auto got = drain(loopback);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_FLOAT_EQ(got[i], expected[i]) << "sample " << i;

    feed(frames(kInBlock, 2, [](unsigned long, int) { return 0.0f; }), kInBlock);
    ASSERT_EQ(loopback.queued(), kOutBlock);
    EXPECT_EQ(loopback.setOutputRate(2000.0), 0);
    EXPECT_EQ(loopback.outputBlockSize(), 40u);
    EXPECT_EQ(loopback.queued(), kOutBlock) << "queued samples stay";

    EXPECT_EQ(loopback.setOutputRate(123.0), -17) << "a refused rate stops the capture";
    EXPECT_FALSE(loopback.isRunning());
    EXPECT_EQ(host.balance, 0);
}

TEST_F(Loopback, TheCaptureCallbackAndThePullAllocateNothing) {
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(2000.0, ref(six)), 0);
    const auto input = frames(480, 6, [](unsigned long i, int c) { return c == 0 ? tone(i) : 0.0f; });
    std::vector<double> out(25);
    feed(input, 480);  // warm-up
    const long before = vbz_test::allocationCount();
    for (int k = 0; k < 200; ++k) {  // two seconds of capture, pulled as a vest would
        feed(input, 480);
        loopback.pull(out);
        loopback.pull(out);
    }
    EXPECT_EQ(vbz_test::allocationCount() - before, 0);
    EXPECT_GT(loopback.counters().underruns + loopback.queued(), 0u);
}
