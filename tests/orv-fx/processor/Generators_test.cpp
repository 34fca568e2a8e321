// Pulse and rumble generators on their own: when a pulse starts, holds and
// restarts, how long it lasts, the rumble's phase, ramp and reset, and a
// rumble whose step can never advance.
#include "orv-fx/processor/Generators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
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

std::size_t lastNonZero(const std::vector<double>& samples) {
    std::size_t last = 0;
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (samples[i] != 0.0) last = i;
    return last;
}

}  // namespace

TEST(PulseGenerator, IdleWithoutAmplitudeAndPlaysItsRowOnce) {
    orv::PulseGenerator<double> pulse(48000, kPulse);
    EXPECT_EQ(block(pulse, 960, 0.0), std::vector<double>(960, 0.0));
    EXPECT_TRUE(pulse.isIdle());

    // Band 1: amplitude 0.8, duration 61 ms (about 2928 samples), then zeros.
    std::vector<double> played;
    EXPECT_DOUBLE_EQ(pulse.process(std::span<double>(), 1.0, 1.0), 0.8);  // an empty block does nothing
    EXPECT_TRUE(pulse.isIdle());
    for (int b = 0; b < 5; ++b) {
        const auto out = block(pulse, 960, b == 0 ? 1.0 : 0.0);
        played.insert(played.end(), out.begin(), out.end());
    }
    EXPECT_TRUE(pulse.isIdle());
    EXPECT_NEAR(static_cast<double>(lastNonZero(played) + 1), 0.061 * 48000, 3.0);
    double lowest = 0;
    for (double v : played) lowest = std::min(lowest, v);
    EXPECT_NEAR(lowest, -0.8, 1e-3);  // the row's trough of -1 at amplitude 0.8
}

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

TEST(RumbleGenerator, RunsASineWithoutPhaseBreaksAndRampsOver1Ms) {
    orv::RumbleGenerator<double> rumble(2000, kRumble);
    // Band 0.36: 40 + 50 x sqrt(0.64) = 80 Hz at amplitude 0.75 x 0.6.
    std::vector<double> out;
    for (int b = 0; b < 25; ++b) {
        const auto part = block(rumble, 40, 0.36);
        out.insert(out.end(), part.begin(), part.end());
    }
    EXPECT_NEAR(out[0], 0.0, 1e-12);
    for (std::size_t i = 1; i < out.size(); ++i) {
        const double expected = 0.45 * std::sin(2.0 * std::numbers::pi * 80.0 * static_cast<double>(i) / 2000.0);
        ASSERT_NEAR(out[i], expected, 1e-4) << i;
    }
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
