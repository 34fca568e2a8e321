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

namespace {
const tsr::PositionEstimates& actuatorEstimates() {
    static const tsr::PositionEstimates estimates(actuatorPositions());
    return estimates;
}
}  // namespace

VicinitySphere::VicinitySphere(uint32_t kind, const tsr::Point& position, const tsr::Quaternion& orientation,
                               const tsr::Point& scale)
    : IVicinity(kind, position, orientation, scale) {
    gaussian_ = tsr::makeWDFastGaussian(1.0f, 0.0f, 0.0f, 0.6f, 1.0f, "Normalized");
    distributions_.push_back(gaussian_);
}

void VicinitySphere::weights(float height, float heading, float tilt, bool mirrorX, bool mirrorY, bool mirrorZ,
                             std::span<double, kActuatorCount> column) {
    const CapsuleMoves moves(height, heading, tilt);
    workOrientation_ = orientation_;  // mirrors move the centre only
    moves.turn(workOrientation_);
    workCentre_ = position_;
    if (mirrorX) workCentre_[0] = -workCentre_[0];
    if (mirrorY) workCentre_[1] = -workCentre_[1];
    if (mirrorZ) workCentre_[2] = -workCentre_[2];
    moves.movePoint(workCentre_);
    tsr::ellipsoidDistances(workOrientation_, workCentre_, scale_, actuatorPositions(), column.size(),
                            inverseRotation_, column.data());
    weigh(column);
}

void VicinitySphere::strongestWeights(const CapsuleMoves& moves, std::span<const Mirror> mirrors,
                                      std::span<double, kActuatorCount> best, bool& first) {
    // The orientation, hence the matrix, is the same under every mirror. The
    // tilt reads and moves x and y only, so the two z images of a centre
    // share it, and all images share the radius whose arctangent it takes.
    workOrientation_ = orientation_;
    moves.turn(workOrientation_);
    tsr::inverseRotationOf(workOrientation_, inverseRotation_);
    std::array<tsr::Point, 4> tilted{};
    std::array<bool, 4> isTilted{};
    tsr::LayoutVibrenzaCapsule::TiltMemo memo;
    constexpr std::size_t kBatch = 8;  // every combination of the three mirrors
    std::array<tsr::Point, kBatch> centres;
    std::array<double, kActuatorCount> column;  // written whole for each batch
    const bool gaussian = !distributions_.empty() && distributions_.front() == gaussian_;
    for (std::size_t from = 0; from < mirrors.size(); from += kBatch) {
        const std::size_t count = std::min(kBatch, mirrors.size() - from);
        for (std::size_t k = 0; k < count; ++k) {
            const Mirror& m = mirrors[from + k];
            const std::size_t xy = (m[0] ? 2u : 0u) + (m[1] ? 1u : 0u);
            if (!isTilted[xy]) {
                tsr::Point& p = tilted[xy];
                p = position_;
                if (m[0]) p[0] = -p[0];
                if (m[1]) p[1] = -p[1];
                moves.tiltPoint(p, memo);
                isTilted[xy] = true;
            }
            centres[k] = tilted[xy];
            centres[k][2] = m[2] ? -position_[2] : position_[2];
            moves.turnAndLift(centres[k]);
        }
        if (gaussian) {
            // The weights are never NaN, negative or -0: the largest is the
            // same value whichever image gives it first.
            tsr::strongestEllipsoidWeights(inverseRotation_, std::span<const tsr::Point>(centres.data(), count),
                                           scale_, actuatorPositions(), actuatorEstimates(), kActuatorCount,
                                           *gaussian_, column.data());
            keepStrongest(column, best, first);
        } else {
            for (std::size_t k = 0; k < count; ++k) {
                tsr::ellipsoidDistances(inverseRotation_, centres[k], scale_, actuatorPositions(), kActuatorCount,
                                        column.data());
                weigh(column);
                keepStrongest(column, best, first);
            }
        }
        workCentre_ = centres[count - 1];
    }
}

void VicinitySphere::weigh(std::span<double, kActuatorCount> column) const {
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
