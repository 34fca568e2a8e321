// Sphere vicinities on the vest's actuators, and the keyframe weights over
// the effect's mirror flags and moves.
#include "sequencer/VicinitySphere.h"

#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "tessaron-core/src/spatial/Layout.h"

using namespace vbz::seq;

namespace {

// A sphere centred on actuator 1 with the given scale and amplitude.
std::shared_ptr<VicinitySphere> sphereOnActuator1(double scale, float amplitude = 100.0f,
                                                  tsr::Quaternion orientation = {0, 0, 0, 1}) {
    auto v = std::make_shared<VicinitySphere>(0u, tsr::Point{0.1039, -0.06, -0.06}, orientation,
                                              tsr::Point{scale, scale, scale});
    v->setDistributionGain(0, amplitude);
    return v;
}

SampleRecord recordWith(std::vector<VicinityList> keyframes) {
    SampleRecord r;
    for (auto& list : keyframes) {
        r.keyframes.push_back(KeyframeRecord{});
        r.keyframeGains.push_back(1.0f);
        r.keyframeVicinities.push_back(std::move(list));
    }
    return r;
}

std::set<int> actuatorsAt(const KeyframeRecord& k, int value) {
    std::set<int> out;
    for (int a = 0; a < 20; ++a) {
        if (k.values[static_cast<std::size_t>(a)] == value) out.insert(a);
    }
    return out;
}

// Records the mirror combination of every call; weighs nothing.
class CountingVicinity : public IVicinity {
public:
    CountingVicinity() : IVicinity(0, {0, 0, 0}, {0, 0, 0, 1}, {1, 1, 1}) {}
    void weights(float, float, float, bool x, bool y, bool z, std::span<double, kActuatorCount> column) override {
        calls.insert(x * 4 + y * 2 + z);
        ++count;
        std::fill(column.begin(), column.end(), 0.0);
    }
    std::multiset<int> calls;
    int count = 0;
};

}  // namespace

TEST(VicinitySphere, ActuatorPositionsAreTheEnginesCapsuleLayout) {
    const tsr::Matrix& m = actuatorPositions();
    const tsr::LayoutVibrenzaCapsule capsule;
    ASSERT_EQ(m.cols(), 20u);
    for (std::size_t i = 0; i < 20; ++i) {
        for (std::size_t r = 0; r < 3; ++r) EXPECT_EQ(m(r, i), capsule.positions()(r, i));
    }
}

TEST(VicinitySphere, KeyframeWeightsUnderMirrorsAndScales) {
    const std::set<int> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    const struct {
        const char* name;
        double scale;
        tsr::Quaternion orientation;
        SpatialBlock spatial;
        std::set<int> full;
    } cases[] = {
        {"wide sphere covers the vest", 1.0, {0, 0, 0, 1}, {}, all},
        {"narrow sphere", 0.1, {0, 0, 0, 1}, {}, {1}},
        {"zero orientation acts unrotated", 0.1, {0, 0, 0, 0}, {}, {1}},
        {"front-back inversion", 0.1, {0, 0, 0, 1}, {.frontBackInversion = true}, {7}},
        {"front-back addition", 0.1, {0, 0, 0, 1}, {.frontBackAddition = true}, {1, 7}},
        {"inversion and addition", 0.1, {0, 0, 0, 1}, {.frontBackInversion = true, .frontBackAddition = true},
         {1, 7}},
        {"two additions", 0.1, {0, 0, 0, 1}, {.frontBackAddition = true, .rightLeftAddition = true}, {1, 7, 8, 10}},
        {"up-down inversion", 0.1, {0, 0, 0, 1}, {.upDownInversion = true}, {2}},
        {"heading half a turn", 0.1, {0, 0, 0, 1}, {.heading = static_cast<float>(std::numbers::pi)}, {8}},
        {"height up one row", 0.1, {0, 0, 0, 1}, {.height = 0.12f}, {2}},
    };
    for (const auto& c : cases) {
        SampleRecord r = recordWith({{sphereOnActuator1(c.scale, 100.0f, c.orientation)}});
        computeKeyframeWeights(r, c.spatial);
        EXPECT_EQ(actuatorsAt(r.keyframes[0], 100), c.full) << c.name;
        std::set<int> rest;
        for (int a = 0; a < 20; ++a) {
            if (!c.full.contains(a)) rest.insert(a);
        }
        EXPECT_EQ(actuatorsAt(r.keyframes[0], 0), rest) << c.name;
    }
}

TEST(VicinitySphere, DegenerateInputsWeighNothingAndReturn) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* name;
        double scale;
        SpatialBlock spatial;
    } cases[] = {
        {"zero scale", 0.0, {}},
        {"endless tilt", 0.1, {.tilt = inf}},
        {"NaN tilt", 0.1, {.tilt = nan}},
        {"NaN heading", 0.1, {.heading = nan}},
        {"NaN height", 0.1, {.height = nan}},
    };
    for (const auto& c : cases) {
        SampleRecord r = recordWith({{sphereOnActuator1(c.scale)}});
        r.keyframes[0].values.fill(77);
        computeKeyframeWeights(r, c.spatial);
        EXPECT_EQ(r.keyframes[0].values, (std::array<uint8_t, 20>{})) << c.name;
    }
}

TEST(VicinitySphere, EveryVicinityIsWeighedUnderEveryAddedMirror) {
    auto a = std::make_shared<CountingVicinity>();
    auto b = std::make_shared<CountingVicinity>();
    SampleRecord r = recordWith({{a, b}});
    computeKeyframeWeights(r, {.upDownInversion = true,
                               .frontBackAddition = true,
                               .rightLeftAddition = true,
                               .upDownAddition = true});
    EXPECT_EQ(a->count, 8);
    EXPECT_EQ(b->count, 8);
    EXPECT_EQ(std::set<int>(a->calls.begin(), a->calls.end()).size(), 8u);

    auto c = std::make_shared<CountingVicinity>();
    SampleRecord one = recordWith({{c}});
    computeKeyframeWeights(one, {.rightLeftInversion = true});
    EXPECT_EQ(c->calls, std::multiset<int>({1}));
}

TEST(VicinitySphere, StrongestVicinityOfAKeyframeWinsAndWeightKeyframesStay) {
    SampleRecord r = recordWith({{sphereOnActuator1(0.1, 40.0f), sphereOnActuator1(0.1, 90.0f)},
                                 {sphereOnActuator1(0.1, 30.0f)}});
    computeKeyframeWeights(r, {});
    EXPECT_EQ(r.keyframes[0].values[1], 90);
    EXPECT_EQ(r.keyframes[1].values[1], 30);

    SampleRecord weights;
    weights.keyframes.push_back(KeyframeRecord{0.0f, {5, 6, 7}});
    computeKeyframeWeights(weights, {.frontBackInversion = true});
    EXPECT_EQ(weights.keyframes[0].values[2], 7);
}

TEST(VicinitySphere, SameTransformReusesTheBytesOfTheLastPlay) {
    auto v = std::make_shared<CountingVicinity>();
    SampleRecord r = recordWith({{v}});
    const SpatialBlock turned{.heading = 0.5f};
    computeKeyframeWeights(r, turned);
    computeKeyframeWeights(r, turned);
    EXPECT_EQ(v->count, 1);
    computeKeyframeWeights(r, {});
    computeKeyframeWeights(r, turned);
    EXPECT_EQ(v->count, 3);
    const SpatialBlock undefined{.tilt = std::numeric_limits<float>::quiet_NaN()};
    computeKeyframeWeights(r, undefined);
    computeKeyframeWeights(r, undefined);  // NaN never matches: weighed again
    EXPECT_EQ(v->count, 5);
}

TEST(VicinitySphere, SharedWorkOverMirrorsGivesTheWeightsOfSeparatePlacements) {
    const struct {
        tsr::Point centre;
        tsr::Quaternion orientation;
        tsr::Point scale;
        float height, heading, tilt;
    } cases[] = {
        {{0.08, 0.12, -0.03}, {0.2, 0.3, 0.1, 0.9}, {0.2, 0.15, 0.3}, 0.03f, 0.4f, 0.2f},
        {{-0.1, -0.15, 0.05}, {0, 0, 0, 1}, {0.3, 0.3, 0.3}, -0.05f, -2.5f, 1.1f},
        {{0.0, 0.2, 0.0}, {0.5, 0.5, 0.5, 0.5}, {0.5, 0.2, 0.4}, 0.0f, 0.0f, 3.0f},
    };
    std::vector<IVicinity::Mirror> mirrors;
    for (int c = 0; c < 8; ++c) mirrors.push_back({(c & 4) != 0, (c & 2) != 0, (c & 1) != 0});
    for (const auto& c : cases) {
        VicinitySphere shared(0u, c.centre, c.orientation, c.scale), alone(0u, c.centre, c.orientation, c.scale);
        shared.setDistributionGain(0, 70.0f);
        alone.setDistributionGain(0, 70.0f);
        std::array<double, 20> best{}, expected{}, column{};
        bool first = true;
        shared.strongestWeights(CapsuleMoves(c.height, c.heading, c.tilt), mirrors, best, first);
        EXPECT_FALSE(first);
        for (std::size_t m = 0; m < mirrors.size(); ++m) {
            alone.weights(c.height, c.heading, c.tilt, mirrors[m][0], mirrors[m][1], mirrors[m][2], column);
            for (std::size_t i = 0; i < 20; ++i) expected[i] = m == 0 ? column[i] : std::max(expected[i], column[i]);
        }
        EXPECT_EQ(best, expected);
        EXPECT_GT(*std::max_element(best.begin(), best.end()), 0.0);

        // One placement equals the three transforms applied in turn.
        tsr::Point p = c.centre;
        tsr::Quaternion q = c.orientation;
        if (c.tilt != 0.0f) IVicinity::tiltOnCapsule(c.tilt, p, q);
        if (c.heading != 0.0f) IVicinity::rotateHeading(c.heading, p, q);
        if (c.height != 0.0f) IVicinity::elevateOnCapsule(c.height, p);
        alone.weights(c.height, c.heading, c.tilt, false, false, false, column);
        EXPECT_EQ(alone.workCentre(), p);
        EXPECT_EQ(alone.workOrientation(), q);
    }
}

TEST(VicinitySphere, RandomisedPlaysWeighAsSeparatePlacementsToTheBit) {
    // The shared path (one matrix, shared tilts, estimated bands) against one
    // plain placement per mirror, over random spheres and transforms.
    std::mt19937 rng(20261207);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const auto bits = [](const std::array<double, 20>& a) {
        std::array<uint64_t, 20> b{};
        for (std::size_t i = 0; i < 20; ++i) b[i] = std::bit_cast<uint64_t>(a[i]);
        return b;
    };
    for (int round = 0; round < 300; ++round) {
        const tsr::Point centre{0.2 * u(rng), round % 9 == 0 ? 0.0 : 0.25 * u(rng), 0.2 * u(rng)};
        const tsr::Quaternion orientation{u(rng), u(rng), u(rng), u(rng)};
        const tsr::Point scale{0.02 + 0.3 * std::fabs(u(rng)), 0.02 + 0.3 * std::fabs(u(rng)),
                               0.02 + 0.3 * std::fabs(u(rng))};
        const float gain = static_cast<float>(100.0 * std::fabs(u(rng)));
        const float height = round % 4 == 0 ? 0.0f : static_cast<float>(0.3 * u(rng));
        const float heading = round % 5 == 0 ? 0.0f : static_cast<float>(4.0 * u(rng));
        const float tilt = round % 6 == 0 ? 0.0f : static_cast<float>(4.0 * u(rng));
        std::vector<IVicinity::Mirror> mirrors;
        for (int c = 0; c < 8; ++c) {
            if (round % 3 != 0 || c % 3 == 0) mirrors.push_back({(c & 4) != 0, (c & 2) != 0, (c & 1) != 0});
        }
        VicinitySphere shared(0u, centre, orientation, scale), alone(0u, centre, orientation, scale);
        shared.setDistributionGain(0, gain);
        alone.setDistributionGain(0, gain);
        std::array<double, 20> best{}, expected{};
        bool first = true, expectedFirst = true;
        shared.strongestWeights(CapsuleMoves(height, heading, tilt), mirrors, best, first);
        alone.IVicinity::strongestWeights(CapsuleMoves(height, heading, tilt), mirrors, expected, expectedFirst);
        ASSERT_EQ(bits(best), bits(expected)) << "round " << round;
    }
}
