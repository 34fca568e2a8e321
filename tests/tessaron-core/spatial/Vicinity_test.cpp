#include "tessaron-core/src/spatial/Vicinity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <random>
#include <span>
#include <vector>

#include "tessaron-core/src/spatial/WeightDistribution.h"
#include "tessaron-core/src/tsr/tsr_log.h"
#include "tests/support/CountingSphere.h"

using namespace tsr;
using vbz_test::CountingSphere;

namespace {
Point actuator(const ILayout& l, int i) { return {l.positions()(0, i), l.positions()(1, i), l.positions()(2, i)}; }

std::vector<double> weightsOf(IVicinity& v, const ILayout& layout, const SpatialProperties& props) {
    Matrix out(static_cast<size_t>(layout.actuatorCount()), 2);
    v.computeWeights(layout, props, out, 1);
    return {out.column(1), out.column(1) + out.rows()};
}

const Point kSmall{0.1, 0.1, 0.1};

int errorLines = 0;
void countErrors(int level, const char*, const char*) { errorLines += level >= 4; }
}  // namespace

TEST(WDFastGaussian, DefaultShape) {
    auto wd = makeWDFastGaussian(1.0f, 0.0f, 0.0f, 0.6f, 1.0f, "Normalized");
    EXPECT_EQ(wd->name(), "Normalized");
    EXPECT_EQ(wd->kind(), 0u);
    EXPECT_EQ(wd->k1(), 0.0);
    EXPECT_DOUBLE_EQ(wd->k2(), 0.5 * std::pow(1.7858 / static_cast<double>(1.0f - 0.6f), 2));
    std::vector<double> d{0.0, 0.6, 0.7, 0.8, 0.9, 0.9999, 1.0, 1.5, -0.1, std::nan(""), HUGE_VAL};
    wd->apply(d);
    EXPECT_EQ(d[0], 1.0);
    EXPECT_EQ(d[1], 1.0);  // r2 is the float 0.6000000238...
    EXPECT_NEAR(d[2], 0.9051, 5e-5);
    EXPECT_NEAR(d[3], 0.6703, 5e-5);
    EXPECT_NEAR(d[4], 0.3851, 5e-5);
    EXPECT_GT(d[5], 0.0);  // the edge ends close to the root of the cubic
    EXPECT_LT(d[5], 0.003);
    for (size_t i = 6; i < d.size(); ++i) EXPECT_EQ(d[i], 0.0) << i;
}

TEST(WDFastGaussian, GainRadiiAndRisingEdge) {
    WDFastGaussian wd(150.0f, 0.2f, 0.4f, 0.6f, 1.0f, "x");
    EXPECT_EQ(wd.gain(), 100.0f);
    wd.setGain(-1.0f);
    EXPECT_EQ(wd.gain(), 0.0f);
    wd.setGain(std::nanf(""));
    EXPECT_EQ(wd.gain(), 0.0f);
    wd.setGain(2.0f);
    EXPECT_EQ(wd.gainSixth(), static_cast<double>(2.0f * 0.16666667f));
    // The rising edge climbs from r0 and meets the flat top at r1.
    std::vector<double> d{0.1, 0.3, 0.5, 0.8, 0.4};
    wd.apply(d);
    EXPECT_EQ(d[0], 0.0);
    EXPECT_GT(d[1], 0.0);
    EXPECT_LT(d[1], 2.0);
    EXPECT_EQ(d[2], 2.0);
    EXPECT_NEAR(d[4], 2.0, 1e-6);
    wd.setRadii(0, 0, 0, 0);
    std::vector<double> z{0.0, 0.5, 3.0};
    wd.apply(z);
    EXPECT_EQ(z, (std::vector<double>{0, 0, 0}));
}

TEST(WDFastGaussian, PairedValuesWeighAsSingleOnes) {
    // apply takes values two by two and the last odd one alone: both ways
    // give the same bits, across every band and the edge cases.
    WDFastGaussian wd(37.0f, 0.2f, 0.4f, 0.6f, 1.0f, "x");
    std::vector<double> d{-1.0, 0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.61, 0.8, 0.999, 1.0, 2.0,
                          -0.0, std::nan(""), HUGE_VAL, -HUGE_VAL};
    std::vector<double> paired = d;
    wd.apply(paired);
    for (std::size_t i = 0; i < d.size(); ++i) {
        double one = d[i];
        wd.apply(std::span<double>(&one, 1));
        EXPECT_EQ(std::bit_cast<uint64_t>(paired[i]), std::bit_cast<uint64_t>(one)) << d[i];
    }
}

TEST(VicinitySphere, StrongestEllipsoidWeightsAreDistancesThenGaussianToTheBit) {
    // The estimated bands and the values left out must never change a result: random placements near
    // the vest, and placements the estimate has to leave to the exact path
    // (far centres, tiny scales, NaN, radii out of order), on the capsule and
    // on 7 loose positions (a part step at the end).
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Matrix loose(3, 7);
    for (std::size_t k = 0; k < 7; ++k) {
        for (std::size_t a = 0; a < 3; ++a) loose(a, k) = 0.2 * u(rng);
    }
    // Distances on and around every radius, where a loose estimate would err.
    const double onRadii[] = {0.2f, 0.4f, 0.6f, 1.0f};  // the radii as the distribution holds them
    // Just under, on, just past, and 3e-5 past (where the edge still tops a
    // gain of 40) each radius, along x and along z.
    const double offsets[] = {-1e-9, 0.0, 1e-9, 3e-5};
    constexpr std::size_t kEdges = 32;
    Matrix edges(3, kEdges);
    for (std::size_t k = 0; k < kEdges; ++k) {
        const double r = onRadii[k / 8] + offsets[k % 4];
        edges(k % 8 < 4 ? 0 : 2, k) = r * 0.5;  // scale 0.5 along x and z
    }
    const PositionEstimates edgeEstimates(edges);
    // Second centre on position k itself: k is on the plateau from there, and
    // its value at the edge from the first centre (gain 40: 40.000002 at r2)
    // must not be lost to it.
    for (const WDFastGaussian& g : {WDFastGaussian(40.0f, 0.2f, 0.4f, 0.6f, 1.0f, "x"),
                                    WDFastGaussian(40.0f, 0.0f, 0.0f, 0.6f, 1.0f, "x")}) {
        Matrix identity(3, 3);
        inverseRotationOf({0, 0, 0, 1}, identity);
        for (std::size_t k = 0; k < kEdges; ++k) {
            const Point centres[2] = {{0, 0, 0}, {edges(0, k), edges(1, k), edges(2, k)}};
            std::vector<double> got(kEdges), expected(kEdges), column(kEdges);
            strongestEllipsoidWeights(identity, centres, {0.5, 0.5, 0.5}, edges, edgeEstimates, kEdges, g,
                                      got.data());
            for (std::size_t c = 0; c < 2; ++c) {
                ellipsoidDistances(identity, centres[c], {0.5, 0.5, 0.5}, edges, kEdges, column.data());
                g.apply(column);
                for (std::size_t i = 0; i < kEdges; ++i) {
                    expected[i] = c == 0 ? column[i] : std::max(expected[i], column[i]);
                }
            }
            for (std::size_t i = 0; i < kEdges; ++i) {
                EXPECT_EQ(std::bit_cast<uint64_t>(got[i]), std::bit_cast<uint64_t>(expected[i])) << k << " " << i;
            }
            if (k == 19) {
                EXPECT_GT(got[19], 40.0);  // 3e-5 past r2 along x
            }
        }
    }

    const Matrix capsule = LayoutVibrenzaCapsule().positions();
    const PositionEstimates capsuleEstimates(capsule), looseEstimates(loose);
    for (int round = 0; round < 400; ++round) {
        const bool onCapsule = round % 2 == 0;
        const Matrix& positions = onCapsule ? capsule : loose;
        const PositionEstimates& estimates = onCapsule ? capsuleEstimates : looseEstimates;
        const std::size_t n = positions.cols();
        Matrix m(3, 3);
        inverseRotationOf({u(rng), u(rng), u(rng), u(rng)}, m);
        Point scale{0.02 + 0.3 * std::fabs(u(rng)), 0.02 + 0.3 * std::fabs(u(rng)), 0.02 + 0.3 * std::fabs(u(rng))};
        std::vector<Point> centres(1 + static_cast<std::size_t>(round % 8));
        for (Point& c : centres) c = {0.25 * u(rng), 0.25 * u(rng), 0.25 * u(rng)};
        WDFastGaussian g(static_cast<float>(100.0 * std::fabs(u(rng))), 0.0f, 0.0f, 0.6f, 1.0f, "x");
        switch (round % 10) {
            case 1: centres.back()[1] = 1e5; break;
            case 3: scale[2] = 1e-6; break;
            case 5: centres.front()[0] = std::nan(""); break;
            case 7: g.setRadii(0.3f, 0.5f, 0.7f, 1.2f); break;
            case 9: g.setRadii(0.0f, 0.8f, 0.6f, 1.0f); break;
            default: break;
        }
        std::vector<double> got(n), expected(n), column(n);
        strongestEllipsoidWeights(m, centres, scale, positions, estimates, n, g, got.data());
        for (std::size_t c = 0; c < centres.size(); ++c) {
            ellipsoidDistances(m, centres[c], scale, positions, n, column.data());
            g.apply(column);
            for (std::size_t i = 0; i < n; ++i) expected[i] = c == 0 ? column[i] : std::max(expected[i], column[i]);
        }
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(std::bit_cast<uint64_t>(got[i]), std::bit_cast<uint64_t>(expected[i]))
                << "round " << round << " value " << i;
        }
    }
}

TEST(VicinitySphere, CentredOnActuatorWeighsItMostAndFallsOff) {
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    auto tight = makeVicinity(kVicinitySphere, actuator(vest, 0), kIdentityQuaternion, kSmall);
    ASSERT_EQ(tight->kind(), 1u);
    auto w = weightsOf(*tight, vest, props);
    EXPECT_EQ(w[0], 1.0);
    for (int i = 1; i < 20; ++i) EXPECT_EQ(w[i], 0.0) << i;
    EXPECT_FALSE(tight->isDirty());

    // A wide ellipsoid: weights never grow with the distance from the centre.
    auto wide = makeVicinity(kVicinitySphere, actuator(vest, 0), kIdentityQuaternion, {0.25, 0.25, 0.25});
    w = weightsOf(*wide, vest, props);
    std::vector<std::pair<double, double>> byDistance;
    for (int i = 0; i < 20; ++i) {
        const Point p = actuator(vest, i), c = actuator(vest, 0);
        byDistance.emplace_back(std::hypot(p[0] - c[0], p[1] - c[1], p[2] - c[2]), w[i]);
    }
    std::sort(byDistance.begin(), byDistance.end());
    for (size_t i = 1; i < byDistance.size(); ++i) EXPECT_LE(byDistance[i].second, byDistance[i - 1].second);
    EXPECT_TRUE(std::any_of(byDistance.begin(), byDistance.end(),
                            [](const auto& e) { return e.second > 0.0 && e.second < 1.0; }));
    EXPECT_EQ(byDistance.back().second, 0.0);
}

TEST(VicinitySphere, OrientationAndScale) {
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    const Point centre{0.0, -0.06, -0.12};  // actuator 19
    const auto reference = weightsOf(*makeVicinity(1, centre, kIdentityQuaternion, {0.05, 0.3, 0.05}), vest, props);
    for (Quaternion q : {Quaternion{0, 0, 0, 0}, Quaternion{0, 0, 0, 2}}) {
        EXPECT_EQ(weightsOf(*makeVicinity(1, centre, q, {0.05, 0.3, 0.05}), vest, props), reference);
    }
    // Long along its own y: reaches actuator 4 straight above. Turned a
    // quarter about z, the long axis lies along x and the actuator above drops out.
    EXPECT_GT(reference[4], 0.0);
    const double s = std::sqrt(0.5);
    const auto turned = weightsOf(*makeVicinity(1, centre, {0, 0, s, s}, {0.05, 0.3, 0.05}), vest, props);
    EXPECT_EQ(turned[19], 1.0);
    EXPECT_EQ(turned[4], 0.0);

    const auto flat = weightsOf(*makeVicinity(1, centre, kIdentityQuaternion, {0.1, 0.0, 0.1}), vest, props);
    for (double v : flat) EXPECT_EQ(v, 0.0);
}

TEST(VicinitySphere, MirrorsMapActuatorsOntoTheirImages) {
    LayoutVibrenzaCapsule vest;
    // Actuator 0 mirrored front-back is 3, up-down is 16, right-left is 15.
    struct Case {
        void (SpatialProperties::*addition)(bool);
        void (SpatialProperties::*inversion)(bool);
        int image;
    };
    const Case cases[] = {{&SpatialProperties::setFrontBackAddition, &SpatialProperties::setFrontBackInversion, 3},
                          {&SpatialProperties::setUpDownAddition, &SpatialProperties::setUpDownInversion, 16},
                          {&SpatialProperties::setRightLeftAddition, &SpatialProperties::setRightLeftInversion, 15}};
    auto sphere = makeVicinity(1, actuator(vest, 0), kIdentityQuaternion, kSmall);
    for (const Case& c : cases) {
        SpatialProperties added;
        (added.*c.addition)(true);
        auto w = weightsOf(*sphere, vest, added);
        for (int i = 0; i < 20; ++i) EXPECT_EQ(w[i], (i == 0 || i == c.image) ? 1.0 : 0.0) << c.image << " " << i;

        SpatialProperties inverted;
        (inverted.*c.inversion)(true);
        w = weightsOf(*sphere, vest, inverted);
        for (int i = 0; i < 20; ++i) EXPECT_EQ(w[i], i == c.image ? 1.0 : 0.0) << c.image << " " << i;

        // Inverted and added: the image and the original again.
        (inverted.*c.addition)(true);
        w = weightsOf(*sphere, vest, inverted);
        EXPECT_EQ(w[0], 1.0);
        EXPECT_EQ(w[c.image], 1.0);
    }
}

TEST(VicinitySphere, AdditionTakesTheLargerWeightAndRunsEveryCombination) {
    LayoutVibrenzaCapsule vest;
    const Point scale{0.15, 0.15, 0.15};
    SpatialProperties none, fb;
    fb.setFrontBackAddition(true);
    const auto plus = weightsOf(*makeVicinity(1, {0.1, 0, 0}, kIdentityQuaternion, scale), vest, none);
    const auto minus = weightsOf(*makeVicinity(1, {-0.1, 0, 0}, kIdentityQuaternion, scale), vest, none);
    const auto both = weightsOf(*makeVicinity(1, {0.1, 0, 0}, kIdentityQuaternion, scale), vest, fb);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(both[i], std::max(plus[i], minus[i])) << i;

    CountingSphere counting({0.1, 0, 0}, kIdentityQuaternion, scale);
    SpatialProperties all;
    all.setFrontBackAddition(true);
    all.setUpDownAddition(true);
    all.setRightLeftAddition(true);
    weightsOf(counting, vest, all);
    EXPECT_EQ(counting.calls, 8);
    weightsOf(counting, vest, fb);
    EXPECT_EQ(counting.calls, 10);
    weightsOf(counting, vest, none);
    EXPECT_EQ(counting.calls, 11);
}

TEST(VicinitySphere, TransformsMoveTheCentreWithTheBody) {
    LayoutVibrenzaCapsule vest;
    auto sphere = makeVicinity(1, actuator(vest, 1), kIdentityQuaternion, {0.03, 0.03, 0.03});
    SpatialProperties turned;
    // Heading by a half turn carries actuator 1 (front, right) onto 8 (back, left).
    turned.setRotation(0, std::numbers::pi, 0);
    auto w = weightsOf(*sphere, vest, turned);
    EXPECT_EQ(w[8], 1.0);
    EXPECT_EQ(w[1], 0.0);
    EXPECT_NEAR(sphere->workOrientation()[1], 1.0, 1e-15);

    // Height on the cylinder: 1 (y -0.06) onto 2 (y 0.06).
    SpatialProperties raised;
    raised.setTranslation(0, 0.12, 0);
    w = weightsOf(*sphere, vest, raised);
    EXPECT_EQ(w[2], 1.0);
    EXPECT_EQ(w[1], 0.0);

    // Tilt moves the centre along the front side, staying on the front.
    SpatialProperties tilted;
    tilted.setRotation(0, 0, 0.05);
    weightsOf(*sphere, vest, tilted);
    EXPECT_EQ(sphere->workCentre()[0], 0.1039);
    EXPECT_GT(sphere->workCentre()[1], -0.06);
}

TEST(VicinityWeights, GivenWeightsFitTheLayout) {
    LayoutVibrenzaCapsule vest;
    auto v = makeVicinity(kVicinityWeights, {}, kIdentityQuaternion, {});
    ASSERT_EQ(v->kind(), 0u);
    auto* given = static_cast<VicinityWeights*>(v.get());
    std::vector<double> many(25);
    for (size_t i = 0; i < many.size(); ++i) many[i] = 0.01 * static_cast<double>(i);
    given->setWeights(many);
    SpatialProperties all;
    all.setFrontBackAddition(true);
    all.setUpDownInversion(true);
    const auto w = weightsOf(*v, vest, all);
    EXPECT_EQ(w, std::vector<double>(many.begin(), many.begin() + 20));
    EXPECT_TRUE(v->isDirty());

    // Fewer weights than actuators: the rest are 0, even over old values.
    given->setWeights({0.5, 0.25});
    Matrix out(20, 1);
    for (size_t i = 0; i < 20; ++i) out(i, 0) = 9.0;
    v->computeWeights(vest, all, out, 0);
    EXPECT_EQ(out(0, 0), 0.5);
    EXPECT_EQ(out(1, 0), 0.25);
    for (size_t i = 2; i < 20; ++i) EXPECT_EQ(out(i, 0), 0.0) << i;
}

TEST(Vicinity, UnknownKindAndMisshapenTargets) {
    EXPECT_EQ(makeVicinity(2, {}, kIdentityQuaternion, {}), nullptr);
    EXPECT_EQ(makeVicinity(-1, {}, kIdentityQuaternion, {}), nullptr);
    LayoutVibrenzaCapsule vest;
    SpatialProperties props;
    auto sphere = makeVicinity(1, actuator(vest, 0), kIdentityQuaternion, kSmall);
    tsr_set_log_callback(&countErrors);
    Matrix tooShort(19, 1), noColumn(20, 1);
    sphere->computeWeights(vest, props, tooShort, 0);
    sphere->computeWeights(vest, props, noColumn, 1);
    sphere->weights(vest, props, noColumn, 3, false, false, false);
    EXPECT_EQ(tooShort(0, 0), 0.0);
    EXPECT_EQ(noColumn(0, 0), 0.0);
    EXPECT_EQ(errorLines, 3);
    tsr_set_log_callback(nullptr);

    // A layout without actuators gives nothing to weigh, and no fault.
    LayoutBasic empty;
    ASSERT_EQ(empty.loadPositions(R"({"position": []})"), 0);
    Matrix none;
    props.setFrontBackAddition(true);
    sphere->computeWeights(empty, props, none, 0);  // refused: no column
    Matrix oneColumn(0, 1);
    sphere->computeWeights(empty, props, oneColumn, 0);
    EXPECT_FALSE(sphere->isDirty());
}
