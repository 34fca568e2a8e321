// Pulse and rumble generators on their own: when a pulse holds and
// restarts, the rumble's ramp and reset, and a rumble whose step can never
// advance. (Durations, frequencies and amplitudes are checked through the
// processor.)
#include "orv-fx/processor/Generators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Pulse 1 of the Default preset: the Ricker row over 50 to 61 ms, gain 0.8.
constexpr orv::OrvPulseSettings kPulse = orv::kOrvPresets[0].pulses[0];
// From 90 Hz at band 0 to 40 Hz at band 1, gain 0.75.
constexpr orv::OrvRumbleSettings kRumble = orv::kOrvPresets[0].rumble;

template <class T>
std::vector<T> block(orv::BaseGenerator<T>& generator, std::size_t length, T band, T factor = 1) {
    std::vector<T> out(length, T(-7));  // every sample must be written
    generator.process(out, band, factor);
    return out;
}

}  // namespace

TEST(PulseGenerator, HoldsAgainstSmallerAmplitudesAndRestartsOnALargerOne) {
    orv::PulseGenerator<double> held(48000, kPulse), asked(48000, kPulse), restarted(48000, kPulse),
        fresh(48000, kPulse);
    for (int b = 0; b < 3; ++b) {
        // A playing pulse ignores the same or a smaller amplitude (and its band).
        EXPECT_EQ(block(held, 960, b == 0 ? 1.0 : 0.0), block(asked, 960, b == 0 ? 1.0 : 0.3));
    }
    block(restarted, 960, 0.2);
    // A larger amplitude starts the shape again from its first sample.
    EXPECT_EQ(block(restarted, 960, 1.0), block(fresh, 960, 1.0));
}

TEST(RumbleGenerator, ResetRampsFromZeroAsAFreshOne) {
    orv::RumbleGenerator<float> used(48000, kRumble), fresh(48000, kRumble);
    for (int b = 0; b < 7; ++b) block(used, 960, 0.7f);
    used.reset();
    EXPECT_EQ(block(used, 960, 0.5f), block(fresh, 960, 0.5f));
    // Falling to band 0 fades over the 48 samples of 1 ms, then is silent.
    const auto fade = block(fresh, 960, 0.0f);
    EXPECT_NE(fade[10], 0.0f);
    for (std::size_t i = 48; i < fade.size(); ++i) ASSERT_EQ(fade[i], 0.0f) << i;
}

TEST(RumbleGenerator, AStepThatCannotAdvanceEndsTheBlockWithZeros) {
    // A frequency so high that the reader's position never moves on.
    const orv::OrvRumbleSettings absurd{0.5, 1.0, 1e30, 1e30, 0.5};
    orv::RumbleGenerator<float> rumble(48000, absurd);
    for (int b = 0; b < 3; ++b) {
        const auto out = block(rumble, 960, 0.5f);
        for (float v : out) ASSERT_TRUE(std::isfinite(v));
    }
}
