// The legacy back-end's spatial model: a vicinity is a region of the vest,
// placed by a centre, an orientation and a scale, whose distance to each
// actuator its weight distributions turn into a weight. This base holds the
// placement and the distributions and moves points over the vest's capsule
// (a vertical cylinder of half-height capsuleHalfHeight with hemispherical
// caps). A vicinity belongs to the keyframe of the sample record that read it
// and lives as long as its pattern; it is used on the sequencing thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tessaron-core/src/spatial/Layout.h"
#include "tessaron-core/src/spatial/SpatialMath.h"
#include "tessaron-core/src/spatial/WeightDistribution.h"

namespace vbz::seq {

// The vest has one body shape; the engine's capsule serves both back-ends.
inline constexpr double capsuleHalfHeight = tsr::LayoutVibrenzaCapsule::kHalfHeight;
inline constexpr int kActuatorCount = tsr::LayoutVibrenzaCapsule::kActuatorCount;

using WDFastGaussian = tsr::WDFastGaussian;

// The moves of one play, with what does not depend on the point worked out
// once: the turns of the orientation and the single-precision heading turn.
struct CapsuleMoves {
    CapsuleMoves(float height, float heading, float tilt);

    // Each move applies only when not 0 (NaN counts as not 0).
    bool tilting, turning, lifting;
    float height, heading, tilt;
    tsr::Quaternion tiltTurn{}, headingTurn{};
    double headingCos = 1.0, headingSin = 0.0;

    // Tilt, heading, height, in this order: the same results as the three
    // transforms below applied one after the other.
    void movePoint(tsr::Point& p) const;
    // movePoint in two steps: the tilt, which reads and moves x and y only
    // (the memo as for the capsule's tiltPoint), then heading and height.
    void tiltPoint(tsr::Point& p, tsr::LayoutVibrenzaCapsule::TiltMemo& memo) const;
    void turnAndLift(tsr::Point& p) const;
    void turn(tsr::Quaternion& q) const;
};

class IVicinity {
public:
    virtual ~IVicinity() = default;

    // One weight per actuator into column, for the given moves (height in
    // metres, heading and tilt in radians) and mirrors of the centre.
    virtual void weights(float height, float heading, float tilt, bool mirrorX, bool mirrorY, bool mirrorZ,
                         std::span<double, kActuatorCount> column) = 0;

    // Mirrors of the centre along x, y, z.
    using Mirror = std::array<bool, 3>;
    // The weights under each mirror combination, folded into best: an
    // actuator keeps the largest value (the first weighing, when first is
    // set, replaces it; first is cleared). Derived classes may share the work
    // that does not depend on the mirror; the results are those of weights().
    virtual void strongestWeights(const CapsuleMoves& moves, std::span<const Mirror> mirrors,
                                  std::span<double, kActuatorCount> best, bool& first);

    // 0 when i names a distribution, else -2 and an error line.
    int checkIndex(int i) const;
    // One error line under "IV": the code's text, the code and the message.
    static void logError(int code, const std::string& message);
    // 0 and the gain of distribution i in output, or -2 (output untouched).
    int getDistributionGain(int i, float& output) const;
    // 0 after setting the gain of distribution i (clamped by it to 0..100), or -2.
    int setDistributionGain(int i, float gain);

    // Moves along the capsule's profile in the x-y plane and turns the
    // orientation about z; a point on the vertical axis stays where it is.
    static void tiltOnCapsule(float angle, tsr::Point& position, tsr::Quaternion& orientation);
    // Turns point and orientation about the vertical axis; the point's turn
    // uses single-precision cosine and sine, as the vest's firmware expects.
    static void rotateHeading(float angle, tsr::Point& position, tsr::Quaternion& orientation);
    // Moves vertically while keeping the distance to the capsule's core
    // segment; beyond a cap's end the point lands on the axis.
    static void elevateOnCapsule(float height, tsr::Point& position);

    const tsr::Point& position() const { return position_; }
    const tsr::Quaternion& orientation() const { return orientation_; }
    const tsr::Point& scale() const { return scale_; }
    const std::vector<std::shared_ptr<tsr::IWeightDistribution>>& distributions() const { return distributions_; }

protected:
    // best[i] = column[i] when first, else the larger of the two.
    static void keepStrongest(std::span<const double, kActuatorCount> column,
                              std::span<double, kActuatorCount> best, bool& first);

    // kind is for derived classes; the base does not keep it.
    IVicinity(uint32_t kind, const tsr::Point& position, const tsr::Quaternion& orientation,
              const tsr::Point& scale);

    tsr::Point position_;
    tsr::Quaternion orientation_;
    tsr::Point scale_;
    std::vector<std::shared_ptr<tsr::IWeightDistribution>> distributions_;
};

}  // namespace vbz::seq
