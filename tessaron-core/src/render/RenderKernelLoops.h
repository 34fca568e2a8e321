// The bodies of the render kernels, included by one source file per
// instruction set (RenderKernelsBaseline.cpp, RenderKernelsAvx2.cpp), each
// compiled with its own target flags; the compiler vectorises them for that
// target. The interpolation and the clamp are written by hand for each (the
// compilers make scalar loops of the first and blends of the second).
//
// Everything here has internal linkage and calls no template of the standard
// library: an inline function of one name built with two sets of flags would
// leave the linker free to keep either body for both sets, and the baseline
// set could end up running AVX2 instructions.
//
// Fused multiply-adds are written out where they are meant (the compiler
// fuses nothing on its own, -ffp-contract=off): every output then rounds the
// same way whatever the optimisation level and whichever lane or remainder
// loop computes it, so that a block split differently renders the same bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tsr::kernel_loops {
namespace {

constexpr double kEpsilon = 0.00001;

[[maybe_unused]] float interpolateOne(const float* src, double x) {
    const auto i = static_cast<int32_t>(x + kEpsilon);
    const double fraction = x - static_cast<double>(i);
#if defined(__SSE2__)
    // One instruction rather than a branch that the compiler would make of
    // the comparison, taken at random where x lies just below a sample.
    const float t = static_cast<float>(_mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(fraction), _mm_setzero_pd())));
#else
    const float t = static_cast<float>(fraction > 0.0 ? fraction : 0.0);
#endif
    const float s0 = src[i];
    const float s1 = src[i + 1];
#if defined(__FMA__)
    return std::fmaf(t, s1 - s0, s0);  // as the vector lanes compute it
#else
    return t * (s1 - s0) + s0;
#endif
}

[[maybe_unused]] void interpolate(const float* src, std::size_t length, double pos0, double ratio, float* out,
                                  std::size_t n) {
    std::size_t k = 0;
#if defined(__AVX2__) && defined(__FMA__)
    const __m256d r = _mm256_set1_pd(ratio);
    const __m256d eps = _mm256_set1_pd(kEpsilon);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d p0 = _mm256_set1_pd(pos0);
    const __m256d four = _mm256_set1_pd(4.0);
    const auto counts = [](std::size_t from) {
        const auto f = static_cast<double>(from);
        return _mm256_setr_pd(f, f + 1.0, f + 2.0, f + 3.0);
    };
    // Four outputs: their positions, the whole parts and the weights.
    struct Lanes {
        __m128i i;
        __m128 t;
    };
    const auto lanes = [&](__m256d kk) {
        const __m256d x = _mm256_add_pd(p0, _mm256_mul_pd(kk, r));
        const __m128i i = _mm256_cvttpd_epi32(_mm256_add_pd(x, eps));
        return Lanes{i, _mm256_cvtpd_ps(_mm256_max_pd(_mm256_sub_pd(x, _mm256_cvtepi32_pd(i)), zero))};
    };
    __m256d kk = counts(0);
    if (ratio <= 0.75) {
        // Four outputs lie within five samples: two loads and two in-register
        // picks instead of a gather, while those five are inside the source.
        for (; k + 4 <= n; k += 4) {
            const Lanes l = lanes(kk);
            const int32_t i0 = _mm_cvtsi128_si32(l.i);
            if (static_cast<std::size_t>(i0) + 4 >= length) break;
            const __m128i rel = _mm_sub_epi32(l.i, _mm_set1_epi32(i0));
            const __m128 s0 = _mm_permutevar_ps(_mm_loadu_ps(src + i0), rel);
            const __m128 s1 = _mm_permutevar_ps(_mm_loadu_ps(src + i0 + 1), rel);
            _mm_storeu_ps(out + k, _mm_fmadd_ps(l.t, _mm_sub_ps(s1, s0), s0));
            kk = _mm256_add_pd(kk, four);
        }
        kk = counts(k);
    }
    const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    for (; k + 4 <= n; k += 4) {
        const Lanes l = lanes(kk);
        // Each lane loads the pair (src[i], src[i + 1]) as one 64-bit element.
        const __m256i pairs = _mm256_i32gather_epi64(reinterpret_cast<const long long*>(src), l.i, 4);
        const __m256 both = _mm256_permutevar8x32_ps(_mm256_castsi256_ps(pairs), split);
        const __m128 s0 = _mm256_castps256_ps128(both);
        const __m128 s1 = _mm256_extractf128_ps(both, 1);
        _mm_storeu_ps(out + k, _mm_fmadd_ps(l.t, _mm_sub_ps(s1, s0), s0));
        kk = _mm256_add_pd(kk, four);
    }
#elif defined(__SSE2__)
    (void)length;
    // Four outputs per step: positions two by two, each pair of samples
    // loaded as one 64-bit element and the pairs split into s0 and s1.
    const __m128d r = _mm_set1_pd(ratio);
    const __m128d eps = _mm_set1_pd(kEpsilon);
    const __m128d zero = _mm_setzero_pd();
    const __m128d p0 = _mm_set1_pd(pos0);
    const __m128d four = _mm_set1_pd(4.0);
    __m128d k01 = _mm_setr_pd(0.0, 1.0);
    __m128d k23 = _mm_setr_pd(2.0, 3.0);
    for (; k + 4 <= n; k += 4) {
        const __m128d x01 = _mm_add_pd(p0, _mm_mul_pd(k01, r));
        const __m128d x23 = _mm_add_pd(p0, _mm_mul_pd(k23, r));
        const __m128i i01 = _mm_cvttpd_epi32(_mm_add_pd(x01, eps));
        const __m128i i23 = _mm_cvttpd_epi32(_mm_add_pd(x23, eps));
        const __m128 t01 = _mm_cvtpd_ps(_mm_max_pd(_mm_sub_pd(x01, _mm_cvtepi32_pd(i01)), zero));
        const __m128 t23 = _mm_cvtpd_ps(_mm_max_pd(_mm_sub_pd(x23, _mm_cvtepi32_pd(i23)), zero));
        const __m128 t = _mm_movelh_ps(t01, t23);
        const auto pair = [src](__m128i i) {
            return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + _mm_cvtsi128_si32(i)));
        };
        const __m128 lo = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(i01), pair(_mm_shuffle_epi32(i01, 1))));
        const __m128 hi = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(i23), pair(_mm_shuffle_epi32(i23, 1))));
        const __m128 s0 = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 s1 = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
        _mm_storeu_ps(out + k, _mm_add_ps(_mm_mul_ps(t, _mm_sub_ps(s1, s0)), s0));
        k01 = _mm_add_pd(k01, four);
        k23 = _mm_add_pd(k23, four);
    }
#else
    (void)length;
#endif
    for (; k < n; ++k) out[k] = interpolateOne(src, pos0 + static_cast<double>(k) * ratio);
}

// Counts go through int32 on their way to double: the conversion from a
// 64-bit count has no vector form before AVX-512.
[[maybe_unused]] void scaleByLine(float* x, std::size_t n, double a, double b) {
    constexpr std::size_t kChunk = std::size_t{1} << 30;
    for (std::size_t from = 0; from < n; from += kChunk) {
        const auto m = static_cast<int32_t>(n - from < kChunk ? n - from : kChunk);
        const double start = a + b * static_cast<double>(from);
        float* y = x + from;
        for (int32_t k = 0; k < m; ++k) y[k] *= static_cast<float>(start + b * static_cast<double>(k));
    }
}

[[maybe_unused]] void clampToFullScale(double* x, std::size_t n) {
    std::size_t k = 0;
    // By hand: the compiler keeps the comparisons as masks and blends rather
    // than minimum and maximum instructions, which it may not assume equal.
#if defined(__AVX2__) && defined(__FMA__)
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d minusOne = _mm256_set1_pd(-1.0);
    for (; k + 4 <= n; k += 4) {
        __m256d v = _mm256_loadu_pd(x + k);
        v = _mm256_and_pd(v, _mm256_cmp_pd(v, v, _CMP_EQ_OQ));  // NaN to 0
        _mm256_storeu_pd(x + k, _mm256_max_pd(_mm256_min_pd(v, one), minusOne));
    }
#elif defined(__SSE2__)
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d minusOne = _mm_set1_pd(-1.0);
    for (; k + 2 <= n; k += 2) {
        __m128d v = _mm_loadu_pd(x + k);
        v = _mm_and_pd(v, _mm_cmpeq_pd(v, v));  // NaN to 0
        _mm_storeu_pd(x + k, _mm_max_pd(_mm_min_pd(v, one), minusOne));
    }
#endif
    for (; k < n; ++k) {
        double v = x[k];
        v = v == v ? v : 0.0;
        v = v < 1.0 ? v : 1.0;
        x[k] = v > -1.0 ? v : -1.0;
    }
}

[[maybe_unused]] void mix(double* const* dst, const double* weight, std::size_t channels, const float* x,
                          std::size_t n) {
    for (std::size_t c = 0; c < channels; ++c) {
        double* __restrict d = dst[c];
        const double w = weight[c];
#if defined(__FMA__)
        for (std::size_t k = 0; k < n; ++k) d[k] = std::fma(static_cast<double>(x[k]), w, d[k]);
#else
        for (std::size_t k = 0; k < n; ++k) d[k] += static_cast<double>(x[k]) * w;
#endif
    }
}

}  // namespace
}  // namespace tsr::kernel_loops
