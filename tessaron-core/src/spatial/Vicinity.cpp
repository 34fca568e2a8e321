#include "tessaron-core/src/spatial/Vicinity.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tessaron-core/src/tsr/tsr_log.h"

namespace tsr {
namespace {
constexpr const char* kSource = "tessaron-core/src/spatial";

#if defined(__SSE2__)
// (a d0 + b d1) + c d2 per lane: the order of the scalar sums.
__m128d dot3(__m128d a, __m128d d0, __m128d b, __m128d d1, __m128d c, __m128d d2) {
    return _mm_add_pd(_mm_add_pd(_mm_mul_pd(a, d0), _mm_mul_pd(b, d1)), _mm_mul_pd(c, d2));
}
#endif

std::size_t actuatorCountOf(const ILayout& layout) {
    const int64_t n = layout.actuatorCount();
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Row i of dst = the largest value of row i over every column of src; a later
// column replaces the running value only when strictly greater.
void rowMaximum(const Matrix& src, std::size_t rows, double* dst) {
    if (src.cols() == 0) {
        std::fill(dst, dst + rows, 0.0);
        return;
    }
    for (std::size_t i = 0; i < rows; ++i) {
        double best = src(i, 0);
        for (std::size_t j = 1; j < src.cols(); ++j) {
            if (src(i, j) > best) best = src(i, j);
        }
        dst[i] = best;
    }
}
}  // namespace

bool IVicinity::fits(const Matrix& out, std::size_t n, std::size_t column) {
    if (column < out.cols() && out.rows() >= n) return true;
    tsr_log(4, kSource, __LINE__, "computeWeights: column %zu of a %zux%zu matrix cannot hold %zu weights",
            column, out.rows(), out.cols(), n);
    return false;
}

void IVicinity::computeWeights(const ILayout& layout, const SpatialProperties& props, Matrix& out,
                               std::size_t column) {
    const std::size_t n = actuatorCountOf(layout);
    if (!fits(out, n, column)) return;

    // The inversions mirror the vicinity itself; each addition adds the image
    // mirrored along its axis on top of that.
    const bool base[3] = {props.frontBackInversion(), props.upDownInversion(), props.rightLeftInversion()};
    const bool added[3] = {props.frontBackAddition(), props.upDownAddition(), props.rightLeftAddition()};
    int axes[3];
    int k = 0;
    for (int a = 0; a < 3; ++a) {
        if (added[a]) axes[k++] = a;
    }
    if (k == 0) {
        weights(layout, props, out, column, base[0], base[1], base[2]);
        dirty_ = false;
        return;
    }
    const std::size_t combinations = std::size_t{1} << k;
    weightMatrix_.resize(n, combinations);
    // Column 0 takes every added mirror; bit b of c set leaves axis b out.
    for (std::size_t c = 0; c < combinations; ++c) {
        bool mirror[3] = {base[0], base[1], base[2]};
        for (int b = 0; b < k; ++b) {
            if (((c >> b) & 1u) == 0) mirror[axes[b]] = !mirror[axes[b]];
        }
        weights(layout, props, weightMatrix_, c, mirror[0], mirror[1], mirror[2]);
    }
    rowMaximum(weightMatrix_, n, out.column(column));
    dirty_ = false;
}

VicinitySphere::VicinitySphere(const Point& position, const Quaternion& orientation, const Point& scale)
    : IVicinity(position, orientation, scale) {
    kind_ = kVicinitySphere;
    distributions_.push_back(makeWDFastGaussian(1.0f, 0.0f, 0.0f, 0.6f, 1.0f, "Normalized"));
}

void VicinitySphere::weights(const ILayout& layout, const SpatialProperties& props, Matrix& out,
                             std::size_t column, bool mirrorX, bool mirrorY, bool mirrorZ) {
    const std::size_t n = actuatorCountOf(layout);
    if (!fits(out, n, column)) return;
    workCentre_ = position_;
    workOrientation_ = orientation_;
    if (mirrorX) workCentre_[0] = -workCentre_[0];
    if (mirrorY) workCentre_[1] = -workCentre_[1];
    if (mirrorZ) workCentre_[2] = -workCentre_[2];

    // Comparisons are false for NaN, so "!= 0" applies a NaN move as well.
    if (props.tilting() != 0.0) layout.tilt(props.tilting(), workCentre_, workOrientation_);
    if (props.heading() != 0.0) layout.rotateHeading(props.heading(), workCentre_, workOrientation_);
    if (props.height() != 0.0) layout.elevate(props.height(), workCentre_);

    double* col = out.column(column);
    ellipsoidDistances(workOrientation_, workCentre_, scale_, layout.positions(), n, inverseRotation_, col);
    if (!distributions_.empty() && distributions_.front()) {
        distributions_.front()->apply(std::span<double>(col, n));
    } else {
        std::fill(col, col + n, 0.0);
    }
}

VicinityWeights::VicinityWeights(const Point& position, const Quaternion& orientation, const Point& scale)
    : IVicinity(position, orientation, scale) {
    kind_ = kVicinityWeights;
}

void VicinityWeights::setWeights(const std::vector<double>& weights) {
    weightMatrix_ = Matrix(weights.size(), 1);
    std::copy(weights.begin(), weights.end(), weightMatrix_.column(0));
}

void VicinityWeights::computeWeights(const ILayout& layout, const SpatialProperties& props, Matrix& out,
                                     std::size_t column) {
    // Every mirror would give the same weights: the flags are not read.
    if (!fits(out, actuatorCountOf(layout), column)) return;
    weights(layout, props, out, column, false, false, false);
}

void VicinityWeights::weights(const ILayout& layout, const SpatialProperties&, Matrix& out,
                              std::size_t column, bool, bool, bool) {
    const std::size_t n = actuatorCountOf(layout);
    if (!fits(out, n, column)) return;
    const std::size_t given = std::min(n, weightMatrix_.rows());
    double* col = out.column(column);
    std::copy(weightMatrix_.column(0), weightMatrix_.column(0) + given, col);
    std::fill(col + given, col + n, 0.0);
}

void inverseRotationOf(const Quaternion& q, Matrix& m) {
    // Inverse of the (possibly unnormalised) orientation; a zero quaternion
    // has none and leaves the zero quaternion, which the matrix below turns
    // into the identity.
    const double norm = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    double x = 0, y = 0, z = 0, w = 0;
    if (norm > 0) {
        x = -q[0] / norm;
        y = -q[1] / norm;
        z = -q[2] / norm;
        w = q[3] / norm;
    }
    m(0, 0) = 1 - 2 * (y * y + z * z);
    m(0, 1) = 2 * (x * y - z * w);
    m(0, 2) = 2 * (x * z + y * w);
    m(1, 0) = 2 * (x * y + z * w);
    m(1, 1) = 1 - 2 * (x * x + z * z);
    m(1, 2) = 2 * (y * z - x * w);
    m(2, 0) = 2 * (x * z - y * w);
    m(2, 1) = 2 * (y * z + x * w);
    m(2, 2) = 1 - 2 * (x * x + y * y);
}

void ellipsoidDistances(const Quaternion& q, const Point& centre, const Point& scale,
                        const Matrix& positions, std::size_t n, Matrix& m, double* out) {
    inverseRotationOf(q, m);
    ellipsoidDistances(m, centre, scale, positions, n, out);
}

namespace {
// The distance of the position at p (x, y, z) from centre.
double distanceOf(const Matrix& m, const Point& centre, const Point& scale, const double* p) {
    const double d0 = p[0] - centre[0];
    const double d1 = p[1] - centre[1];
    const double d2 = p[2] - centre[2];
    const double vx = (m(0, 0) * d0 + m(0, 1) * d1 + m(0, 2) * d2) / scale[0];
    const double vy = (m(1, 0) * d0 + m(1, 1) * d1 + m(1, 2) * d2) / scale[1];
    const double vz = (m(2, 0) * d0 + m(2, 1) * d1 + m(2, 2) * d2) / scale[2];
    return std::sqrt(vx * vx + vy * vy + vz * vz);
}

// Distances of positions from..n-1 into out[from..n-1].
void distancesFrom(std::size_t from, const Matrix& m, const Point& centre, const Point& scale,
                   const Matrix& positions, std::size_t n, double* out) {
    const double* p = positions.column(0);
    std::size_t i = from;
#if defined(__SSE2__)
    // Two actuators per step. The packed divisions and square roots round as
    // the scalar ones do and every sum keeps its order, so each lane holds
    // distanceOf's value to the bit.
    const __m128d vm00 = _mm_set1_pd(m(0, 0)), vm01 = _mm_set1_pd(m(0, 1)), vm02 = _mm_set1_pd(m(0, 2));
    const __m128d vm10 = _mm_set1_pd(m(1, 0)), vm11 = _mm_set1_pd(m(1, 1)), vm12 = _mm_set1_pd(m(1, 2));
    const __m128d vm20 = _mm_set1_pd(m(2, 0)), vm21 = _mm_set1_pd(m(2, 1)), vm22 = _mm_set1_pd(m(2, 2));
    const __m128d vcx = _mm_set1_pd(centre[0]), vcy = _mm_set1_pd(centre[1]), vcz = _mm_set1_pd(centre[2]);
    const __m128d vsx = _mm_set1_pd(scale[0]), vsy = _mm_set1_pd(scale[1]), vsz = _mm_set1_pd(scale[2]);
    for (; i + 2 <= n; i += 2) {
        // x0 y0 | z0 x1 | y1 z1 -> x0 x1, y0 y1, z0 z1
        const __m128d a = _mm_loadu_pd(p + 3 * i);
        const __m128d b = _mm_loadu_pd(p + 3 * i + 2);
        const __m128d c = _mm_loadu_pd(p + 3 * i + 4);
        const __m128d d0 = _mm_sub_pd(_mm_shuffle_pd(a, b, 2), vcx);
        const __m128d d1 = _mm_sub_pd(_mm_shuffle_pd(a, c, 1), vcy);
        const __m128d d2 = _mm_sub_pd(_mm_shuffle_pd(b, c, 2), vcz);
        const __m128d vx = _mm_div_pd(dot3(vm00, d0, vm01, d1, vm02, d2), vsx);
        const __m128d vy = _mm_div_pd(dot3(vm10, d0, vm11, d1, vm12, d2), vsy);
        const __m128d vz = _mm_div_pd(dot3(vm20, d0, vm21, d1, vm22, d2), vsz);
        _mm_storeu_pd(out + i, _mm_sqrt_pd(dot3(vx, vx, vy, vy, vz, vz)));
    }
#endif
    for (; i < n; ++i) out[i] = distanceOf(m, centre, scale, p + 3 * i);
}
}  // namespace

void ellipsoidDistances(const Matrix& m, const Point& centre, const Point& scale, const Matrix& positions,
                        std::size_t n, double* out) {
    distancesFrom(0, m, centre, scale, positions, n, out);
}

PositionEstimates::PositionEstimates(const Matrix& positions)
    : n_(positions.rows() >= 3 ? std::min(positions.cols(), kMost) : 0) {
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t k = n_; k < kMost; ++k) axes_[a][k] = 0.0f;
        for (std::size_t k = 0; k < n_; ++k) {
            const double v = positions(a, k);
            if (!(std::fabs(v) <= 1e30)) {  // NaN or past single precision: nothing is estimated
                largest_[a] = std::numeric_limits<double>::infinity();
                axes_[a][k] = 0.0f;
                continue;
            }
            axes_[a][k] = static_cast<float>(v);
            largest_[a] = std::max(largest_[a], std::fabs(v));
        }
    }
}

#if defined(__SSE2__)
namespace {
// Thresholds on an estimated squared distance e for one radius r of the
// distribution: e < under means the exact distance is below r, e > over that
// it is not. The estimated distance is within bound plus the relative
// kRelative of the exact one.
struct RadiusThresholds {
    __m128 under, over;
};

constexpr double kRelative = 1e-6;

RadiusThresholds thresholdsOf(double r, double bound) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    constexpr double kFloatMax = std::numeric_limits<float>::max();
    // No distance is under 0 or NaN: every estimate but NaN is "not under".
    if (!(r > 0.0)) return {_mm_set1_ps(-kInf), _mm_set1_ps(-kInf)};
    // Rounding to single precision moves a value by less than 1e-7 of it.
    const double below = (r - bound) / (1.0 + kRelative);
    const double above = (r + bound) / (1.0 - kRelative);
    const double under = std::min(below * below * (1.0 - 2e-7), kFloatMax);
    const double over = above * above * (1.0 + 2e-7);
    return {_mm_set1_ps(below > 0.0 ? static_cast<float>(under) : -kInf),
            _mm_set1_ps(over < kFloatMax ? static_cast<float>(over) : kInf)};
}

// Only magnitudes that keep every single-precision value far from overflow
// are estimated; past them the exact path runs alone.
constexpr double kLargest = 1e4;
constexpr double kSmallestScale = 1e-4;
}  // namespace
#endif

void strongestEllipsoidWeights(const Matrix& m, std::span<const Point> centres, const Point& scale,
                               const Matrix& positions, const PositionEstimates& estimates, std::size_t n,
                               const WDFastGaussian& g, double* out) {
    // g's values are never NaN, negative or -0 (its edges stay above 0 over
    // their bands), so the largest over the centres is one value whatever
    // the order, and a value shown to be no larger than another can be left
    // out.
    std::fill(out, out + n, 0.0);
#if defined(__SSE2__)
    // Every distance is first estimated in single precision, four at a time:
    // with rows q_i = m_i / s_i, the scaled vector is q_i.p - q_i.c, whose
    // first term is worked out once for all the centres (in single
    // precision) and the second once per centre (in double, then rounded).
    // Each coordinate of the estimate is then within 8 units of
    // G_i = sum_j |q_ij| (|p_j| + |c_j|) of the exact one, so the distances
    // differ by less than 2e-6 |G| (a wide margin) plus what underflow loses.
    // Where that leaves the band of g in doubt, the distance is computed
    // exactly, two at a time, with the operations of ellipsoidDistances;
    // elsewhere the band's constant value is taken.
    const double r0 = g.r0(), r1 = g.r1(), r2 = g.r2(), r3 = g.r3();
    // Radii in order (none NaN), and none so small that its square would
    // lose precision in single precision.
    const auto sizeable = [](double r) { return r <= 0.0 || r >= 1e-6; };
    bool estimable = n <= estimates.size() && n <= positions.cols() && positions.rows() >= 3 && r0 <= r1 &&
                     r1 <= r2 && r2 <= r3 && sizeable(r0) && sizeable(r1) && sizeable(r2) && sizeable(r3);
    const double* p = positions.column(0);
    std::array<double, 3> farthest{};  // largest |c_j|
    for (const Point& c : centres) {
        for (std::size_t j = 0; j < 3; ++j) {
            const double a = std::fabs(c[j]);
            farthest[j] = a > farthest[j] || a != a ? a : farthest[j];  // NaN sticks
        }
    }
    double q[3][3];
    double g2 = 0.0;
    for (std::size_t i = 0; i < 3 && estimable; ++i) {
        const double si = std::fabs(scale[i]);
        estimable = si >= kSmallestScale && si <= kLargest && estimates.largest(i) <= kLargest &&
                    farthest[i] <= kLargest;
        double gi = 0.0;
        for (std::size_t j = 0; j < 3 && estimable; ++j) {
            estimable = std::fabs(m(i, j)) <= kLargest;
            q[i][j] = m(i, j) / scale[i];
            gi += std::fabs(q[i][j]) * (estimates.largest(j) + farthest[j]);
        }
        g2 += gi * gi;
    }
    if (estimable) {
        const double bound = 2e-6 * std::sqrt(g2) + 1e-20;
        const RadiusThresholds t0 = thresholdsOf(r0, bound), t1 = thresholdsOf(r1, bound),
                               t2 = thresholdsOf(r2, bound), t3 = thresholdsOf(r3, bound);
        const double gainValue = static_cast<double>(g.gain());
        // The outer edge's value is gainSixth * P with P < 6 - 3.75 x, so
        // from x = k2 (d - r2)^2 >= 1e-5 on it stays below gain (gainSixth
        // is gain / 6 within 1e-7): such a value never beats the plateau.
        // When gainSixth * 6 is no more than gain, no value beats it.
        const bool edgesBelowPlateau = g.gainSixth() * 6.0 <= gainValue;
        const double wellPast = g.k2() > 0.0 ? r2 + std::sqrt(1e-5 / g.k2()) * (1.0 + 1e-6) : r2;
        const __m128 pastPlateau = thresholdsOf(wellPast, bound).over;
        // q_i.p for every position, by axis (the padding projects 0).
        alignas(16) float projected[3][PositionEstimates::kMost];
        {
            const auto single = [](double v) { return _mm_set1_ps(static_cast<float>(v)); };
            const __m128 q00 = single(q[0][0]), q01 = single(q[0][1]), q02 = single(q[0][2]);
            const __m128 q10 = single(q[1][0]), q11 = single(q[1][1]), q12 = single(q[1][2]);
            const __m128 q20 = single(q[2][0]), q21 = single(q[2][1]), q22 = single(q[2][2]);
            const auto dot = [](__m128 a, __m128 x, __m128 b, __m128 y, __m128 c, __m128 z) {
                return _mm_add_ps(_mm_add_ps(_mm_mul_ps(a, x), _mm_mul_ps(b, y)), _mm_mul_ps(c, z));
            };
            for (std::size_t k = 0; k < n; k += 4) {
                const __m128 x = _mm_load_ps(estimates.axis(0) + k);
                const __m128 y = _mm_load_ps(estimates.axis(1) + k);
                const __m128 z = _mm_load_ps(estimates.axis(2) + k);
                _mm_store_ps(projected[0] + k, dot(q00, x, q01, y, q02, z));
                _mm_store_ps(projected[1] + k, dot(q10, x, q11, y, q12, z));
                _mm_store_ps(projected[2] + k, dot(q20, x, q21, y, q22, z));
            }
        }

        // The values in doubt, by centre and position; "below" marks those
        // shown to stay under the plateau.
        constexpr std::size_t kDoubt = 64;
        std::size_t doubtPosition[kDoubt + 1];
        std::size_t doubtCentre[kDoubt + 1];
        bool doubtBelow[kDoubt];
        alignas(16) double exact[kDoubt + 1];
        std::size_t doubts = 0;
        uint64_t plateau = 0;  // bit k: position k is on the plateau from some centre
        const __m128d vm00 = _mm_set1_pd(m(0, 0)), vm01 = _mm_set1_pd(m(0, 1)), vm02 = _mm_set1_pd(m(0, 2));
        const __m128d vm10 = _mm_set1_pd(m(1, 0)), vm11 = _mm_set1_pd(m(1, 1)), vm12 = _mm_set1_pd(m(1, 2));
        const __m128d vm20 = _mm_set1_pd(m(2, 0)), vm21 = _mm_set1_pd(m(2, 1)), vm22 = _mm_set1_pd(m(2, 2));
        const __m128d vsx = _mm_set1_pd(scale[0]), vsy = _mm_set1_pd(scale[1]), vsz = _mm_set1_pd(scale[2]);
        const auto settle = [&] {
            // Those that cannot beat the plateau their position reached go.
            std::size_t kept = 0;
            for (std::size_t k = 0; k < doubts; ++k) {
                const bool beaten = ((plateau >> doubtPosition[k]) & 1u) != 0 && doubtBelow[k];
                doubtPosition[kept] = doubtPosition[k];
                doubtCentre[kept] = doubtCentre[k];
                kept += beaten ? 0u : 1u;
            }
            doubts = kept;
            if (doubts == 0) return;
            if (doubts % 2 != 0) {  // a twin; its result is dropped
                doubtPosition[doubts] = doubtPosition[doubts - 1];
                doubtCentre[doubts] = doubtCentre[doubts - 1];
            }
            for (std::size_t k = 0; k < doubts; k += 2) {
                const Point& ca = centres[doubtCentre[k]];
                const Point& cb = centres[doubtCentre[k + 1]];
                const double* a = p + 3 * doubtPosition[k];
                const double* b = p + 3 * doubtPosition[k + 1];
                const __m128d d0 = _mm_sub_pd(_mm_set_pd(b[0], a[0]), _mm_set_pd(cb[0], ca[0]));
                const __m128d d1 = _mm_sub_pd(_mm_set_pd(b[1], a[1]), _mm_set_pd(cb[1], ca[1]));
                const __m128d d2 = _mm_sub_pd(_mm_set_pd(b[2], a[2]), _mm_set_pd(cb[2], ca[2]));
                const __m128d vx = _mm_div_pd(dot3(vm00, d0, vm01, d1, vm02, d2), vsx);
                const __m128d vy = _mm_div_pd(dot3(vm10, d0, vm11, d1, vm12, d2), vsy);
                const __m128d vz = _mm_div_pd(dot3(vm20, d0, vm21, d1, vm22, d2), vsz);
                _mm_store_pd(exact + k, _mm_sqrt_pd(dot3(vx, vx, vy, vy, vz, vz)));
            }
            g.apply(std::span<double>(exact, doubts));
            for (std::size_t k = 0; k < doubts; ++k) {
                double& best = out[doubtPosition[k]];
                best = exact[k] > best ? exact[k] : best;
            }
            doubts = 0;
        };

        for (std::size_t c = 0; c < centres.size(); ++c) {
            const Point& centre = centres[c];
            const auto shift = [&](std::size_t i) {
                return _mm_set1_ps(
                    static_cast<float>(q[i][0] * centre[0] + q[i][1] * centre[1] + q[i][2] * centre[2]));
            };
            const __m128 kx = shift(0), ky = shift(1), kz = shift(2);
            for (std::size_t i = 0; i < n; i += 4) {
                const __m128 vx = _mm_sub_ps(_mm_load_ps(projected[0] + i), kx);
                const __m128 vy = _mm_sub_ps(_mm_load_ps(projected[1] + i), ky);
                const __m128 vz = _mm_sub_ps(_mm_load_ps(projected[2] + i), kz);
                const __m128 e =
                    _mm_add_ps(_mm_add_ps(_mm_mul_ps(vx, vx), _mm_mul_ps(vy, vy)), _mm_mul_ps(vz, vz));
                // With the radii in order: under r0 gives 0, past r1 and under
                // r2 the plateau, past r3 0 again. NaN is sure of nothing.
                const __m128 flat = _mm_and_ps(_mm_cmpgt_ps(e, t1.over), _mm_cmplt_ps(e, t2.under));
                const __m128 sure =
                    _mm_or_ps(_mm_or_ps(_mm_cmplt_ps(e, t0.under), flat), _mm_cmpgt_ps(e, t3.over));
                const std::size_t lanes = std::min<std::size_t>(4, n - i);
                const unsigned valid = (1u << lanes) - 1u;
                const auto flatBits = static_cast<unsigned>(_mm_movemask_ps(flat)) & valid;
                plateau |= static_cast<uint64_t>(flatBits) << i;
                unsigned unsure = ~static_cast<unsigned>(_mm_movemask_ps(sure)) & valid;
                if (unsure == 0) continue;
                const auto below = edgesBelowPlateau
                                       ? 15u
                                       : static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(e, pastPlateau)));
                while (unsure != 0) {
                    const auto l = static_cast<std::size_t>(std::countr_zero(unsure));
                    doubtPosition[doubts] = i + l;
                    doubtCentre[doubts] = c;
                    doubtBelow[doubts++] = ((below >> l) & 1u) != 0;
                    unsure &= unsure - 1;
                }
                if (doubts + 4 > kDoubt) settle();
            }
        }
        // The plateau, wherever a centre reached it for certain.
        for (std::size_t k = 0; k < n; ++k) {
            if (((plateau >> k) & 1u) != 0 && gainValue > out[k]) out[k] = gainValue;
        }
        settle();
        return;
    }
#endif
    for (const Point& c : centres) {
        for (std::size_t k = 0; k < n; ++k) {
            double value = distanceOf(m, c, scale, positions.column(k));
            g.apply(std::span<double>(&value, 1));
            out[k] = value > out[k] ? value : out[k];
        }
    }
}

std::shared_ptr<IVicinity> makeVicinity(int kind, const Point& position, const Quaternion& orientation,
                                        const Point& scale) {
    if (kind == kVicinityWeights) return std::make_shared<VicinityWeights>(position, orientation, scale);
    if (kind == kVicinitySphere) return std::make_shared<VicinitySphere>(position, orientation, scale);
    return nullptr;
}

}  // namespace tsr
