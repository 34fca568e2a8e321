// The sample rates an ORV-fx processor accepts, in ascending order. The
// filter tables hold one section list per rate.
#pragma once

#include <array>
#include <cstdint>

namespace orv {

inline constexpr std::array<uint32_t, 11> kOrvSampleRates{500,   1000,  2000,  4000,  8000, 16000,
                                                          32000, 44100, 48000, 88200, 96000};

constexpr bool isOrvSampleRate(int64_t rate) {
    for (uint32_t r : kOrvSampleRates) {
        if (rate == static_cast<int64_t>(r)) return true;
    }
    return false;
}

}  // namespace orv
