#include "tessaron-core/src/spatial/Spatialiser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "tests/support/CountingSphere.h"

using namespace tsr;
using vbz_test::CountingSphere;
using nlohmann::json;

namespace {
constexpr int N = 20;

// Percent weights of two keyframes, distinct per actuator.
std::vector<double> percentA() {
    std::vector<double> a(N);
    for (int i = 0; i < N; ++i) a[i] = 5.0 * i;
    return a;
}
std::vector<double> percentB() {
    std::vector<double> b(N);
    for (int i = 0; i < N; ++i) b[i] = 100.0 - 4.0 * i;
    return b;
}
double frac(double percent) { return static_cast<double>(static_cast<float>(percent) / 100.0f); }

json weightsKeyframe(double ts, const std::vector<double>& w) { return {{"timestamp", ts}, {"weights", w}}; }

json sample(std::vector<json> keyframes, bool repeat) {
    return {{"spatKeyframes", keyframes}, {"repeatSpat", repeat}};
}

json sphereItem(std::vector<double> position, double amplitude, std::vector<double> scale = {0.1, 0.1, 0.1}) {
    return {{"position", position}, {"orientation", {1, 0, 0, 0}}, {"scale", scale}, {"amplitude", amplitude}};
}

// Expected a*wa + b*wb per actuator, from the percent tables.
void expectMix(const std::vector<double>& got, double wa, double wb, double tol = 1e-12) {
    const auto a = percentA(), b = percentB();
    ASSERT_EQ(got.size(), static_cast<size_t>(N));
    for (int i = 0; i < N; ++i) EXPECT_NEAR(got[i], wa * frac(a[i]) + wb * frac(b[i]), tol) << i;
}

}  // namespace

TEST(SpatialiserReading, PatternNumbers) {
    const json s = sample({{{"timestamp", 0.1},
                            {"vicinities",
                             {sphereItem({0.0561, -0.18, -0.0561}, 50),
                              {{"position", {0, 0, 0}},
                               {"orientation", {0.5, 0.1, -0.2, 0.3}},
                               {"scale", {1, 2, 3}},
                               {"amplitude", 20000}}}}},
                           weightsKeyframe(0.5, {50, 12.5})},
                          true);
    Spatialiser sp(s);
    EXPECT_TRUE(sp.repeatSpat());
    ASSERT_EQ(sp.keyframes().size(), 2u);
    const SpatialKeyframe& k0 = sp.keyframes()[0];
    EXPECT_EQ(k0.timestamp(), static_cast<double>(0.1f));
    ASSERT_EQ(k0.vicinityList().size(), 2u);
    const IVicinity& first = *k0.vicinityList()[0];
    EXPECT_EQ(first.kind(), 1u);
    EXPECT_EQ(first.position(), (Point{0.0561f, -0.18f, -0.0561f}));
    EXPECT_EQ(first.distributions()[0]->gain(), 0.5f);
    const IVicinity& second = *k0.vicinityList()[1];
    EXPECT_EQ(second.orientation(), (Quaternion{0.1f, -0.2f, 0.3f, 0.5f}));  // given w, x, y, z
    EXPECT_EQ(second.scale(), (Point{1, 2, 3}));
    EXPECT_EQ(second.distributions()[0]->gain(), 100.0f);

    const SpatialKeyframe& k1 = sp.keyframes()[1];
    ASSERT_EQ(k1.vicinityList().size(), 1u);
    EXPECT_EQ(k1.vicinityList()[0]->kind(), 0u);
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    Spatialiser weightsOnly(sample({weightsKeyframe(0, {50, 12.5})}, false));
    weightsOnly.compute(vest, props, 0.0, 0.0);
    const auto& w = weightsOnly.actuatorWeights();
    ASSERT_EQ(w.size(), 20u);
    EXPECT_EQ(w[0], 0.5);
    EXPECT_EQ(w[1], 0.125);
    for (int i = 2; i < N; ++i) EXPECT_EQ(w[i], 0.0) << i;  // no weight given: 0
}

TEST(SpatialiserReading, ShapesThatValidationRejectsThrow) {
    const json kf = weightsKeyframe(0, {1});
    EXPECT_THROW(Spatialiser(json{{"spatKeyframes", {kf}}, {"repeatSpat", 1}}), json::exception);
    EXPECT_THROW(Spatialiser(json{{"spatKeyframes", {kf}}}), json::exception);
    EXPECT_THROW(Spatialiser(json{{"spatKeyframes", {3}}, {"repeatSpat", false}}), json::exception);
    EXPECT_THROW(Spatialiser(json{{"spatKeyframes", kf}, {"repeatSpat", false}}), json::exception);
    json shortArrays = sphereItem({0, 0}, 100);
    EXPECT_THROW(Spatialiser(sample({{{"timestamp", 0}, {"vicinities", {shortArrays}}}}, false)), json::exception);
    json textWeight = weightsKeyframe(0, {});
    textWeight["weights"] = {"50"};
    EXPECT_THROW(Spatialiser(sample({textWeight}, false)), json::exception);
}

TEST(Spatialiser, SingleKeyframeIgnoresTime) {
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    Spatialiser sp(sample({weightsKeyframe(3, percentA())}, true));
    for (double t : {0.0, 2.0, 3.0, 1e9}) {
        sp.compute(vest, props, t, 0.0);
        expectMix(sp.actuatorWeights(), 1, 0);
    }
}

TEST(Spatialiser, InterpolatesThenHoldsTheLastKeyframe) {
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    Spatialiser sp(sample({weightsKeyframe(0, percentA()), weightsKeyframe(1, percentB())}, false));
    sp.compute(vest, props, 0.0, 0.0);
    expectMix(sp.actuatorWeights(), 1, 0);
    sp.compute(vest, props, 0.25, 0.0);
    expectMix(sp.actuatorWeights(), 0.75, 0.25);
    sp.compute(vest, props, 0.5, 0.0);
    expectMix(sp.actuatorWeights(), 0.5, 0.5);
    sp.compute(vest, props, 1.0, 0.0);
    expectMix(sp.actuatorWeights(), 0, 1);
    EXPECT_EQ(sp.index(), 2u);
    sp.compute(vest, props, 7.0, 0.0);
    expectMix(sp.actuatorWeights(), 0, 1);

    // A seek starts the list again.
    sp.reset();
    sp.compute(vest, props, 0.25, 0.0);
    expectMix(sp.actuatorWeights(), 0.75, 0.25);
}

TEST(Spatialiser, RepeatSpatRunsThroughTheListAgain) {
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    Spatialiser sp(sample({weightsKeyframe(0, percentA()), weightsKeyframe(1, percentB())}, true));
    sp.compute(vest, props, 0.5, 0.0);
    sp.compute(vest, props, 1.25, 0.0);
    EXPECT_EQ(sp.cycle(), 1);
    EXPECT_EQ(sp.index(), 1u);
    expectMix(sp.actuatorWeights(), 0.75, 0.25);
    sp.compute(vest, props, 3.5, 0.0);
    EXPECT_EQ(sp.cycle(), 3);
    expectMix(sp.actuatorWeights(), 0.5, 0.5);
}

TEST(Spatialiser, RepeatedPassExtrapolatesTheFirstSegment) {
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    Spatialiser sp(sample({weightsKeyframe(0.5, percentA()), weightsKeyframe(1, percentB())}, true));
    sp.compute(vest, props, 0.2, 0.0);
    expectMix(sp.actuatorWeights(), 1, 0);
    sp.compute(vest, props, 1.25, 0.0);
    EXPECT_EQ(sp.cycle(), 1);
    expectMix(sp.actuatorWeights(), 1.5, -0.5);
}

TEST(Spatialiser, VeryShortPeriodsSkipWholePasses) {
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    std::vector<SpatialKeyframe> keyframes;
    for (double ts : {0.0, 0.5}) {
        auto v = std::make_shared<VicinityWeights>(Point{}, kIdentityQuaternion, Point{});
        std::vector<double> w(N);
        for (int i = 0; i < N; ++i) w[i] = ts == 0.0 ? frac(percentA()[i]) : frac(percentB()[i]);
        v->setWeights(w);
        keyframes.emplace_back(ts, std::vector<std::shared_ptr<IVicinity>>{v});
    }
    Spatialiser sp(keyframes, true);
    // Two thousand million passes in, beyond a 32-bit counter.
    sp.compute(vest, props, 1e9 + 0.125, 0.0);
    EXPECT_EQ(sp.cycle(), 2000000000);
    EXPECT_EQ(sp.index(), 1u);
    expectMix(sp.actuatorWeights(), 0.75, 0.25, 1e-6);
    sp.compute(vest, props, 1e9 + 0.375, 0.0);
    EXPECT_EQ(sp.cycle(), 2000000000);
    expectMix(sp.actuatorWeights(), 0.25, 0.75, 1e-6);
    // The skip lands where the pass-by-pass walk does, also next to a boundary.
    Spatialiser walked(keyframes, true), jumped(keyframes, true);
    for (int i = 1; i <= 40; ++i) walked.compute(vest, props, 0.5 * i - 0.1, 0.0);
    jumped.compute(vest, props, 19.9, 0.0);
    walked.compute(vest, props, 20.0, 0.0);
    jumped.compute(vest, props, 20.0, 0.0);
    EXPECT_EQ(walked.cycle(), jumped.cycle());
    EXPECT_EQ(walked.index(), jumped.index());
    EXPECT_EQ(walked.actuatorWeights(), jumped.actuatorWeights());

    // Times beyond any countable pass, or infinite, end on the last keyframe.
    for (double t : {1e300, HUGE_VAL}) {
        Spatialiser far(keyframes, true);
        far.compute(vest, props, t, 0.0);
        expectMix(far.actuatorWeights(), 0, 1);
    }
    Spatialiser undefined(keyframes, true);
    EXPECT_EQ(undefined.compute(vest, props, std::nan(""), 0.0), 0);
}

TEST(Spatialiser, BoostReachesEveryActuator) {
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    Spatialiser sp(sample({weightsKeyframe(0, std::vector<double>(N, 0.0))}, false));
    sp.compute(vest, props, 0.0, 0.3);
    EXPECT_EQ(sp.actuatorWeights(), std::vector<double>(N, 0.3));
    // No keyframe at all: only the boost.
    Spatialiser empty(std::vector<SpatialKeyframe>{}, false);
    EXPECT_EQ(empty.compute(vest, props, 1.0, 0.25), 0);
    EXPECT_EQ(empty.actuatorWeights(), std::vector<double>(N, 0.25));
}

TEST(Spatialiser, TwoVicinitiesTakeTheLargerWeight) {
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    const std::vector<double> a0{0.0561, -0.18, -0.0561}, a17{0.0561, 0.18, 0.0561};
    Spatialiser one(sample({{{"timestamp", 0}, {"vicinities", {sphereItem(a0, 80, {0.3, 0.3, 0.3})}}}}, false));
    Spatialiser two(sample({{{"timestamp", 0}, {"vicinities", {sphereItem(a17, 60, {0.3, 0.3, 0.3})}}}}, false));
    Spatialiser both(sample({{{"timestamp", 0},
                              {"vicinities", {sphereItem(a0, 80, {0.3, 0.3, 0.3}), sphereItem(a17, 60, {0.3, 0.3, 0.3})}}}},
                            false));
    one.compute(vest, props, 0, 0);
    two.compute(vest, props, 0, 0);
    both.compute(vest, props, 0, 0);
    EXPECT_FLOAT_EQ(static_cast<float>(both.actuatorWeights()[0]), 0.8f);
    EXPECT_FLOAT_EQ(static_cast<float>(both.actuatorWeights()[17]), 0.6f);
    for (int i = 0; i < N; ++i) {
        EXPECT_EQ(both.actuatorWeights()[i], std::max(one.actuatorWeights()[i], two.actuatorWeights()[i])) << i;
    }
}

TEST(Spatialiser, WeightsAreCachedUntilSomethingChanges) {
    LayoutBasic layout;
    ASSERT_EQ(layout.loadPositions(R"({"position": [[0, 0, 0], [0.05, 0, 0]]})"), 0);
    layout.clearChanged();
    SpatialProperties props;
    auto sphere = std::make_shared<CountingSphere>(Point{0, 0, 0}, kIdentityQuaternion, Point{0.1, 0.1, 0.1});
    Spatialiser sp(std::vector<SpatialKeyframe>{SpatialKeyframe(0, {sphere})}, false);

    sp.compute(layout, props, 0, 0);  // first render: computed
    props.setDirty(false);
    EXPECT_EQ(sphere->calls, 1);
    EXPECT_EQ(sp.actuatorWeights(), (std::vector<double>{1.0, 1.0}));

    // The distribution changes behind the cache's back: nothing recomputes it.
    sphere->distributions()[0]->setGain(0.5f);
    sp.compute(layout, props, 0.5, 0);
    EXPECT_EQ(sphere->calls, 1);
    EXPECT_EQ(sp.actuatorWeights(), (std::vector<double>{1.0, 1.0}));

    // A property change (even to the same value) recomputes during the next render.
    props.setRotation(0, 0, 0);
    sp.compute(layout, props, 0.5, 0);
    props.setDirty(false);
    EXPECT_EQ(sphere->calls, 2);
    EXPECT_EQ(sp.actuatorWeights(), (std::vector<double>{0.5, 0.5}));

    // A new layout recomputes, and sizes the result by its actuator count.
    ASSERT_EQ(layout.loadPositions(R"({"position": [[0, 0, 0], [0.05, 0, 0], [1, 0, 0]]})"), 0);
    sp.compute(layout, props, 0.5, 0);
    layout.clearChanged();
    EXPECT_EQ(sphere->calls, 3);
    EXPECT_EQ(sp.actuatorWeights(), (std::vector<double>{0.5, 0.5, 0.0}));

    // A seek marks every keyframe for recomputation.
    sp.reset();
    sp.compute(layout, props, 0.0, 0);
    EXPECT_EQ(sphere->calls, 4);
    sp.compute(layout, props, 0.1, 0);
    EXPECT_EQ(sphere->calls, 4);

    // A layout of another size, even unflagged, is never served stale rows.
    LayoutVibrenzaCapsule vest;
    sp.compute(vest, props, 0.1, 0);
    EXPECT_EQ(sphere->calls, 5);
    EXPECT_EQ(sp.actuatorWeights().size(), 20u);
}

TEST(Spatialiser, LayoutWithoutActuators) {
    LayoutBasic empty;
    ASSERT_EQ(empty.loadPositions(R"({"position": []})"), 0);
    SpatialProperties props;
    props.setFrontBackAddition(true);
    Spatialiser sp(sample({{{"timestamp", 0}, {"vicinities", {sphereItem({0, 0, 0}, 100)}}},
                           weightsKeyframe(1, percentA())},
                          true));
    for (double t : {0.0, 0.5, 1.5, 1e12}) {
        EXPECT_EQ(sp.compute(empty, props, t, 0.5), 0);
        EXPECT_TRUE(sp.actuatorWeights().empty());
    }
    // And back to the vest.
    LayoutVibrenzaCapsule vest;
    sp.reset();
    sp.compute(vest, props, 1.0, 0.0);
    EXPECT_EQ(sp.actuatorWeights().size(), 20u);
}
