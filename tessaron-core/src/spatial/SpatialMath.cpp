#include "tessaron-core/src/spatial/SpatialMath.h"

#include <limits>

namespace tsr {

Quaternion hamiltonProduct(const Quaternion& r, const Quaternion& q) {
    const double rx = r[0], ry = r[1], rz = r[2], rw = r[3];
    const double qx = q[0], qy = q[1], qz = q[2], qw = q[3];
    return {rw * qx + rx * qw + ry * qz - rz * qy,
            rw * qy - rx * qz + ry * qw + rz * qx,
            rw * qz + rx * qy - ry * qx + rz * qw,
            rw * qw - rx * qx - ry * qy - rz * qz};
}

float narrowToFloat(double value) {
    // Halfway between FLT_MAX and the next power of two: from here on the
    // nearest float (ties to even) is infinity.
    constexpr double overflow = 0x1.ffffffp127;
    if (value >= overflow) return std::numeric_limits<float>::infinity();
    if (value <= -overflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

}  // namespace tsr
