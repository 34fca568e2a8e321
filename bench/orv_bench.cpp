// Cost of the audio-to-haptics band analysis: one second of stereo 48 kHz
// audio (50 blocks of 960 frames per channel, interleaved input split per
// channel as a processor does) encoded into tokens by two channels of the
// Default preset, in float and in double processing.
//
// Counters: rt_factor (seconds of stereo audio analysed per second of CPU)
// and allocs/s (heap allocations per analysed second; must be 0).
//
//   bash scripts/bench.sh --benchmark_filter=Analysis
//   build/release/bench/orv_bench
#include <benchmark/benchmark.h>

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
    const long allocations = vbz_test::allocationCount() - before;
    state.counters["rt_factor"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["allocs/s"] = benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    if (allocations != 0) state.SkipWithError("the analysis allocated");
}

BENCHMARK_TEMPLATE(BM_AnalysisStereo48kHz, float)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_AnalysisStereo48kHz, double)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
