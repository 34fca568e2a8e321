// Deterministic white noise in [-1, 1) (a 64-bit linear congruential
// generator): the same samples on every machine and every run, for tests and
// benchmarks that need broadband audio. One instance per thread.
#pragma once

#include <cstdint>

namespace vbz_test {

class WhiteNoise {
public:
    explicit WhiteNoise(uint64_t seed = 12345) : state_(seed) {}

    double next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state_ >> 11) / 4503599627370496.0 - 1.0;
    }

private:
    uint64_t state_;
};

}  // namespace vbz_test
