#include "tessaron-core/src/tsr/time_utils.h"

#include <cmath>
#include <limits>

namespace tsr {

double samplesToSeconds(double rate, uint64_t count) { return static_cast<double>(count) / rate; }

uint64_t secondsToSamples(double seconds, double rate) {
    const double x = std::round(seconds * rate);
    if (!(x > 0.0)) return 0;
    // 2^64 is the first double that no longer fits.
    if (x >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(x);
}

}  // namespace tsr
