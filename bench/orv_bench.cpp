// Cost of the audio-to-haptics processor on one core.
//
// AnalysisStereo48kHz: the band analysis of one second of stereo 48 kHz
// audio (50 blocks of 960 frames per channel, interleaved input split per
// channel as a processor does) encoded into tokens by two channels of the
// Default preset, in float and in double processing.
// Process/<0|1>: a processor's process (analysis and synthesis in place) on
// the same second of audio, float (0) or double (1) processing; goal >= 300x
// real time.
// Loopback: the loopback capture's path for one second in 20 ms blocks: a
// mono float encode at 48 kHz and the decode of each token at 2 kHz, double
// processing; goal >= 600x real time.
//
// Counters: rt_factor (seconds of audio handled per second of CPU) and
// allocs/s (heap allocations per second of audio; must be 0).
//
//   bash scripts/bench.sh --benchmark_filter=Analysis
//   build/release/bench/orv_bench
#include <benchmark/benchmark.h>

#include "orv-fx/processor/BaseORV.h"
#include "orv-fx/processor/OrvChannel.h"
#include "tests/support/CountingAllocator.h"
#include "tests/support/WhiteNoise.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {

constexpr uint32_t kRate = 48000;
constexpr std::size_t kChannels = 2;

// Music-like input: a bass line, a mid tone and bursts of noise (hi-hats),
// so that every band's detector has onsets to follow.
std::vector<float> stereoSecond() {
    std::vector<float> in(kRate * kChannels);
    vbz_test::WhiteNoise noise(99);
    for (std::size_t f = 0; f < kRate; ++f) {
        const double t = static_cast<double>(f) / kRate;
        const double hiss = noise.next();
        const double burst = std::fmod(t, 0.125) < 0.02 ? 0.3 * hiss : 0.0;
        const double bass = 0.5 * std::sin(2.0 * std::numbers::pi * 60.0 * t) * (std::fmod(t, 0.5) < 0.25 ? 1.0 : 0.2);
        const double mid = 0.2 * std::sin(2.0 * std::numbers::pi * 880.0 * t);
        in[f * kChannels] = static_cast<float>(bass + mid + burst);
        in[f * kChannels + 1] = static_cast<float>(bass - mid + burst);
    }
    return in;
}

// Each iteration handles one second of audio.
void reportSecond(benchmark::State& state, long allocations) {
    state.counters["rt_factor"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["allocs/s"] = benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    if (allocations != 0) state.SkipWithError("the block loops allocated");
}

template <typename U>
void BM_AnalysisStereo48kHz(benchmark::State& state) {
    const std::vector<float> in = stereoSecond();
    std::vector<orv::OrvChannel<U>> channels;
    for (std::size_t c = 0; c < kChannels; ++c) channels.emplace_back(kRate, 0);
    const std::size_t block = channels[0].blockLength();
    const std::size_t blocks = kRate / block;
    std::vector<U> work(block);
    std::vector<U> scratch(block);
    std::vector<uint8_t> tokens(blocks * kChannels * orv::OrvChannel<U>::tokenSize());

    const long before = vbz_test::allocationCount();
    for (auto _ : state) {
        uint8_t* token = tokens.data();
        for (std::size_t b = 0; b < blocks; ++b) {
            for (std::size_t c = 0; c < kChannels; ++c) {
                for (std::size_t j = 0; j < block; ++j) work[j] = static_cast<U>(in[(b * block + j) * kChannels + c]);
                channels[c].encodeBlock(work, token, scratch);
                token += orv::OrvChannel<U>::tokenSize();
            }
        }
        benchmark::DoNotOptimize(tokens.data());
        benchmark::ClobberMemory();
    }
    reportSecond(state, vbz_test::allocationCount() - before);
}

std::unique_ptr<orv::BaseORV> floatProcessor(uint32_t rate, uint32_t channels, uint32_t processing) {
    int32_t error = 0;
    return orv::createOrv(rate, channels, orv::kInputFloat, processing, error);
}

void BM_ProcessStereo48kHz(benchmark::State& state) {
    const std::vector<float> in = stereoSecond();
    auto orv = floatProcessor(kRate, kChannels, static_cast<uint32_t>(state.range(0)));
    std::vector<float> out(in.size());
    const long before = vbz_test::allocationCount();
    for (auto _ : state) {
        if (!orv->process(in.data(), out.data(), kRate)) state.SkipWithError("process failed");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    reportSecond(state, vbz_test::allocationCount() - before);
}

void BM_Loopback(benchmark::State& state) {
    const std::vector<float> stereo = stereoSecond();
    std::vector<float> in(kRate);
    for (std::size_t f = 0; f < kRate; ++f) in[f] = stereo[f * kChannels];
    auto capture = floatProcessor(kRate, 1, orv::kProcessDouble);
    auto haptic = floatProcessor(2000, 1, orv::kProcessDouble);
    const uint64_t captureBlock = capture->getBlockSize(), hapticBlock = haptic->getBlockSize();
    const uint32_t tokenBytes = capture->getTokenBytes(captureBlock);
    std::vector<uint8_t> tokens(capture->getTokenBytes(kRate));
    std::vector<float> out(2000);
    const long before = vbz_test::allocationCount();
    for (auto _ : state) {
        for (std::size_t b = 0; b < kRate / captureBlock; ++b) {
            uint8_t* token = tokens.data() + b * tokenBytes;
            if (!capture->encode(in.data() + b * captureBlock, token, captureBlock)) state.SkipWithError("encode failed");
            if (!haptic->decode(token, tokenBytes, out.data() + b * hapticBlock, hapticBlock))
                state.SkipWithError("decode failed");
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    reportSecond(state, vbz_test::allocationCount() - before);
}

BENCHMARK_TEMPLATE(BM_AnalysisStereo48kHz, float)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_AnalysisStereo48kHz, double)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessStereo48kHz)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Loopback)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
