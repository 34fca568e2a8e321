// Cost of loading a pattern text (tsr::loadPatternFromJson: parse, checks and
// the count of simultaneous samples) as the track count grows. Each track
// holds two samples at staggered times, so the merge of the tracks' start and
// end times has real work to do.
//
// Counters: bytes/s (text read per second), ns/byte (the figure that stays
// flat when the load is linear in the text size) and tracks.
//
//   bash scripts/bench.sh --benchmark_filter=LoadPattern
//   build/release/bench/pattern_bench
#include <benchmark/benchmark.h>

#include <string>

#include "tessaron-core/src/pattern/PatternLoader.h"

namespace {

std::string sampleText(double timestamp) {
    return "{\"maxDuration\":0.05,\"postDelay\":0,\"preDelay\":0,\"repeatCount\":1,\"repeatSpat\":false,"
           "\"signalIndex\":3,\"speed\":1,\"startCrop\":0,\"stopCrop\":0,\"timestamp\":" +
           std::to_string(timestamp) +
           ",\"spatKeyframes\":[{\"timestamp\":0,\"weights\":[1,0,0.5]}],\"volumeKeyframes\":[]}";
}

std::string patternText(int tracks) {
    std::string text = "{\"duration\":10,\"patternBoost\":0,\"tracks\":[";
    for (int t = 0; t < tracks; ++t) {
        if (t > 0) text += ',';
        const double start = 0.001 * (t % 997);
        text += "{\"volume\":100,\"samples\":[" + sampleText(start) + ',' + sampleText(start + 0.1) + "]}";
    }
    text += "]}";
    return text;
}

void BM_LoadPattern(benchmark::State& state) {
    const int tracks = static_cast<int>(state.range(0));
    const std::string text = patternText(tracks);
    for (auto _ : state) {
        tsr::PatternEntry entry = tsr::loadPatternFromJson(text.c_str());
        if (!entry.ok) state.SkipWithError("the pattern did not load");
        benchmark::DoNotOptimize(entry.maxSimultaneousSamples);
    }
    const double bytes = static_cast<double>(text.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["tracks"] = tracks;
    state.counters["ns/byte"] = benchmark::Counter(bytes * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                                     benchmark::Counter::kInvert);
}

BENCHMARK(BM_LoadPattern)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
