// The bodies of the render kernels, included by one source file per
// instruction set (RenderKernelsBaseline.cpp, RenderKernelsAvx2.cpp), each
// compiled with its own target flags; the compiler vectorises them for that
// target. Only the interpolation has an AVX2 form by hand (a gather of
// sample pairs), the compilers' own vectorisation of it being poor.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#endif

namespace tsr::kernel_loops {

inline constexpr double kEpsilon = 0.00001;

inline float interpolateOne(const float* src, double x) {
    const auto i = static_cast<int32_t>(x + kEpsilon);
    const float t = static_cast<float>(std::max(x - static_cast<double>(i), 0.0));
    const float s0 = src[i];
    const float s1 = src[i + 1];
    return t * (s1 - s0) + s0;
}

inline void interpolate(const float* src, double pos0, double ratio, float* out, std::size_t n) {
    std::size_t k = 0;
#if defined(__AVX2__) && defined(__FMA__)
    const __m256d r = _mm256_set1_pd(ratio);
    const __m256d eps = _mm256_set1_pd(kEpsilon);
    const __m256d zero = _mm256_setzero_pd();
    const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    __m256d kk = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
    const __m256d p0 = _mm256_set1_pd(pos0);
    const __m256d four = _mm256_set1_pd(4.0);
    for (; k + 4 <= n; k += 4) {
        const __m256d x = _mm256_add_pd(p0, _mm256_mul_pd(kk, r));
        const __m128i i = _mm256_cvttpd_epi32(_mm256_add_pd(x, eps));
        const __m128 t = _mm256_cvtpd_ps(_mm256_max_pd(_mm256_sub_pd(x, _mm256_cvtepi32_pd(i)), zero));
        // Each lane loads the pair (src[i], src[i + 1]) as one 64-bit element.
        const __m256i pairs = _mm256_i32gather_epi64(reinterpret_cast<const long long*>(src), i, 4);
        const __m256 split8 = _mm256_permutevar8x32_ps(_mm256_castsi256_ps(pairs), split);
        const __m128 s0 = _mm256_castps256_ps128(split8);
        const __m128 s1 = _mm256_extractf128_ps(split8, 1);
        _mm_storeu_ps(out + k, _mm_fmadd_ps(t, _mm_sub_ps(s1, s0), s0));
        kk = _mm256_add_pd(kk, four);
    }
#endif
    for (; k < n; ++k) out[k] = interpolateOne(src, pos0 + static_cast<double>(k) * ratio);
}

inline void scaleByLine(float* x, std::size_t n, double a, double b) {
    for (std::size_t k = 0; k < n; ++k) x[k] *= static_cast<float>(a + b * static_cast<double>(k));
}

inline void mix(double* const* dst, const double* weight, std::size_t channels, const float* x, std::size_t n) {
    for (std::size_t c = 0; c < channels; ++c) {
        double* __restrict d = dst[c];
        const double w = weight[c];
        for (std::size_t k = 0; k < n; ++k) d[k] += static_cast<double>(x[k]) * w;
    }
}

}  // namespace tsr::kernel_loops
