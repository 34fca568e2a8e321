// Build-time converter of the signal bank: turns waveform assets (or, without
// recorded assets, deterministic synthesised stand-ins) into the concatenated
// f32 samples that the library embeds. Runs only inside the build, never in
// the library.
#pragma once

#include "tessaron-core/src/signal/SignalBankRows.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tsr::bankgen {

// Stored samples are k / 32767 for a whole k with |k| <= kMaxCode.
inline constexpr int kMaxCode = 32734;
inline constexpr double kScale = 32767.0;

// Maps codes to stored values: the quotient k / 32767 written with eight
// significant digits and read back as the nearest f32 (which is not always
// the plain cast of the quotient).
class Quantiser {
public:
    Quantiser();
    // k must lie in [-kMaxCode, kMaxCode].
    float value(int k) const { return table_[static_cast<std::size_t>(k + kMaxCode)]; }
    // The nearest code of a value: round(v * 32767), saturated to
    // [-kMaxCode, kMaxCode]; NaN gives 0.
    static int codeOf(double v);
    float quantise(double v) const { return value(codeOf(v)); }

private:
    std::vector<float> table_;
};

// The stored value of code k by the eight-digit rule, computed directly.
float eightDigitValue(int k);

// A deterministic stand-in for a row: exactly row.length samples, a seeded sum
// of sinusoids inside [bandLow, bandHigh] with smooth fades, quantised.
std::vector<float> synthesiseRow(const bank::RowSpec& row, const Quantiser& q);

// Reads one ".csv" asset: decimal sample values in [-1, 1], in time order,
// separated by commas, semicolons or white space (any number per line). The
// file must hold exactly expectedLength values. On failure returns false and
// describes the problem (with its line) in error.
bool readCsvAsset(const std::string& path, uint64_t expectedLength, const Quantiser& q,
                  std::vector<float>& out, std::string& error);

// Builds every row in order and appends its samples to out. With an empty
// assetsDir the rows are synthesised; otherwise each row is read from
// assetsDir/<row name>.
bool buildBank(std::span<const bank::RowSpec> rows, const std::string& assetsDir,
               std::vector<float>& out, std::string& error);

// Writes the samples as little-endian f32, through a temporary file renamed
// into place, so an interrupted build never leaves a truncated bank.
bool writeBank(const std::string& path, const std::vector<float>& samples, std::string& error);

}  // namespace tsr::bankgen
