// Saturating conversions of the object model: times and counts come from
// patterns and callers, so no conversion may overflow.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace tsr {

// trunc(x) as u32: NaN and negatives give 0, values past the range its maximum.
inline uint32_t saturateToU32(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(x);
}

inline uint32_t saturateToU32(uint64_t x) {
    return x > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                     : static_cast<uint32_t>(x);
}

inline std::size_t addSaturating(std::size_t a, uint64_t b) {
    const std::size_t room = std::numeric_limits<std::size_t>::max() - a;
    return b > room ? std::numeric_limits<std::size_t>::max() : a + static_cast<std::size_t>(b);
}

}  // namespace tsr
