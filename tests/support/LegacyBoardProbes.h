// Looking at what the emulated vest's playback board received, for tests of
// the legacy back-end that run in real time.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/support/Eventually.h"
#include "tools/vest-emulator/VestModel.h"

namespace vbz_test {

// The fade of every StopSlot the vest received, in order.
inline std::vector<float> stopSlotFades(const vbz::emu::VestModel& vest) {
    std::vector<float> fades;
    for (const auto& f : vest.hostFrames()) {
        if (f.bytes[0] != 0x02 || f.bytes.size() < 8) continue;
        float v;
        std::memcpy(&v, &f.bytes[4], sizeof v);
        fades.push_back(v);
    }
    return fades;
}

}  // namespace vbz_test
