#include "tessaron-core/src/filter/LowPassTable.h"

#include "tessaron-core/src/filter/Saturating.h"

#include <cmath>
#include <numbers>

namespace tsr {

namespace {
constexpr double kSampleRate = 8000.0;

// Built on first use, which the load-time initialisation of lpfTable below
// makes happen during load; a resampler made by another load-time initialiser
// still finds a complete table.
const LowPassTable& storage() {
    static const LowPassTable table = buildLowPassTable();
    return table;
}

// Rounds to the nearest single-precision value. The round trip goes through
// memory: g++ 12's block vectoriser drops a plain double->float->double
// conversion when two of them sit side by side, which left the table
// unrounded.
double single(double v) {
    volatile float rounded = static_cast<float>(v);
    return static_cast<double>(rounded);
}
}  // namespace

LowPassTable buildLowPassTable() {
    LowPassTable table;
    for (std::size_t i = 0; i < kLowPassEntries; ++i) {
        const double fc = kLowPassFirstCutoff + static_cast<double>(i);
        const double k = std::tan(std::numbers::pi * fc / kSampleRate);
        const double k2 = k * k;
        std::vector<BiquadSection>& entry = table[i];
        entry.resize(kLowPassSections);
        double a0Product = 1.0;
        for (std::size_t j = 0; j < kLowPassSections; ++j) {
            // The most damped pole pair first, the one nearest the unit circle last.
            const double d = 2.0 * std::sin(static_cast<double>(7 - 2 * static_cast<int>(j)) * std::numbers::pi / 16.0);
            const double a0 = 1.0 + d * k + k2;
            a0Product *= a0;
            entry[j] = {1.0, 2.0, 1.0, single(2.0 * (k2 - 1.0) / a0), single((1.0 - d * k + k2) / a0)};
        }
        const double g = std::pow(k, 8) / a0Product;
        entry[0].b0 = single(g);
        entry[0].b1 = single(2.0 * g);
        entry[0].b2 = single(g);
    }
    return table;
}

const std::vector<BiquadSection>& lowPassCoefficients(double cutoff) {
    const LowPassTable& table = storage();
    if (cutoff < kLowPassFirstCutoff) return table[0];
    if (cutoff > 1000.0) return table[kLowPassEntries - 1];
    const uint64_t index = saturatingToU64(std::floor(cutoff - kLowPassFirstCutoff));
    return table[index < kLowPassEntries ? index : kLowPassEntries - 1];
}

}  // namespace tsr

const tsr::LowPassTable& lpfTable = tsr::storage();
