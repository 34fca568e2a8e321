// Vicinities: turn the actuator layout into one weight per actuator for one
// spatial keyframe. A sphere is an ellipsoid (centre, orientation, semi-axes)
// whose scaled distances go through a weight distribution; a weights vicinity
// holds one given weight per actuator. Shared through std::shared_ptr by the
// keyframe that holds it; rendering thread only, no locking.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "tessaron-core/src/spatial/Layout.h"
#include "tessaron-core/src/spatial/SpatialMath.h"
#include "tessaron-core/src/spatial/SpatialProperties.h"
#include "tessaron-core/src/spatial/WeightDistribution.h"

namespace tsr {

constexpr int kVicinityWeights = 0;
constexpr int kVicinitySphere = 1;

class IVicinity {
public:
    virtual ~IVicinity() = default;

    // Fills rows 0..N-1 of column `column` of out (N = the layout's actuator
    // count) with this vicinity's weights under the play's transform. With
    // mirror additions set, an actuator takes the largest weight over the
    // vicinity and its mirror images. The inversion flags mirror the vicinity
    // itself. A column or row count that out does not have is refused with a
    // log line and nothing is written.
    virtual void computeWeights(const ILayout& layout, const SpatialProperties& props, Matrix& out,
                                std::size_t column);
    // The weights of one mirror combination into that column (rows 0..N-1),
    // refused like computeWeights when out has not that shape.
    virtual void weights(const ILayout& layout, const SpatialProperties& props, Matrix& out,
                         std::size_t column, bool mirrorX, bool mirrorY, bool mirrorZ) = 0;

    uint32_t kind() const { return kind_; }
    bool isDirty() const { return dirty_; }
    const Point& position() const { return position_; }
    const Quaternion& orientation() const { return orientation_; }
    const Point& scale() const { return scale_; }
    const Point& workCentre() const { return workCentre_; }
    const Quaternion& workOrientation() const { return workOrientation_; }
    const std::vector<std::shared_ptr<IWeightDistribution>>& distributions() const { return distributions_; }

protected:
    IVicinity(const Point& position, const Quaternion& orientation, const Point& scale)
        : position_(position), orientation_(orientation), scale_(scale) {}

    // Whether out can take N rows in the given column; logs when it cannot.
    static bool fits(const Matrix& out, std::size_t n, std::size_t column);

    uint32_t kind_ = kVicinityWeights;
    Point position_;
    Point workCentre_{};
    Matrix inverseRotation_{3, 3};
    Quaternion orientation_;
    Quaternion workOrientation_{};
    Point scale_;
    std::vector<std::shared_ptr<IWeightDistribution>> distributions_;
    Matrix weightMatrix_;
    bool dirty_ = true;
};

// Ellipsoid around a centre; weights by the first distribution (by default a
// WDFastGaussian "Normalized": gain 1, flat to 0.6, zero from 1).
class VicinitySphere : public IVicinity {
public:
    VicinitySphere(const Point& position, const Quaternion& orientation, const Point& scale);
    void weights(const ILayout& layout, const SpatialProperties& props, Matrix& out, std::size_t column,
                 bool mirrorX, bool mirrorY, bool mirrorZ) override;
    const Matrix& inverseRotation() const { return inverseRotation_; }
};

// Explicit weight per actuator; position, scale, mirrors and transforms do
// not apply. Stays dirty, so its keyframe copies the weights at every use.
class VicinityWeights : public IVicinity {
public:
    VicinityWeights(const Point& position, const Quaternion& orientation, const Point& scale);
    void setWeights(const std::vector<double>& weights);
    void computeWeights(const ILayout& layout, const SpatialProperties& props, Matrix& out,
                        std::size_t column) override;
    // The first min(W, N) given weights; rows beyond the given ones are 0.
    void weights(const ILayout& layout, const SpatialProperties& props, Matrix& out, std::size_t column,
                 bool mirrorX, bool mirrorY, bool mirrorZ) override;
};

// Distance of each of the first n positions (columns of a 3 x N matrix) from
// centre, measured in the frame of an ellipsoid turned by orientation and
// stretched by scale: 1 on its surface. The orientation is inverted without
// normalising; a zero quaternion counts as no turn. inverseRotation (3 x 3)
// receives the matrix used. The engine's and the legacy back-end's spheres
// both measure this way.
void ellipsoidDistances(const Quaternion& orientation, const Point& centre, const Point& scale,
                        const Matrix& positions, std::size_t n, Matrix& inverseRotation, double* out);
// The two halves of the above, for callers that measure from several centres
// under one orientation: the matrix (3 x 3) of the inverted orientation, then
// the distances with it. Together they give the very same values.
void inverseRotationOf(const Quaternion& orientation, Matrix& inverseRotation);
void ellipsoidDistances(const Matrix& inverseRotation, const Point& centre, const Point& scale,
                        const Matrix& positions, std::size_t n, double* out);
// The first (up to kMost) positions of a layout as strongestEllipsoidWeights
// estimates from them: single precision, by axis, zeros after the last, and
// the largest magnitude per axis. Built once per layout, then only read.
class PositionEstimates {
public:
    static constexpr std::size_t kMost = 64;
    explicit PositionEstimates(const Matrix& positions);
    std::size_t size() const { return n_; }
    const float* axis(std::size_t a) const { return axes_[a].data(); }
    double largest(std::size_t a) const { return largest_[a]; }

private:
    std::size_t n_;
    alignas(16) std::array<std::array<float, kMost>, 3> axes_;
    std::array<double, 3> largest_{};
};

// For each of the first n positions, the largest weight g gives it over the
// centres: the largest over the centres of ellipsoidDistances followed by
// g.apply, to the bit. Distances that an estimate places for certain in a
// band where g is flat (before r0, between r1 and r2, from r3 on) take that
// band's value without their divisions and square root, and those shown not
// to beat the plateau another centre gives are left out. estimates is built
// from positions. Allocates nothing.
void strongestEllipsoidWeights(const Matrix& inverseRotation, std::span<const Point> centres, const Point& scale,
                               const Matrix& positions, const PositionEstimates& estimates, std::size_t n,
                               const WDFastGaussian& g, double* out);

// Kind 0: VicinityWeights, kind 1: VicinitySphere, other kinds: empty pointer.
std::shared_ptr<IVicinity> makeVicinity(int kind, const Point& position, const Quaternion& orientation,
                                        const Point& scale);

}  // namespace tsr
