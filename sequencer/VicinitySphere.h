// The legacy back-end's sphere vicinity: an ellipsoid around a centre whose
// scaled distance to each actuator the first distribution (by default a
// WDFastGaussian "Normalized": flat to 0.6, zero from 1) turns into a weight.
// The effect's mirrors, tilt, heading and height move it before each play.
// Owned by the keyframe list of its sample record; sequencing thread only.
#pragma once

#include <span>

#include "sequencer/IVicinity.h"
#include "sequencer/SampleRecord.h"
#include "sequencer/SpatialBlock.h"
#include "tessaron-core/src/spatial/SpatialMath.h"

namespace vbz::seq {

// 3 x 20, column i = (x, y, z) of actuator i in metres: the engine's capsule
// layout, built once and only read afterwards.
const tsr::Matrix& actuatorPositions();

class VicinitySphere : public IVicinity {
public:
    VicinitySphere(uint32_t kind, const tsr::Point& position, const tsr::Quaternion& orientation,
                   const tsr::Point& scale);

    // Mirrors the centre, then tilts, turns and elevates it (each only when
    // not 0; NaN counts as not 0), then weighs every actuator.
    void weights(float height, float heading, float tilt, bool mirrorX, bool mirrorY, bool mirrorZ,
                 std::span<double, kActuatorCount> column) override;
    // Turns the orientation and builds its matrix once for all the mirrors.
    void strongestWeights(const CapsuleMoves& moves, std::span<const Mirror> mirrors,
                          std::span<double, kActuatorCount> best, bool& first) override;

    const tsr::Point& workCentre() const { return workCentre_; }
    const tsr::Quaternion& workOrientation() const { return workOrientation_; }
    const tsr::Matrix& inverseRotation() const { return inverseRotation_; }

private:
    // Distances in column become weights through the first distribution.
    void weigh(std::span<double, kActuatorCount> column) const;

    tsr::Point workCentre_{};
    tsr::Matrix inverseRotation_{3, 3};
    tsr::Quaternion workOrientation_{};
    // The first distribution, whose flat bands spare most of the arithmetic.
    std::shared_ptr<tsr::WDFastGaussian> gaussian_;
};

// Refreshes the actuator bytes of every vicinity keyframe of the record for
// this play: each actuator takes the strongest weight over the keyframe's
// vicinities and, for each set addition flag, their mirror images too.
// Does nothing for weight keyframes, nor when the bytes were last computed
// for the same transform. Allocates nothing.
void computeKeyframeWeights(SampleRecord& record, const SpatialBlock& spatial);

}  // namespace vbz::seq
