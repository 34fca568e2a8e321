// Load-time cost of the low-pass table and the per-block cost of resampling a
// bank row, filter off and on.
#include "tessaron-core/src/filter/LowPassTable.h"
#include "tessaron-core/src/filter/Resampler.h"
#include "tessaron-core/src/signal/SignalBank.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// The whole table as the library builds it while it loads.
void BM_BuildLowPassTable(benchmark::State& state) {
    for (auto _ : state) {
        tsr::LowPassTable table = tsr::buildLowPassTable();
        benchmark::DoNotOptimize(table);
    }
}
BENCHMARK(BM_BuildLowPassTable)->Unit(benchmark::kMicrosecond);

// One engine buffer of 256 outputs from row 96 (the longest), as a playback
// generator renders it; the argument is the output rate.
void BM_ResampleBlock(benchmark::State& state) {
    const double outputRate = static_cast<double>(state.range(0));
    const uint64_t row = 96;
    const uint64_t length = tsr::signalLength(row);
    std::vector<float> out(256);
    tsr::Resampler resampler;
    tsr::ResampleJob job;
    uint64_t read = 0;
    for (auto _ : state) {
        if (read + 1 >= length) {
            read = 0;
            resampler.reset();
        }
        job.setSource(tsr::signalSamples(row, read), length - read, false, 0.0f);
        job.setDestination(out.data(), out.size());
        job.setRatio(8000.0, outputRate);
        resampler.configure(outputRate, tsr::signalBandLow(row), tsr::signalBandHigh(row), job);
        benchmark::DoNotOptimize(resampler.process(job));
        read += job.consumed();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 256);
}
// 2000 Hz: filter off (Nyquist 1000 > 208 Hz); 400 Hz: low-pass at 200 Hz.
BENCHMARK(BM_ResampleBlock)->Arg(2000)->Arg(400);

}  // namespace

BENCHMARK_MAIN();
