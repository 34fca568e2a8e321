#include "tessaron-core/src/spatial/Vicinity.h"

#include <algorithm>
#include <cmath>

#include "tessaron-core/src/tsr/tsr_log.h"

namespace tsr {
namespace {
constexpr const char* kSource = "tessaron-core/src/spatial";

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

void ellipsoidDistances(const Quaternion& q, const Point& centre, const Point& scale,
                        const Matrix& positions, std::size_t n, Matrix& m, double* out) {
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
    const double m00 = 1 - 2 * (y * y + z * z), m01 = 2 * (x * y - z * w), m02 = 2 * (x * z + y * w);
    const double m10 = 2 * (x * y + z * w), m11 = 1 - 2 * (x * x + z * z), m12 = 2 * (y * z - x * w);
    const double m20 = 2 * (x * z - y * w), m21 = 2 * (y * z + x * w), m22 = 1 - 2 * (x * x + y * y);
    m(0, 0) = m00;
    m(0, 1) = m01;
    m(0, 2) = m02;
    m(1, 0) = m10;
    m(1, 1) = m11;
    m(1, 2) = m12;
    m(2, 0) = m20;
    m(2, 1) = m21;
    m(2, 2) = m22;

    // Two passes, the divisions apart from the square roots, so that the
    // compiler can pair the divisions (sqrt's error reporting keeps it from
    // vectorising a loop that holds one); the arithmetic is the same.
    const double cx = centre[0], cy = centre[1], cz = centre[2];
    const double sx = scale[0], sy = scale[1], sz = scale[2];
    const double* p = positions.column(0);
    for (std::size_t i = 0; i < n; ++i) {
        const double d0 = p[3 * i] - cx;
        const double d1 = p[3 * i + 1] - cy;
        const double d2 = p[3 * i + 2] - cz;
        const double vx = (m00 * d0 + m01 * d1 + m02 * d2) / sx;
        const double vy = (m10 * d0 + m11 * d1 + m12 * d2) / sy;
        const double vz = (m20 * d0 + m21 * d1 + m22 * d2) / sz;
        out[i] = vx * vx + vy * vy + vz * vz;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = std::sqrt(out[i]);
}

std::shared_ptr<IVicinity> makeVicinity(int kind, const Point& position, const Quaternion& orientation,
                                        const Point& scale) {
    if (kind == kVicinityWeights) return std::make_shared<VicinityWeights>(position, orientation, scale);
    if (kind == kVicinitySphere) return std::make_shared<VicinitySphere>(position, orientation, scale);
    return nullptr;
}

}  // namespace tsr
