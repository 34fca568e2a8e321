// Looking at what the emulated vest's playback board received, for tests of
// the legacy back-end that run in real time.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "tools/vest-emulator/VestModel.h"

namespace vbz_test {

// Polls condition until it holds or limit passes; its last value.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::steady_clock::duration limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

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
