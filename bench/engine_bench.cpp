// Cost of the engine's render step with N sequences of a realistic pattern:
// one endlessly repeated sample of the bank with a volume envelope and four
// keyframes of sphere vicinities moving round the vest (capsule layout, 20
// actuators), the sequences started at spread delays so that they are not in
// step. Two settings: 48 kHz in buffers of 512 frames (audio output) and
// 2 kHz in buffers of 25 frames (the vest's stream); two kernel paths:
// baseline x86-64 (path 0) and AVX2 with FMA (path 1, skipped where the
// processor lacks it).
//
// Counters: effect_frames/s (sequence frames rendered per second), rt_effects
// (sequences that one core renders in real time), reference_frames/s (the
// reference loop of ReferenceLoop.h, built for the same path, on the same N
// and buffer, measured in the same run), fraction (effect_frames over
// reference_frames) and allocs/render (heap allocations per render_buffer in
// the steady state; must be 0).
//
//   bash scripts/bench.sh --benchmark_filter=Render
//   build/release/bench/engine_bench --benchmark_filter=Render48kHz512/1000
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "bench/ReferenceLoop.h"
#include "tessaron-core/src/render/RenderKernels.h"
#include "tessaron-core/src/signal/SignalBank.h"
#include "tessaron-core/src/tsr/TessaronCore.h"
#include "tests/support/CountingAllocator.h"
#include "tests/support/StreamPatterns.h"

namespace {

using Clock = std::chrono::steady_clock;

// The bank row and crop of the benchmark's pattern (StreamPatterns.h).
constexpr uint64_t kRow = 12;

// Effect-frames per second of the reference loop for n effects in buffers of
// `frames` at `rate`, on the loop built for `path`; about a tenth of a second
// of measurement.
double referenceRate(tsr::RenderPath path, int n, double rate, std::size_t frames) {
    const bench_reference::RenderFn loop =
        path == tsr::RenderPath::Avx2 ? bench_reference::avx2Loop() : bench_reference::baselineLoop();
    if (!loop) return 0.0;
    std::vector<bench_reference::Effect> effects(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        auto& fx = effects[static_cast<std::size_t>(k)];
        fx.source = tsr::signalSamples(kRow, 800);
        fx.length = 8000;
        fx.position = 37.3 * k - 8000.0 * static_cast<int>(37.3 * k / 8000.0);
        fx.ratio = 8000.0 / rate;
        fx.gain = 0.8f;
        for (std::size_t c = 0; c < bench_reference::kActuators; ++c) fx.weights[c] = 0.05 * static_cast<double>(c);
    }
    std::vector<std::vector<double>> acc(bench_reference::kActuators, std::vector<double>(frames, 0.0));
    std::vector<double*> rows;
    for (auto& a : acc) rows.push_back(a.data());
    std::vector<float> scratch(frames);
    const auto start = Clock::now();
    long blocks = 0;
    double elapsed = 0.0;
    do {
        for (int r = 0; r < 8; ++r, ++blocks) loop(effects.data(), effects.size(), rows.data(), scratch.data(), frames);
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < 0.1);
    benchmark::DoNotOptimize(acc[0].data());
    return static_cast<double>(blocks) * static_cast<double>(n) * static_cast<double>(frames) / elapsed;
}

void renderSequences(benchmark::State& state, double rate, std::size_t frames) {
    const int n = static_cast<int>(state.range(0));
    const auto path = state.range(1) == 1 ? tsr::RenderPath::Avx2 : tsr::RenderPath::Baseline;
    const tsr::RenderPath before = tsr::renderPath();
    if (!tsr::selectRenderPath(path)) {
        state.SkipWithError("this processor has no AVX2 with FMA");
        return;
    }
    tsr::TessaronCore core(tsr::makeDefaultLayout(), rate, frames);
    const int pattern = core.pattern_load_from_vpt(vbz_test::endlessPattern(*core.layout_get()), -1);
    for (int k = 0; k < n; ++k) {
        const int id = core.sequence_new(pattern, true, -1);
        // Spread the sequences in time by their start delays: an endless
        // pattern restarts from its beginning whatever the play time.
        core.sequence_play(id, 0.0, 0.00137 * k);
    }
    // Warm-up until the last sequence has started and gone over two passes
    // of the pattern: work buffers reach their sizes and every keyframe has
    // sized its weight caches.
    const int warmUp = static_cast<int>((2.0 + 0.00137 * n) * rate / static_cast<double>(frames)) + 1;
    for (int k = 0; k < warmUp; ++k) core.render_buffer();
    if (core.sequences().size() != static_cast<std::size_t>(n)) state.SkipWithError("a sequence ended");

    const double reference = referenceRate(path, n, rate, frames);

    const long allocationsBefore = vbz_test::allocationCount();
    const auto start = Clock::now();
    for (auto _ : state) {
        core.render_buffer();
        benchmark::DoNotOptimize(core.buffers_get()[0].data());
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const long allocations = vbz_test::allocationCount() - allocationsBefore;
    tsr::selectRenderPath(before);

    const double effectFrames = static_cast<double>(n) * static_cast<double>(frames);
    const double seconds = static_cast<double>(frames) / rate;
    state.counters["effect_frames"] = benchmark::Counter(effectFrames, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["rt_effects"] =
        benchmark::Counter(static_cast<double>(n) * seconds, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["reference_frames"] = reference;
    const double measured = effectFrames * static_cast<double>(state.iterations()) / elapsed;
    state.counters["fraction"] = reference > 0.0 ? measured / reference : 0.0;
    state.counters["allocs/render"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    if (allocations != 0) state.SkipWithError("steady-state rendering allocated");
}

void BM_Render48kHz512(benchmark::State& state) { renderSequences(state, 48000.0, 512); }
void BM_Render2kHz25(benchmark::State& state) { renderSequences(state, 2000.0, 25); }

void paths(benchmark::internal::Benchmark* b) {
    b->ArgNames({"N", "avx2"});
    for (int path : {0, 1}) {
        for (int n : {1, 10, 100, 1000}) b->Args({n, path});
    }
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Render48kHz512)->Apply(paths);
BENCHMARK(BM_Render2kHz25)->Apply(paths);

}  // namespace
BENCHMARK_MAIN();
