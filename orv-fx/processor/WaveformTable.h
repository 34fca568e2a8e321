// The waveform rows that the ORV-fx generators play: row 0 one period of a
// sine (the rumble), row 1 a negated Ricker wavelet, rows 2 to 10 the pulse
// shapes of the other presets. A row has no sample rate of its own; a
// TableReader plays it at any speed. The rows are built once, on first use
// (thread-safe), and are then shared read-only by every processor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

struct WaveformRow {
    const double* samples = nullptr;
    uint64_t length = 0;
};

inline constexpr std::size_t kOrvWaveformCount = 11;

// Indexable like a constant array of rows; the first access builds them all.
class WaveformTable {
public:
    // An index of 11 or more gives an empty row (no samples), which a reader
    // reports as ended at once.
    const WaveformRow& operator[](std::size_t row) const;
    static constexpr std::size_t size() { return kOrvWaveformCount; }
};

inline constexpr WaveformTable orvWaveforms{};

}  // namespace orv
