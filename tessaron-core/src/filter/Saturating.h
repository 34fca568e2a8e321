// Conversions of doubles to integers that never invoke undefined behaviour:
// NaN gives 0 and out-of-range values stick to the nearest limit.
#pragma once

#include <cstdint>
#include <limits>

namespace tsr {

// Truncates toward zero; negative values and NaN give 0, 2^64 and above give
// UINT64_MAX.
inline uint64_t saturatingToU64(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(v);
}

}  // namespace tsr
