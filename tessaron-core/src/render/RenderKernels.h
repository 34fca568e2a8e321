// The inner loops of the render step, built twice: for baseline x86-64 and
// for AVX2 with FMA. The library cannot assume the machine it runs on, so the
// set is chosen once, when it loads, from the processor's features; tests
// choose either set so that both are checked on a machine that has both.
//
// Every kernel is a plain loop over a span whose edge cases the caller has
// already handled (indices in range, no filter, no end of source), so that it
// stays branch-free. The two sets agree up to rounding in the last bits.
//
// Threads: the kernels are pure functions of their arguments; the choice is
// an atomic pointer, read once per call site.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsr {

struct RenderKernels {
    // out[k] = linear interpolation of src (length samples) at x = pos0 +
    // k * ratio, for k in [0, n): with i the whole part of x + 1e-5 and
    // t = max(x - i, 0) as f32, t * (src[i + 1] - src[i]) + src[i] in f32.
    // The caller guarantees x + 1e-5 >= 0 and i + 1 < length < 2^31 for
    // every k.
    void (*interpolate)(const float* src, std::size_t length, double pos0, double ratio, float* out,
                        std::size_t n);
    // x[k] *= f32(a + b * k): a straight stretch of gain, envelope and level.
    void (*scaleByLine)(float* x, std::size_t n, double a, double b);
    // dst[c][k] += x[k] * weight[c] for the `channels` accumulators given.
    void (*mix)(double* const* dst, const double* weight, std::size_t channels, const float* x, std::size_t n);
    // To [-1, 1]; NaN becomes 0 (silence, not full scale).
    void (*clampToFullScale)(double* x, std::size_t n);
};

enum class RenderPath { Baseline, Avx2 };

// The kernels in use.
const RenderKernels& renderKernels();
RenderPath renderPath();
// Whether this processor runs the AVX2 set (always false off x86-64).
bool renderPathSupported(RenderPath path);
// For tests and benchmarks: uses the given set from now on; false (nothing
// changes) when the processor cannot run it.
bool selectRenderPath(RenderPath path);

// The two sets; the AVX2 one is null where it was not built.
extern const RenderKernels kBaselineKernels;
extern const RenderKernels* const kAvx2Kernels;

}  // namespace tsr
