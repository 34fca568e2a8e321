#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "tessaron-core/src/model/FadeOut.h"
#include "tessaron-core/src/model/VolumeEnvelope.h"

namespace {
using tsr::FadeOut;
using tsr::VolumeEnvelope;

TEST(FadeOut, RampsDownToZeroAndCountsItsSamples) {
    FadeOut fade;
    EXPECT_FALSE(fade.isActive());
    fade.start(0.25);
    EXPECT_TRUE(fade.isActive());
    EXPECT_EQ(fade.samplesLeft(), 4u);
    std::vector<float> s(6, 1.0f);
    fade.apply(0, s.data(), s.size());
    EXPECT_EQ(s, (std::vector<float>{1.0f, 0.75f, 0.5f, 0.25f, 0.0f, 0.0f}));
    EXPECT_EQ(fade.level(), 1.0) << "apply leaves the stored level alone";

    // A chunk that starts at position 2 of the buffer continues the same ramp.
    std::vector<float> t(2, 2.0f);
    fade.apply(2, t.data(), t.size());
    EXPECT_EQ(t, (std::vector<float>{1.0f, 0.5f}));

    fade.advance(2);
    EXPECT_DOUBLE_EQ(fade.level(), 0.5);
    EXPECT_EQ(fade.samplesLeft(), 2u);
    fade.advance(100);
    EXPECT_EQ(fade.level(), 0.0);
    EXPECT_EQ(fade.samplesLeft(), 0u);
}

TEST(FadeOut, NewSlopeGoesOnFromTheCurrentLevelAndBadStepsMeanNoFade) {
    FadeOut fade;
    fade.start(0.1);
    fade.advance(5);
    fade.setStep(0.25);
    EXPECT_DOUBLE_EQ(fade.level(), 0.5);
    EXPECT_EQ(fade.samplesLeft(), 2u);

    fade.start(-1.0);
    EXPECT_FALSE(fade.isActive());
    fade.start(std::nan(""));
    EXPECT_FALSE(fade.isActive());
    std::vector<float> s(3, 0.5f);
    fade.apply(0, s.data(), s.size());
    EXPECT_EQ(s, (std::vector<float>(3, 0.5f))) << "an inactive fade changes nothing";
}

TEST(FadeOut, ExtremeStepsSaturateInsteadOfOverflowing) {
    FadeOut fade;
    fade.start(1e-300);
    EXPECT_EQ(fade.samplesLeft(), std::numeric_limits<uint64_t>::max());
    fade.start(std::numeric_limits<double>::infinity());
    EXPECT_EQ(fade.samplesLeft(), 0u) << "an infinite step silences at once";
    fade.start(0.5);
    fade.advance(std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(fade.level(), 0.0);
}

TEST(VolumeEnvelope, InterpolatesHoldsItsEndsAndRefusesTimesOutOfOrder) {
    VolumeEnvelope env;
    EXPECT_EQ(env.valueAt(0.3), 0.0f) << "no point: silence";
    EXPECT_TRUE(env.addPoint(0.0, 0.0));
    EXPECT_TRUE(env.addPoint(1.0, 1.0));
    EXPECT_FALSE(env.addPoint(1.0, 0.2));
    EXPECT_FALSE(env.addPoint(0.5, 0.2));
    EXPECT_FALSE(env.addPoint(std::nan(""), 0.2));
    EXPECT_EQ(env.points().size(), 2u);
    EXPECT_EQ(env.segments().size(), 1u);
    EXPECT_FLOAT_EQ(env.valueAt(0.5), 0.5f);
    EXPECT_EQ(env.valueAt(-1.0), 0.0f);
    EXPECT_EQ(env.valueAt(7.0), 1.0f);

    VolumeEnvelope falling;
    falling.addPoint(2.0, 0.8);
    EXPECT_FALSE(falling.addPoint(1.0, 0.1)) << "decreasing times keep only the first";
    EXPECT_FLOAT_EQ(falling.valueAt(0.0), 0.8f);
}

TEST(VolumeEnvelope, ApplyMatchesValueAtAcrossSeveralSegments) {
    VolumeEnvelope env;
    env.addPoint(0.1, 0.0);
    env.addPoint(0.3, 1.0);
    env.addPoint(0.4, 0.5);
    env.addPoint(0.9, 0.5);
    const double dt = 0.01;
    std::vector<float> s(120, 1.0f);
    env.apply(0.0, dt, s.data(), s.size());
    double t = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i, t += dt) EXPECT_FLOAT_EQ(s[i], env.valueAt(t)) << "sample " << i;

    VolumeEnvelope empty;
    std::vector<float> silent(4, 0.7f);
    empty.apply(0.0, dt, silent.data(), silent.size());
    EXPECT_EQ(silent, std::vector<float>(4, 0.0f));
}
}  // namespace
