// Cost of one PlaySample message on the sequencing thread: the worst sample
// the vest takes (20 vicinity keyframes of 3 spheres each) under all three
// mirror additions (8 combinations) and every move, so that each play weighs
// 480 sphere placements. Goal: 50 us per frame or less.
// Run: scripts/bench.sh --benchmark_filter=PlaySample
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "sequencer/Pattern.h"

namespace {

std::shared_ptr<vbz::seq::Pattern> worstSamplePattern() {
    using nlohmann::json;
    json keyframes = json::array();
    for (int k = 0; k < 20; ++k) {
        json spheres = json::array();
        for (int v = 0; v < 3; ++v) {
            spheres.push_back({{"position", {0.1039, -0.06 + 0.06 * v, -0.06}},
                               {"orientation", {0.9, 0.1, 0.3, 0.2}},
                               {"scale", {0.2, 0.15, 0.2}},
                               {"amplitude", 80}});
        }
        keyframes.push_back({{"timestamp", 0.05 * k}, {"vicinities", spheres}});
    }
    const json sample = {{"maxDuration", 1},  {"postDelay", 0},   {"preDelay", 0},  {"repeatCount", 1},
                         {"repeatSpat", true}, {"signalIndex", 12}, {"spatKeyframes", keyframes},
                         {"speed", 1},         {"startCrop", 0},   {"stopCrop", 0},   {"timestamp", 0},
                         {"volumeKeyframes", json::array()}};
    const json root = {{"duration", 1}, {"patternBoost", 10}, {"tracks", {{{"volume", 100}, {"samples", {sample}}}}}};
    int error = 0;
    return vbz::seq::Pattern::create(root.dump(), error);
}

// alternate: each play comes under another transform than the one before
// (as when effects of one pattern play with different headings), so every
// vicinity is weighed anew; otherwise the bytes of the last play are reused.
void playSample(benchmark::State& state, bool alternate) {
    auto pattern = worstSamplePattern();
    if (!pattern) {
        state.SkipWithError("pattern refused");
        return;
    }
    vbz::seq::SpatialBlock spatial[2];
    for (int i = 0; i < 2; ++i) {
        spatial[i].height = 0.03f;
        spatial[i].heading = 0.4f + 0.1f * static_cast<float>(i);
        spatial[i].tilt = 0.2f;
        spatial[i].frontBackAddition = spatial[i].rightLeftAddition = spatial[i].upDownAddition = true;
    }
    vbz::seq::PlayMessage message{};
    std::size_t n = 0;
    for (auto _ : state) {
        const auto& s = spatial[alternate ? (n++ & 1u) : 0];
        benchmark::DoNotOptimize(pattern->playSample(0, 0, 100.0f, 1.0f, false, 0.0f, s, 5, 0, true, message));
        benchmark::ClobberMemory();
    }
}

void BM_PlaySampleNewTransform(benchmark::State& state) { playSample(state, true); }
void BM_PlaySampleSameTransform(benchmark::State& state) { playSample(state, false); }
BENCHMARK(BM_PlaySampleNewTransform)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlaySampleSameTransform)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
