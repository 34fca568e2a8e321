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
    const CapsuleMoves moves(height, heading, tilt);
    workOrientation_ = orientation_;  // mirrors move the centre only
    moves.turn(workOrientation_);
    weighMoved(moves, {mirrorX, mirrorY, mirrorZ}, column);
}

void VicinitySphere::strongestWeights(const CapsuleMoves& moves, std::span<const Mirror> mirrors,
                                      std::span<double, kActuatorCount> best, bool& first) {
    workOrientation_ = orientation_;
    moves.turn(workOrientation_);
    std::array<double, kActuatorCount> column{};
    for (const Mirror& m : mirrors) {
        weighMoved(moves, m, column);
        keepStrongest(column, best, first);
    }
}

void VicinitySphere::weighMoved(const CapsuleMoves& moves, const Mirror& mirror,
                                std::span<double, kActuatorCount> column) {
    workCentre_ = position_;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        if (mirror[axis]) workCentre_[axis] = -workCentre_[axis];
    }
    moves.movePoint(workCentre_);

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

    // The inversions mirror every vicinity; each addition adds the image
    // mirrored along its axis, so a set of a additions gives 2^a mirrors.
    const IVicinity::Mirror base = {spatial.frontBackInversion, spatial.upDownInversion, spatial.rightLeftInversion};
    const bool added[3] = {spatial.frontBackAddition, spatial.upDownAddition, spatial.rightLeftAddition};
    std::array<IVicinity::Mirror, 8> mirrors{};
    std::size_t count = 1;
    mirrors[0] = base;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        if (!added[axis]) continue;
        for (std::size_t c = 0; c < count; ++c) {
            mirrors[count + c] = mirrors[c];
            mirrors[count + c][axis] = !mirrors[c][axis];
        }
        count *= 2;
    }
    const std::span<const IVicinity::Mirror> combinations(mirrors.data(), count);
    const CapsuleMoves moves(spatial.height, spatial.heading, spatial.tilt);

    const std::size_t keys = std::min(record.keyframes.size(), record.keyframeVicinities.size());
    for (std::size_t k = 0; k < keys; ++k) {
        std::array<double, kActuatorCount> best{};
        bool first = true;
        for (const auto& vicinity : record.keyframeVicinities[k]) {
            if (vicinity) vicinity->strongestWeights(moves, combinations, best, first);
        }
        auto& values = record.keyframes[k].values;
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = weightToByte(best[i]);
    }
    record.weighedFor = spatial;
}

}  // namespace vbz::seq
