// The reference of the render benchmark: the least work that rendering N
// effects into 20 actuators needs, written plainly. Per effect and output
// frame: one bank sample read with linear interpolation, a gain, and an add
// into each of the 20 accumulators. No envelope, no spatialisation, no
// repetition, no edge cases. The same loop is built for baseline x86-64 and
// for AVX2 with FMA (reference_loop_*.cpp), so the engine's render step on
// either path is compared with what that instruction set allows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bench_reference {

inline constexpr std::size_t kActuators = 20;

struct Effect {
    const float* source;
    uint64_t length;  // at least 2
    double position;
    double ratio;
    float gain;
    double weights[kActuators];
};

// Adds `frames` frames of every effect into acc[0..19][0..frames), using
// scratch (frames floats) for the effect's signal, and moves every effect on.
using RenderFn = void (*)(Effect* effects, std::size_t count, double* const* acc, float* scratch,
                          std::size_t frames);

RenderFn baselineLoop();
// Null where the AVX2 loop was not built.
RenderFn avx2Loop();

}  // namespace bench_reference

// The loop itself, for the two files that build it. The interpolation is
// the engine's own kernel (the best the instruction set gives, a gather of
// sample pairs on AVX2), so that the comparison measures everything else.
#ifdef VBZ_REFERENCE_LOOP_BODY
#include "tessaron-core/src/render/RenderKernelLoops.h"

namespace bench_reference {
namespace {
// Frames per sub-block: the 20 accumulators' stretch (20 KB) stays in L1
// while every effect adds into it.
constexpr std::size_t kSubBlock = 128;

void renderReference(Effect* effects, std::size_t count, double* const* acc, float* scratch, std::size_t frames) {
    for (std::size_t from = 0; from < frames; from += kSubBlock) {
        const std::size_t m = frames - from < kSubBlock ? frames - from : kSubBlock;
        for (std::size_t e = 0; e < count; ++e) {
            const Effect& fx = effects[e];
            const float* src = fx.source;
            const double start = fx.position + static_cast<double>(from) * fx.ratio;
            tsr::kernel_loops::interpolate(src, fx.length, start, fx.ratio, scratch, m);
            for (std::size_t k = 0; k < m; ++k) scratch[k] *= fx.gain;
            for (std::size_t c = 0; c < kActuators; ++c) {
                double* __restrict d = acc[c] + from;
                const double w = fx.weights[c];
                for (std::size_t k = 0; k < m; ++k) d[k] += static_cast<double>(scratch[k]) * w;
            }
        }
    }
    for (std::size_t e = 0; e < count; ++e) {
        Effect& fx = effects[e];
        fx.position += static_cast<double>(frames) * fx.ratio;
        // Back to the start before the next block could read past the end.
        if (fx.position + static_cast<double>(frames) * fx.ratio + 2.0 >= static_cast<double>(fx.length)) {
            fx.position = 0.0;
        }
    }
}
}  // namespace
}  // namespace bench_reference
#endif
