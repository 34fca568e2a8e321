#include "sequencer/IVicinity.h"

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

void IVicinity::tiltOnCapsule(float angle, tsr::Point& position, tsr::Quaternion& orientation) {
    capsule().tilt(static_cast<double>(angle), position, orientation);
}

void IVicinity::rotateHeading(float angle, tsr::Point& position, tsr::Quaternion& orientation) {
    const double half = static_cast<double>(angle) / 2.0;
    orientation = tsr::hamiltonProduct({0.0, std::sin(half), 0.0, std::cos(half)}, orientation);
    const double c = std::cos(angle);  // float overloads: single precision
    const double s = std::sin(angle);
    const double x = position[0], z = position[2];
    position[0] = x * c + z * s;
    position[2] = z * c - x * s;
}

void IVicinity::elevateOnCapsule(float height, tsr::Point& position) {
    capsule().elevate(static_cast<double>(height), position);
}

}  // namespace vbz::seq
