#include "tools/vest-emulator/LevelChart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vbz::emu {

namespace {
// From silence to full scale; each step is 6 dB.
constexpr const char kShades[] = " .:-=+*#%@";
constexpr int kSteps = sizeof kShades - 2;

double rmsOf(const std::vector<float>& x, std::size_t begin, std::size_t end) {
    if (end <= begin) return 0.0;
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / static_cast<double>(end - begin));
}

char shade(double rms) {
    if (!(rms > 0.0)) return kShades[0];
    const double db = 20.0 * std::log10(rms);
    const int step = kSteps + static_cast<int>(std::floor(db / 6.0));
    return kShades[std::clamp(step, 1, kSteps)];
}
}  // namespace

std::string levelChart(const std::vector<std::vector<float>>& signals, unsigned rate, unsigned columns) {
    std::size_t length = 0;
    for (const auto& s : signals) length = std::max(length, s.size());
    if (length == 0 || columns == 0 || rate == 0) return "the vest received no signal\n";
    const std::size_t slice = std::max<std::size_t>(1, (length + columns - 1) / columns);
    char line[64];
    std::snprintf(line, sizeof line, "%.2f s", static_cast<double>(length) / rate);
    std::string out = "actuator levels over " + std::string(line) + " (each column " +
                      std::to_string(slice * 1000 / rate) + " ms; ' ' silence ... '@' full scale)\n";
    for (std::size_t a = 0; a < signals.size(); ++a) {
        const auto& s = signals[a];
        std::snprintf(line, sizeof line, "  %2zu |", a);
        out += line;
        for (std::size_t begin = 0; begin < length; begin += slice)
            out += shade(rmsOf(s, std::min(begin, s.size()), std::min(begin + slice, s.size())));
        const double rms = rmsOf(s, 0, s.size());
        if (rms > 0.0)
            std::snprintf(line, sizeof line, "| %6.1f dBFS\n", 20.0 * std::log10(rms));
        else
            std::snprintf(line, sizeof line, "|   silent\n");
        out += line;
    }
    return out;
}

}  // namespace vbz::emu
