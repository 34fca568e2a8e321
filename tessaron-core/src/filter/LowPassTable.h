// The table of ready-made anti-alias low-pass cascades, one per whole cut-off
// from 30 Hz to 999 Hz at the bank's 8000 Hz. Built once while the library
// loads and only read afterwards, so choosing a filter at run time is an index
// computation, never a design.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace tsr {

// One second-order section: (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2).
struct BiquadSection {
    double b0;
    double b1;
    double b2;
    double a1;
    double a2;
};

inline constexpr std::size_t kLowPassEntries = 970;
inline constexpr std::size_t kLowPassSections = 4;
inline constexpr double kLowPassFirstCutoff = 30.0;

using LowPassTable = std::array<std::vector<BiquadSection>, kLowPassEntries>;

// Designs the whole table: entry i is the order-8 Butterworth low-pass at
// 30 + i Hz, four sections applied in series, the first carrying the gain,
// every coefficient rounded to single precision. Used once at load (and by
// the benchmark that measures that cost).
LowPassTable buildLowPassTable();

// The entry for a cut-off in Hz: below 30 Hz entry 0, above 1000 Hz entry 969,
// otherwise floor(cutoff - 30) limited to 969. NaN selects entry 0.
const std::vector<BiquadSection>& lowPassCoefficients(double cutoff);

}  // namespace tsr

// The table, complete before the library finishes loading.
extern const tsr::LowPassTable& lpfTable;
