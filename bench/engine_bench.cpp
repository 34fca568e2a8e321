// Cost of the engine's render step with N sequences of a realistic pattern:
// one endlessly repeated sample of the bank with a volume envelope and four
// keyframes of sphere vicinities moving round the vest (capsule layout, 20
// actuators). Two settings: 48 kHz in buffers of 512 frames (audio output)
// and 2 kHz in buffers of 25 frames (the vest's stream).
//
// Counters: effect_frames/s (sequence frames rendered per second), rt_factor
// (seconds of output rendered per second of CPU), rt_effects (sequences that
// one core renders in real time: N x rt_factor) and allocs/render (heap
// allocations per render_buffer in the steady state; must be 0).
//
//   bash scripts/bench.sh --benchmark_filter=Render
//   build/release/bench/engine_bench
#include <benchmark/benchmark.h>

#include "tessaron-core/src/tsr/TessaronCore.h"
#include "tests/support/CountingAllocator.h"
#include "tests/support/StreamPatterns.h"

namespace {

void renderSequences(benchmark::State& state, double rate, std::size_t frames) {
    const int n = static_cast<int>(state.range(0));
    tsr::TessaronCore core(tsr::makeDefaultLayout(), rate, frames);
    const int pattern = core.pattern_load_from_vpt(vbz_test::endlessPattern(*core.layout_get()), -1);
    for (int k = 0; k < n; ++k) {
        const int id = core.sequence_new(pattern, true, -1);
        // Spread the sequences over the pattern so they are not in step.
        core.sequence_play(id, 0.00137 * k, 0.0);
    }
    // Warm-up over two passes of the pattern: work buffers reach their sizes
    // and every keyframe has sized its weight caches.
    const int warmUp = static_cast<int>(2.0 * rate / static_cast<double>(frames)) + 1;
    for (int k = 0; k < warmUp; ++k) core.render_buffer();
    if (core.sequences().size() != static_cast<std::size_t>(n)) state.SkipWithError("a sequence ended");

    const long before = vbz_test::allocationCount();
    for (auto _ : state) {
        core.render_buffer();
        benchmark::DoNotOptimize(core.buffers_get()[0].data());
    }
    const long allocations = vbz_test::allocationCount() - before;

    const double seconds = static_cast<double>(frames) / rate;
    state.counters["effect_frames"] =
        benchmark::Counter(static_cast<double>(n) * static_cast<double>(frames), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["rt_factor"] = benchmark::Counter(seconds, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["rt_effects"] =
        benchmark::Counter(static_cast<double>(n) * seconds, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["allocs/render"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    if (allocations != 0) state.SkipWithError("steady-state rendering allocated");
}

void BM_Render48kHz512(benchmark::State& state) { renderSequences(state, 48000.0, 512); }
void BM_Render2kHz25(benchmark::State& state) { renderSequences(state, 2000.0, 25); }

BENCHMARK(BM_Render48kHz512)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Render2kHz25)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
