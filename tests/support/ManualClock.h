// A steady clock that moves only when the test says so. Starts far from 0,
// as a real steady clock does. Read and moved from the test's thread.
#pragma once

#include <cmath>
#include <cstdint>

#include "streaming/SteadyClock.h"

namespace vbz_test {

class ManualClock : public vbz::SteadyClock {
public:
    int64_t nowNanoseconds() override { return now; }
    // Moves to `seconds` after the start.
    void at(double seconds) { now = kStart + static_cast<int64_t>(std::llround(seconds * 1e9)); }

    static constexpr int64_t kStart = 12'345'000'000'000;
    int64_t now = kStart;
};

}  // namespace vbz_test
