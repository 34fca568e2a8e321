// Structured patterns through the engine: the input chooses every number of
// a pattern that passes validation (times, crops, speeds, repeat counts,
// volumes, keyframe positions, orientations and scales), extreme values
// included, then the play properties, the render rate and the block size.
// The pattern is loaded, played with those properties and rendered for a
// bounded number of blocks; every sample must stay within [-1, 1].
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "tessaron-core/src/spatial/Layout.h"
#include "tessaron-core/src/tsr/TessaronCore.h"

namespace {
using nlohmann::json;

constexpr int kBlocks = 16;

// A non-negative number, often an edge: 0, tiny, huge, or ordinary.
double nonNegative(FuzzedDataProvider& in, double ordinaryMax) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: return 0.0;
        case 1: return std::numeric_limits<double>::denorm_min();
        case 2: return in.ConsumeFloatingPointInRange<double>(0.0, 1e300);
        case 3: return std::numeric_limits<double>::max();
        default: return in.ConsumeFloatingPointInRange<double>(0.0, ordinaryMax);
    }
}

// Any finite number, often an edge.
double anyFinite(FuzzedDataProvider& in, double ordinary) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: return 0.0;
        case 1: return in.ConsumeBool() ? std::numeric_limits<double>::max()
                                        : std::numeric_limits<double>::lowest();
        case 2: return in.ConsumeFloatingPointInRange<double>(-1e300, 1e300);
        default: return in.ConsumeFloatingPointInRange<double>(-ordinary, ordinary);
    }
}

json vicinity(FuzzedDataProvider& in) {
    return {{"position", {anyFinite(in, 0.3), anyFinite(in, 0.3), anyFinite(in, 0.3)}},
            {"orientation", {anyFinite(in, 1.0), anyFinite(in, 1.0), anyFinite(in, 1.0),
                             anyFinite(in, 1.0)}},
            {"scale", {nonNegative(in, 0.3), nonNegative(in, 0.3), nonNegative(in, 0.3)}},
            {"amplitude", nonNegative(in, 100.0)}};
}

json sample(FuzzedDataProvider& in, double& timestamp) {
    json spat = json::array();
    const int keyframes = in.ConsumeIntegralInRange<int>(1, 4);
    double t = 0.0;
    for (int k = 0; k < keyframes; ++k) {
        json vicinities = json::array();
        const int count = in.ConsumeIntegralInRange<int>(0, 3);
        for (int v = 0; v < count; ++v) vicinities.push_back(vicinity(in));
        spat.push_back({{"timestamp", t}, {"vicinities", vicinities}});
        t += nonNegative(in, 2.0);
    }
    json volumes = json::array();
    const int volumeKeys = in.ConsumeIntegralInRange<int>(0, 4);
    double vt = 0.0;
    for (int k = 0; k < volumeKeys; ++k) {
        volumes.push_back({{"timestamp", vt}, {"volume", nonNegative(in, 100.0)}});
        vt += nonNegative(in, 2.0);
    }
    const double maxDuration = nonNegative(in, 3.0);
    json s = {{"timestamp", timestamp},
              {"signalIndex", in.ConsumeIntegralInRange<unsigned>(0, 260)},
              {"startCrop", nonNegative(in, 2.0)},
              {"stopCrop", nonNegative(in, 3.0)},
              {"speed", nonNegative(in, 4.0)},
              {"preDelay", nonNegative(in, 1.0)},
              {"postDelay", nonNegative(in, 1.0)},
              {"repeatCount", in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>()
                                               : in.ConsumeIntegralInRange<uint32_t>(0, 4)},
              {"maxDuration", maxDuration},
              {"repeatSpat", in.ConsumeBool()},
              {"volumeKeyframes", volumes},
              {"spatKeyframes", spat}};
    // The next sample may not start before this one's cut-off.
    timestamp += maxDuration + nonNegative(in, 1.0);
    return s;
}

json pattern(FuzzedDataProvider& in) {
    json tracks = json::array();
    const int trackCount = in.ConsumeIntegralInRange<int>(1, 3);
    for (int t = 0; t < trackCount; ++t) {
        json samples = json::array();
        double timestamp = nonNegative(in, 1.0);
        const int sampleCount = in.ConsumeIntegralInRange<int>(1, 3);
        for (int s = 0; s < sampleCount; ++s) samples.push_back(sample(in, timestamp));
        tracks.push_back({{"volume", nonNegative(in, 100.0)}, {"samples", samples}});
    }
    json p = {{"duration", nonNegative(in, 5.0)}, {"tracks", tracks}};
    if (in.ConsumeBool()) p["patternBoost"] = anyFinite(in, 100.0);
    return p;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static tsr::TessaronCore core(tsr::makeDefaultLayout(), 2000.0, 128);
    const std::string text = pattern(in).dump();
    const int id = core.pattern_load_from_vpt(text, -1);
    if (id < 0) return 0;

    core.config_sample_rate_set(in.ConsumeFloatingPointInRange<double>(1.0, 192000.0));
    core.config_buffer_size_set(in.ConsumeIntegralInRange<std::size_t>(1, 512));
    core.config_global_boost_set(anyFinite(in, 2.0));
    const int sequence = core.sequence_new(id, true, -1);
    if (sequence >= 0) {
        core.property_volume_set(sequence, nonNegative(in, 2.0));
        core.property_speed_set(sequence, nonNegative(in, 4.0));
        core.property_repeat_count_set(sequence, in.ConsumeIntegral<unsigned>());
        core.property_repeat_delay_set(sequence, nonNegative(in, 1.0));
        core.property_max_duration_set(sequence, nonNegative(in, 3.0));
        core.property_boost_set(sequence, anyFinite(in, 1.0));
        if (tsr::SpatialProperties* spatial = core.sequence_properties_get(sequence)) {
            spatial->setTranslation(anyFinite(in, 1.0), anyFinite(in, 1.0), anyFinite(in, 1.0));
            spatial->setRotation(anyFinite(in, 7.0), anyFinite(in, 7.0), anyFinite(in, 7.0));
            spatial->setRightLeftInversion(in.ConsumeBool());
            spatial->setUpDownAddition(in.ConsumeBool());
            spatial->setFrontBackInversion(in.ConsumeBool());
        }
        if (core.sequence_play(sequence, nonNegative(in, 0.05), 0.0) == 0) {
            for (int b = 0; b < kBlocks; ++b) {
                core.render_buffer();
                for (const auto& buffer : core.buffers_get())
                    for (const double v : buffer)
                        if (!(v >= -1.0 && v <= 1.0)) __builtin_trap();
            }
        }
        core.sequence_stop(sequence, 0.0);
        core.render_buffer();
    }
    core.pattern_unload(id);
    // Back to the defaults for the next input.
    core.config_sample_rate_set(2000.0);
    core.config_buffer_size_set(128);
    core.config_global_boost_set(0.0);
    return 0;
}
