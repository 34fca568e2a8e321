// A terminal picture of what a vest played: one row per actuator, one
// character per slice of time whose density follows the slice's RMS level,
// then the actuator's overall RMS in dB of full scale.
#pragma once

#include <string>
#include <vector>

namespace vbz::emu {

// signals: one vector per actuator at `rate` Hz. columns: slices of time.
std::string levelChart(const std::vector<std::vector<float>>& signals, unsigned rate, unsigned columns = 60);

}  // namespace vbz::emu
