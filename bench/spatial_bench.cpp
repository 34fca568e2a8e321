// Cost of the keyframe spatialiser per render call: the cached case (nothing
// changed, the usual one) and a full recomputation after a property change.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "tessaron-core/src/spatial/Spatialiser.h"

namespace {
nlohmann::json twoSphereSample() {
    const nlohmann::json sphere = {{"position", {0.1, 0.0, 0.0}},
                                   {"orientation", {1, 0, 0, 0}},
                                   {"scale", {0.2, 0.2, 0.2}},
                                   {"amplitude", 100}};
    nlohmann::json keyframes = nlohmann::json::array();
    for (int k = 0; k < 4; ++k) keyframes.push_back({{"timestamp", 0.25 * k}, {"vicinities", {sphere, sphere}}});
    return {{"spatKeyframes", keyframes}, {"repeatSpat", true}};
}

void BM_SpatialiserCached(benchmark::State& state) {
    tsr::LayoutVibrenzaCapsule vest;
    tsr::SpatialProperties props;
    tsr::Spatialiser sp(twoSphereSample());
    sp.compute(vest, props, 0.0, 0.0);
    props.setDirty(false);
    double t = 0.0;
    for (auto _ : state) {
        t += 512.0 / 48000.0;
        benchmark::DoNotOptimize(sp.compute(vest, props, t, 0.1));
    }
}
BENCHMARK(BM_SpatialiserCached);

void BM_SpatialiserRecomputeAllMirrors(benchmark::State& state) {
    tsr::LayoutVibrenzaCapsule vest;
    tsr::SpatialProperties props;
    props.setFrontBackAddition(true);
    props.setUpDownAddition(true);
    props.setRightLeftAddition(true);
    props.setRotation(0.0, 0.5, 0.2);
    props.setTranslation(0.0, 0.05, 0.0);
    tsr::Spatialiser sp(twoSphereSample());
    double t = 0.0;
    for (auto _ : state) {
        t += 512.0 / 48000.0;
        props.setDirty(true);
        benchmark::DoNotOptimize(sp.compute(vest, props, t, 0.0));
    }
}
BENCHMARK(BM_SpatialiserRecomputeAllMirrors);
}  // namespace
BENCHMARK_MAIN();
