#include "sequencer/VicinitySphere.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "tessaron-core/src/spatial/Vicinity.h"

namespace vbz::seq {

const tsr::Matrix& actuatorPositions() {
    static const tsr::Matrix positions = tsr::LayoutVibrenzaCapsule().positions();
    return positions;
}

VicinitySphere::VicinitySphere(uint32_t kind, const tsr::Point& position, const tsr::Quaternion& orientation,
                               const tsr::Point& scale)
    : IVicinity(kind, position, orientation, scale) {
    distributions_.push_back(tsr::makeWDFastGaussian(1.0f, 0.0f, 0.0f, 0.6f, 1.0f, "Normalized"));
}

void VicinitySphere::weights(float height, float heading, float tilt, bool mirrorX, bool mirrorY, bool mirrorZ,
                             std::span<double, kActuatorCount> column) {
    workCentre_ = position_;
    workOrientation_ = orientation_;  // mirrors move the centre only
    if (mirrorX) workCentre_[0] = -workCentre_[0];
    if (mirrorY) workCentre_[1] = -workCentre_[1];
    if (mirrorZ) workCentre_[2] = -workCentre_[2];

    if (tilt != 0.0f) tiltOnCapsule(tilt, workCentre_, workOrientation_);
    if (heading != 0.0f) rotateHeading(heading, workCentre_, workOrientation_);
    if (height != 0.0f) elevateOnCapsule(height, workCentre_);

    tsr::ellipsoidDistances(workOrientation_, workCentre_, scale_, actuatorPositions(), column.size(),
                            inverseRotation_, column.data());
    if (!distributions_.empty() && distributions_.front()) {
        distributions_.front()->apply(column);
    } else {
        std::fill(column.begin(), column.end(), 0.0);
    }
}

namespace {
uint8_t weightToByte(double w) {
    if (!(w > 0.0)) return 0;
    if (w >= 255.0) return 255;
    return static_cast<uint8_t>(w);
}
}  // namespace

void computeKeyframeWeights(SampleRecord& record, const SpatialBlock& spatial) {
    if (record.keyframeVicinities.empty()) return;
    if (record.weighedFor == spatial) return;

    const bool base[3] = {spatial.frontBackInversion, spatial.upDownInversion, spatial.rightLeftInversion};
    const bool added[3] = {spatial.frontBackAddition, spatial.upDownAddition, spatial.rightLeftAddition};
    int axes[3];
    int a = 0;
    for (int axis = 0; axis < 3; ++axis) {
        if (added[axis]) axes[a++] = axis;
    }
    const unsigned combinations = 1u << a;

    const std::size_t count = std::min(record.keyframes.size(), record.keyframeVicinities.size());
    for (std::size_t k = 0; k < count; ++k) {
        // The row maximum over every (vicinity, mirror combination) column,
        // kept as a running maximum so that no matrix is allocated per play.
        std::array<double, kActuatorCount> best{};
        std::array<double, kActuatorCount> column{};
        bool first = true;
        for (const auto& vicinity : record.keyframeVicinities[k]) {
            if (!vicinity) continue;
            for (unsigned c = 0; c < combinations; ++c) {
                bool mirror[3] = {base[0], base[1], base[2]};
                for (int b = 0; b < a; ++b) {
                    if ((c >> b) & 1u) mirror[axes[b]] = !mirror[axes[b]];
                }
                vicinity->weights(spatial.height, spatial.heading, spatial.tilt, mirror[0], mirror[1], mirror[2],
                                  column);
                for (std::size_t i = 0; i < best.size(); ++i) {
                    if (first || column[i] > best[i]) best[i] = column[i];
                }
                first = false;
            }
        }
        auto& values = record.keyframes[k].values;
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = weightToByte(best[i]);
    }
    record.weighedFor = spatial;
}

}  // namespace vbz::seq
