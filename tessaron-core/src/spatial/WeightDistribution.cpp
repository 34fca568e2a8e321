#include "tessaron-core/src/spatial/WeightDistribution.h"

#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tsr {
namespace {
// Half-width of the edge in units of the Gaussian's standard deviation: the
// edge ends where the cubic is close to its root.
constexpr double kEdgeSpan = 1.7858;

double edgeCoefficient(float inner, float outer) {
    const float width = outer - inner;
    if (width == 0.0f) return 0.0;
    const double q = kEdgeSpan / static_cast<double>(width);
    return 0.5 * q * q;
}
}  // namespace

WDFastGaussian::WDFastGaussian(float gain, float r0, float r1, float r2, float r3, std::string name)
    : name_(std::move(name)), r0_(r0), r1_(r1), r2_(r2), r3_(r3) {
    setGain(gain);
}

void WDFastGaussian::setGain(float gain) {
    if (gain >= 100.0f) {
        gain_ = 100.0f;
    } else if (gain > 0.0f) {
        gain_ = gain;
    } else {
        gain_ = 0.0f;  // also NaN: an undefined gain must not reach the output
    }
    updateCoefficients();
}

void WDFastGaussian::setRadii(float r0, float r1, float r2, float r3) {
    r0_ = r0;
    r1_ = r1;
    r2_ = r2;
    r3_ = r3;
    updateCoefficients();
}

void WDFastGaussian::updateCoefficients() {
    k1_ = edgeCoefficient(r0_, r1_);
    k2_ = edgeCoefficient(r2_, r3_);
    gainSixth_ = static_cast<double>(gain_ * 0.16666667f);
}

void WDFastGaussian::apply(std::span<double> values) const {
    const double r0 = r0_, r1 = r1_, r2 = r2_, r3 = r3_;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Two values per step without branches (which mispredict as distances
    // cross the bands): both edges are computed and the band picks one.
    // Same operations in the same order as the loop below, so the same bits.
    const __m128d vr0 = _mm_set1_pd(r0), vr1 = _mm_set1_pd(r1), vr2 = _mm_set1_pd(r2), vr3 = _mm_set1_pd(r3);
    const __m128d vk1 = _mm_set1_pd(k1_), vk2 = _mm_set1_pd(k2_), sixth = _mm_set1_pd(gainSixth_);
    const __m128d gain = _mm_set1_pd(static_cast<double>(gain_));
    const __m128d three = _mm_set1_pd(3.0), six = _mm_set1_pd(6.0);
    const auto edges = [&](__m128d k, __m128d dist) {
        const __m128d x = _mm_mul_pd(_mm_mul_pd(k, dist), dist);
        const __m128d inner = _mm_sub_pd(six, _mm_mul_pd(_mm_sub_pd(three, x), x));
        return _mm_mul_pd(sixth, _mm_sub_pd(six, _mm_mul_pd(inner, x)));
    };
    const auto select = [](__m128d mask, __m128d a, __m128d b) {
        return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
    };
    double* v = values.data();
    for (; i + 2 <= values.size(); i += 2) {
        const __m128d d = _mm_loadu_pd(v + i);
        // From the outer band inwards; a NaN fails every comparison: 0.
        __m128d out = _mm_and_pd(_mm_cmplt_pd(d, vr3), edges(vk2, _mm_sub_pd(d, vr2)));
        out = select(_mm_cmplt_pd(d, vr2), gain, out);
        out = select(_mm_cmplt_pd(d, vr1), edges(vk1, _mm_sub_pd(d, vr1)), out);
        out = _mm_andnot_pd(_mm_cmplt_pd(d, vr0), out);
        _mm_storeu_pd(v + i, out);
    }
#endif
    const auto edge = [this](double k, double dist) {
        const double x = k * dist * dist;
        return gainSixth_ * (6.0 - (6.0 - (3.0 - x) * x) * x);
    };
    for (; i < values.size(); ++i) {
        double& d = values[i];
        if (d < r0) {
            d = 0.0;
        } else if (d < r1) {
            d = edge(k1_, d - r1);
        } else if (d < r2) {
            d = gain_;
        } else if (d < r3) {
            d = edge(k2_, d - r2);
        } else {
            d = 0.0;  // beyond the edge, or not a number
        }
    }
}

std::shared_ptr<WDFastGaussian> makeWDFastGaussian(float gain, float r0, float r1, float r2, float r3,
                                                   std::string name) {
    return std::make_shared<WDFastGaussian>(gain, r0, r1, r2, r3, std::move(name));
}

}  // namespace tsr
