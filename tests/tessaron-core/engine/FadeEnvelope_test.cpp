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
// The block form (one straight stretch per segment, with the volume) gives
// what the sample-by-sample form gives, wherever the block starts and however
// many points it crosses, and falls back to it for times that do not move on.
TEST(VolumeEnvelope, ApplyWithGainMatchesApplyTimesTheGain) {
    VolumeEnvelope env;
    for (const auto& [t, v] : {std::pair{0.1, 0.2}, std::pair{0.15, 1.0}, std::pair{0.4, 0.5},
                               std::pair{0.41, 0.9}, std::pair{1.0, 0.0}}) {
        ASSERT_TRUE(env.addPoint(t, v));
    }
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double t0, dt;
        std::size_t n;
    };
    for (const Case& c : {Case{0.0, 1.0 / 48000.0, 512}, Case{0.09, 1.0 / 2000.0, 25}, Case{0.0, 1.0 / 500.0, 600},
                          Case{0.399, 1.0 / 8000.0, 200}, Case{0.95, 1.0 / 100.0, 30}, Case{2.0, 0.001, 10},
                          Case{-1.0, 0.01, 300}, Case{0.2, 0.0, 8}, Case{0.2, inf, 8}, Case{0.2, std::nan(""), 8},
                          Case{0.15, 0.05, 1}}) {
        std::vector<float> a(c.n), b(c.n);
        for (std::size_t i = 0; i < c.n; ++i) a[i] = b[i] = 0.3f + 0.001f * static_cast<float>(i % 17);
        env.apply(c.t0, c.dt, a.data(), c.n);
        env.applyWithGain(c.t0, c.dt, 0.7f, b.data(), c.n);
        for (std::size_t i = 0; i < c.n; ++i) {
            if (std::isnan(a[i])) {  // a time that is not a number has no value in either form
                ASSERT_TRUE(std::isnan(b[i])) << c.t0 << " " << c.dt << " " << i;
                continue;
            }
            ASSERT_NEAR(b[i], a[i] * 0.7f, 1e-6) << c.t0 << " " << c.dt << " " << i;
        }
    }
    VolumeEnvelope none;
    std::vector<float> s(5, 1.0f);
    none.applyWithGain(0.0, 0.01, 2.0f, s.data(), s.size());
    EXPECT_EQ(s, std::vector<float>(5, 0.0f));
}

}  // namespace
