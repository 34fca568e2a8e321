// One actuator's samples as the emulated vest received them, each with a
// steady-clock time (the time its block arrived plus its place in the block),
// for the audio-to-haptics timing checks.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

#include "tests/support/jack/BurstTrain.h"
#include "tools/vest-emulator/StreamingVest.h"

namespace vbz_test {

inline std::vector<TimedSample> vestTimeline(const std::vector<vbz::emu::StreamBlock>& blocks, int channel,
                                            int channels = 20) {
    std::vector<TimedSample> out;
    for (const auto& b : blocks) {
        if (!b.answered || b.samples == 0) continue;
        const double step = static_cast<double>(b.durationUs) * 1e-6 / b.samples;
        for (std::size_t k = 0; k < b.samples; ++k) {
            const auto at = b.answeredAt + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(step * static_cast<double>(k)));
            out.push_back({at, b.values[k * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)]});
        }
    }
    std::sort(out.begin(), out.end(), [](const TimedSample& a, const TimedSample& b) { return a.at < b.at; });
    return out;
}

}  // namespace vbz_test
