// Conversions between sample counts and seconds used across the engine.
#pragma once

#include <cstdint>

namespace tsr {
// count / rate; a rate of 0 gives infinity (or NaN for count 0).
double samplesToSeconds(double rate, uint64_t count);
// round(seconds * rate), halves away from zero; 0 for results that are not
// above 0 (NaN included); saturates at UINT64_MAX.
uint64_t secondsToSamples(double seconds, double rate);
}  // namespace tsr
