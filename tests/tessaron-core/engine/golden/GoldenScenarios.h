// The render scenarios of the golden comparison, shared by the tool that
// records their output (make_render_golden) and the test that compares the
// engine against the recording (RenderGolden_test). A scenario builds an
// engine, loads patterns and plays sequences, then renders a number of
// buffers, acting on the engine before some of them (stops with fades,
// property and boost changes). Together they pass through moving vicinities,
// envelopes and fades, repetitions and delays, synchronised rows, several
// output rates, and the anti-alias low-pass both active and muted (low
// effect rates from high speeds).
//
// Changing a scenario changes what is rendered: record the golden file
// again with the tool (see make_render_golden.cpp) from a build whose render
// step is trusted.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tessaron-core/src/signal/EngineClock.h"
#include "tessaron-core/src/signal/SignalBank.h"
#include "tessaron-core/src/signal/SignalSyncTable.h"
#include "tessaron-core/src/tsr/TessaronCore.h"
#include "tests/tessaron-core/engine/EngineTestSupport.h"

namespace golden {

struct Scenario {
    std::string name;
    double rate;
    std::size_t frames;
    int buffers;
    // Every keepEvery-th buffer is recorded and compared (all are rendered).
    int keepEvery;
    // Called once before the first render.
    std::function<void(tsr::TessaronCore&)> setUp;
    // Called before render k (k from 0); may be empty.
    std::function<void(tsr::TessaronCore&, int)> beforeRender;
};

// Sphere keyframes going round the actuators given, `step` seconds apart.
inline nlohmann::json movingSpheres(const tsr::ILayout& layout, const std::vector<int>& actuators, double step,
                                    double scale, double amplitude) {
    const auto& pos = layout.positions();
    nlohmann::json keyframes = nlohmann::json::array();
    for (std::size_t k = 0; k < actuators.size(); ++k) {
        const int a = actuators[k];
        keyframes.push_back({{"timestamp", step * static_cast<double>(k)},
                             {"vicinities",
                              {{{"position", {pos(0, a), pos(1, a), pos(2, a)}},
                                {"orientation", {1, 0, 0, 0}},
                                {"scale", {scale, scale, scale}},
                                {"amplitude", amplitude}}}}});
    }
    return keyframes;
}

inline nlohmann::json envelope(std::initializer_list<std::pair<double, double>> points) {
    nlohmann::json keys = nlohmann::json::array();
    for (const auto& [t, v] : points) keys.push_back({{"timestamp", t}, {"volume", v}});
    return keys;
}

// Sequences of one pattern, started at spread times and latencies.
inline void playSpread(tsr::TessaronCore& core, const std::string& text, int count, double playStep,
                       double latencyStep) {
    const int pattern = core.pattern_load_from_vpt(text, -1);
    for (int k = 0; k < count; ++k) {
        const int id = core.sequence_new(pattern, true, -1);
        core.sequence_play(id, playStep * k, latencyStep * (k % 5));
    }
}

// The pattern of the engine benchmark and the streaming tests, in several
// variants: a long endlessly repeated crop of a row with a rising envelope and
// spheres moving round the vest.
inline std::string movingPattern(const tsr::ILayout& layout, uint64_t row, double speed, bool synchronised) {
    engine_test::SampleSpec s;
    s.signalIndex = row | (synchronised ? 0x10000u : 0u);
    s.startCrop = 0.1;
    s.stopCrop = 1.1;
    s.postDelay = 0.05;
    s.repeatCount = 0;
    s.speed = speed;
    s.repeatSpat = true;
    s.spatKeyframes = movingSpheres(layout, {0, 6, 13, 19}, 0.25, 0.12, 100);
    s.volumeKeyframes = envelope({{0.0, 40}, {0.5, 100}});
    return engine_test::patternText(s);
}

inline std::vector<Scenario> scenarios() {
    std::vector<Scenario> list;

    // Many sequences of moving spheres at the audio output's shape, some
    // synchronised, with a fade-out and property changes on the way.
    const auto moving = [](tsr::TessaronCore& core) {
        const tsr::ILayout& layout = *core.layout_get();
        playSpread(core, movingPattern(layout, 12, 1.0, false), 12, 0.0731, 0.0007);
        playSpread(core, movingPattern(layout, 0, 1.3, true), 4, 0.11, 0.0);
        playSpread(core, movingPattern(layout, 7, 0.8, false), 4, 0.2, 0.0013);
    };
    const auto movingActions = [](tsr::TessaronCore& core, int k) {
        if (k == 5) core.sequence_stop(0, 0.02);
        if (k == 7) {
            core.property_volume_set(3, 0.5);
            core.property_speed_set(4, 1.7);
            if (tsr::SpatialProperties* p = core.sequence_properties_get(5)) {
                p->setRotation(0.0, 0.7, 0.1);
                p->setDirty(true);
            }
        }
        if (k == 11) core.property_boost_set(6, 0.4);
    };
    list.push_back({"moving 48 kHz x 512", 48000.0, 512, 24, 4, moving, movingActions});
    list.push_back({"moving 2 kHz x 25", 2000.0, 25, 240, 6, moving,
                    [movingActions](tsr::TessaronCore& core, int k) { movingActions(core, k / 10); }});
    list.push_back({"moving 44.1 kHz x 300", 44100.0, 300, 16, 5, moving, movingActions});

    // Effect rates below twice the band's upper edge: the low-pass runs
    // (rows 0, 11, 16 at 500 to 800 Hz) or mutes (row 9 at 250 Hz, whose band
    // starts above its 125 Hz Nyquist frequency), across block boundaries.
    const auto filtered = [](tsr::TessaronCore& core) {
        const tsr::ILayout& layout = *core.layout_get();
        playSpread(core, movingPattern(layout, 0, 3.0, false), 3, 0.05, 0.0);
        playSpread(core, movingPattern(layout, 11, 2.5, false), 3, 0.21, 0.001);
        playSpread(core, movingPattern(layout, 16, 4.0, true), 2, 0.0, 0.0);
        playSpread(core, movingPattern(layout, 9, 8.0, false), 1, 0.0, 0.0);
        engine_test::SampleSpec s;  // weights keyframes, one row, no repetition
        s.signalIndex = 1;
        s.stopCrop = 2.0;
        s.speed = 2.0;
        s.actuator = 3;
        const int pattern = core.pattern_load_from_vpt(engine_test::patternText(s), -1);
        const int id = core.sequence_new(pattern, true, -1);
        core.sequence_play(id, 0.0, 0.0);
        core.property_speed_set(id, 1.5);
    };
    list.push_back({"low-pass 2 kHz x 25", 2000.0, 25, 200, 4, filtered,
                    [](tsr::TessaronCore& core, int k) {
                        if (k == 120) core.property_speed_set(0, 1.2);  // a rate change mid-play
                    }});
    list.push_back({"low-pass 8 kHz x 64", 8000.0, 64, 90, 5, filtered, {}});

    // Envelopes of several segments, fades of sequences and of everything.
    const auto fades = [](tsr::TessaronCore& core) {
        engine_test::SampleSpec s;
        s.signalIndex = 3;
        s.startCrop = 0.3;
        s.stopCrop = 1.4;
        s.volumeKeyframes = envelope({{0.0, 0}, {0.05, 100}, {0.2, 30}, {0.6, 80}, {0.9, 0}});
        s.spatKeyframes = movingSpheres(*core.layout_get(), {2, 9, 17}, 0.3, 0.2, 70);
        playSpread(core, engine_test::patternText(s, 20.0), 6, 0.09, 0.003);
        s.signalIndex = 20;
        s.volumeKeyframes = envelope({{0.1, 100}, {0.15, 10}});
        s.spatKeyframes = nullptr;
        s.actuator = 11;
        playSpread(core, engine_test::patternText(s), 3, 0.0, 0.01);
    };
    list.push_back({"fades 48 kHz x 512", 48000.0, 512, 30, 5, fades,
                    [](tsr::TessaronCore& core, int k) {
                        if (k == 4) core.sequence_stop(1, 0.05);
                        if (k == 6) core.sequence_stop(2, 0.0);
                        if (k == 9) core.config_global_boost_set(0.3);
                        if (k == 12) core.stop_all(0.1);
                    }});
    list.push_back({"fades 2 kHz x 25", 2000.0, 25, 100, 4, fades,
                    [](tsr::TessaronCore& core, int k) {
                        if (k == 30) core.sequence_stop(1, 0.05);
                        if (k == 60) core.stop_all(0.2);
                    }});

    // Repetitions with pre- and post-delays and cut-offs, several samples in
    // a track, several tracks, sequence repetitions and a held sequence.
    const auto repetitions = [](tsr::TessaronCore& core) {
        engine_test::SampleSpec a;
        a.signalIndex = 22;
        a.preDelay = 0.01;
        a.postDelay = 0.03;
        a.repeatCount = 3;
        a.actuator = 1;
        a.volumeKeyframes = envelope({{0.0, 100}, {0.2, 50}});
        engine_test::SampleSpec b;
        b.signalIndex = 27;
        b.timestamp = 0.5;
        b.maxDuration = 0.2;
        b.repeatCount = 0;
        b.postDelay = 0.02;
        b.actuator = 8;
        engine_test::SampleSpec c;
        c.signalIndex = 18;
        c.startCrop = 0.05;
        c.stopCrop = 0.2;
        c.repeatCount = 5;
        c.speed = 0.7;
        c.spatKeyframes = movingSpheres(*core.layout_get(), {4, 15}, 0.1, 0.3, 90);
        c.repeatSpat = true;
        const int pattern = core.pattern_load_from_vpt(engine_test::patternText({{a, b}, {c}}), -1);
        for (int k = 0; k < 4; ++k) {
            const int id = core.sequence_new(pattern, k != 3, -1);
            if (k == 1) {
                core.property_repeat_count_set(id, 3);
                core.property_repeat_delay_set(id, 0.05);
            }
            if (k == 2) core.property_max_duration_set(id, 0.45);
            core.sequence_play(id, 0.04 * k, 0.002 * k);
        }
    };
    list.push_back({"repetitions 8 kHz x 100", 8000.0, 100, 150, 10, repetitions, {}});
    list.push_back({"repetitions 2 kHz x 25", 2000.0, 25, 160, 5, repetitions, {}});
    return list;
}

// Runs one scenario, handing every kept buffer (one vector per actuator) to
// `keep`. The process-wide clock and table of shared phases start afresh, so
// a scenario renders the same wherever it runs.
inline void runScenario(const Scenario& s, const std::function<void(int, const tsr::ActuatorBuffers&)>& keep) {
    tsr::resetEngineClockForTesting();
    tsr::clearSignalSyncTableForTesting();
    tsr::TessaronCore core(tsr::makeDefaultLayout(), s.rate, s.frames);
    s.setUp(core);
    for (int k = 0; k < s.buffers; ++k) {
        if (s.beforeRender) s.beforeRender(core, k);
        core.render_buffer();
        if (k % s.keepEvery == 0) keep(k, core.buffers_get());
    }
}

// FNV-1a over every sample of the bank: golden data recorded from another
// bank (the recorded assets instead of the stand-ins) cannot be compared.
inline uint64_t bankFingerprint() {
    uint64_t hash = 14695981039346656037ull;
    for (uint64_t row = 0; row < tsr::signalBankCount(); ++row) {
        const uint64_t n = tsr::signalLength(row);
        if (n == 0) continue;
        const auto* bytes = reinterpret_cast<const unsigned char*>(tsr::signalSamples(row, 0));
        for (uint64_t i = 0; i < n * sizeof(float); ++i) {
            hash ^= bytes[i];
            hash *= 1099511628211ull;
        }
    }
    return hash;
}

}  // namespace golden
