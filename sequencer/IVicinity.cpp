#include "sequencer/IVicinity.h"

#include <algorithm>
#include <cmath>

#include "sdk/core/ErrorText.h"
#include "sdk/core/LogLine.h"

namespace vbz::seq {
namespace {
// The legacy tilt and elevation are the engine's capsule moves; only the
// heading differs (single-precision turn of the point).
const tsr::LayoutVibrenzaCapsule& capsule() {
    static const tsr::LayoutVibrenzaCapsule layout;
    return layout;
}
}  // namespace

IVicinity::IVicinity(uint32_t, const tsr::Point& position, const tsr::Quaternion& orientation,
                     const tsr::Point& scale)
    : position_(position), orientation_(orientation), scale_(scale) {}

int IVicinity::checkIndex(int i) const {
    if (i >= 0 && static_cast<std::size_t>(i) < distributions_.size()) return 0;
    logError(-2, "The provided index does not correspond to a valid weight distribution.");
    return -2;
}

void IVicinity::logError(int code, const std::string& message) {
    LogLine(4, "IV") << errorText(code) << " (" << code << ") -- " << message;
}

int IVicinity::getDistributionGain(int i, float& output) const {
    if (checkIndex(i) != 0) return -2;
    output = distributions_[static_cast<std::size_t>(i)]->gain();
    return 0;
}

int IVicinity::setDistributionGain(int i, float gain) {
    if (checkIndex(i) != 0) return -2;
    distributions_[static_cast<std::size_t>(i)]->setGain(gain);
    return 0;
}

CapsuleMoves::CapsuleMoves(float height_, float heading_, float tilt_)
    : tilting(tilt_ != 0.0f), turning(heading_ != 0.0f), lifting(height_ != 0.0f),
      height(height_), heading(heading_), tilt(tilt_) {
    const double t = static_cast<double>(tilt) / 2.0;
    tiltTurn = {0.0, 0.0, std::sin(t), std::cos(t)};
    const double h = static_cast<double>(heading) / 2.0;
    headingTurn = {0.0, std::sin(h), 0.0, std::cos(h)};
    headingCos = std::cos(heading);  // float overloads: single precision
    headingSin = std::sin(heading);
}

void CapsuleMoves::movePoint(tsr::Point& p) const {
    tsr::LayoutVibrenzaCapsule::TiltMemo memo;
    tiltPoint(p, memo);
    turnAndLift(p);
}

void CapsuleMoves::tiltPoint(tsr::Point& p, tsr::LayoutVibrenzaCapsule::TiltMemo& memo) const {
    if (tilting) tsr::LayoutVibrenzaCapsule::tiltPoint(static_cast<double>(tilt), p, memo);
}

void CapsuleMoves::turnAndLift(tsr::Point& p) const {
    if (turning) {
        const double x = p[0], z = p[2];
        p[0] = x * headingCos + z * headingSin;
        p[2] = z * headingCos - x * headingSin;
    }
    if (lifting) capsule().elevate(static_cast<double>(height), p);
}

void CapsuleMoves::turn(tsr::Quaternion& q) const {
    if (tilting) q = tsr::hamiltonProduct(tiltTurn, q);
    if (turning) q = tsr::hamiltonProduct(headingTurn, q);
}

void IVicinity::strongestWeights(const CapsuleMoves& moves, std::span<const Mirror> mirrors,
                                 std::span<double, kActuatorCount> best, bool& first) {
    std::array<double, kActuatorCount> column{};
    for (const Mirror& m : mirrors) {
        weights(moves.height, moves.heading, moves.tilt, m[0], m[1], m[2], column);
        keepStrongest(column, best, first);
    }
}

void IVicinity::keepStrongest(std::span<const double, kActuatorCount> column,
                              std::span<double, kActuatorCount> best, bool& first) {
    if (first) {
        std::copy(column.begin(), column.end(), best.begin());
        first = false;
        return;
    }
    // Written as a selection so that it compiles to packed maxima.
    for (std::size_t i = 0; i < best.size(); ++i) best[i] = column[i] > best[i] ? column[i] : best[i];
}

void IVicinity::tiltOnCapsule(float angle, tsr::Point& position, tsr::Quaternion& orientation) {
    const CapsuleMoves moves(0.0f, 0.0f, angle);
    moves.turn(orientation);
    tsr::LayoutVibrenzaCapsule::tiltPoint(static_cast<double>(angle), position);
}

void IVicinity::rotateHeading(float angle, tsr::Point& position, tsr::Quaternion& orientation) {
    const CapsuleMoves moves(0.0f, angle, 0.0f);
    moves.turn(orientation);
    moves.movePoint(position);
}

void IVicinity::elevateOnCapsule(float height, tsr::Point& position) {
    capsule().elevate(static_cast<double>(height), position);
}

}  // namespace vbz::seq
