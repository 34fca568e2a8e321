// The legacy vicinity base: distribution index checks with their error line,
// the gain accessors, and the capsule moves on the worked examples.
#include "sequencer/IVicinity.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

#include "sequencer/VicinitySphere.h"
#include "tests/support/LogCapture.h"

using vbz::seq::IVicinity;
using vbz_test::LogCapture;

namespace {

constexpr double kPi = std::numbers::pi;

class TwoDistributions : public vbz::seq::VicinitySphere {
public:
    TwoDistributions() : VicinitySphere(0, {0, 0, 0}, {0, 0, 0, 1}, {1, 1, 1}) {
        distributions_.push_back(tsr::makeWDFastGaussian(5.0f, 0, 0, 0.5f, 1, "Second"));
    }
};

void expectNear(const tsr::Point& got, const tsr::Point& want, double tolerance) {
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(got[i], want[i], tolerance) << "coordinate " << i;
}

}  // namespace

TEST(IVicinity, IndexOutsideTheDistributionsIsRefusedWithAnErrorLine) {
    LogCapture log;
    TwoDistributions v;
    const std::string line =
        "Invalid parameter (-2) -- The provided index does not correspond to a valid weight distribution.";
    EXPECT_EQ(v.checkIndex(0), 0);
    EXPECT_EQ(v.checkIndex(1), 0);
    EXPECT_EQ(log.count("IV", line), 0);
    EXPECT_EQ(v.checkIndex(2), -2);
    EXPECT_EQ(v.checkIndex(-1), -2);
    EXPECT_EQ(log.count("IV", line, 4), 2);

    float gain = -7.0f;
    EXPECT_EQ(v.getDistributionGain(2, gain), -2);
    EXPECT_EQ(gain, -7.0f);
    EXPECT_EQ(v.setDistributionGain(-1, 3.0f), -2);
    EXPECT_EQ(v.getDistributionGain(1, gain), 0);
    EXPECT_EQ(gain, 5.0f);  // untouched by the refused set
}

TEST(IVicinity, GainIsHandedBackAndClampedByTheDistribution) {
    TwoDistributions v;
    const struct {
        float set;
        float expected;
    } cases[] = {{150.0f, 100.0f}, {42.5f, 42.5f}, {-3.0f, 0.0f}, {NAN, 0.0f}};
    for (const auto& c : cases) {
        float gain = -1.0f;
        EXPECT_EQ(v.setDistributionGain(0, c.set), 0);
        EXPECT_EQ(v.getDistributionGain(0, gain), 0);
        EXPECT_EQ(gain, c.expected) << c.set;
    }
}

TEST(IVicinity, TiltMovesAlongTheCapsuleAndTurnsTheOrientation) {
    const double s = std::sin(kPi / 4), c = std::cos(kPi / 4);
    const struct {
        float angle;
        tsr::Point from, to;
    } cases[] = {
        {static_cast<float>(kPi / 2), {0.1, 0, 0}, {0, 0.19, 0}},         // onto the top of the upper cap
        {static_cast<float>(-kPi / 2), {0.1, 0, 0}, {0, -0.19, 0}},       // onto the bottom of the lower cap
        {0.5f, {0, 0.05, 0.2}, {0, 0.05, 0.2}},                           // on the axis: stays
        {static_cast<float>(kPi), {0.1, 0.05, 0.3}, {-0.1, -0.05, 0.3}},  // half a turn; z kept
    };
    for (const auto& k : cases) {
        tsr::Point p = k.from;
        tsr::Quaternion q{0, 0, 0, 1};
        IVicinity::tiltOnCapsule(k.angle, p, q);
        expectNear(p, k.to, 1e-6);
        const double half = static_cast<double>(k.angle) / 2;
        EXPECT_NEAR(q[2], std::sin(half), 1e-12);
        EXPECT_NEAR(q[3], std::cos(half), 1e-12);
    }
    // The orientation is turned after the one it had.
    tsr::Quaternion q{0, s, 0, c};
    tsr::Point p{0.1, 0, 0};
    IVicinity::tiltOnCapsule(static_cast<float>(kPi / 2), p, q);
    const tsr::Quaternion want = tsr::hamiltonProduct({0, 0, std::sin(kPi / 4), std::cos(kPi / 4)}, {0, s, 0, c});
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(q[i], want[i], 1e-7);
}

TEST(IVicinity, HeadingTurnsAboutTheVerticalInSinglePrecision) {
    tsr::Point p{1, 0.3, 0};
    tsr::Quaternion q{0, 0, 0, 1};
    const float angle = static_cast<float>(kPi / 2);
    IVicinity::rotateHeading(angle, p, q);
    // cos of the single-precision pi/2 in single precision is -4.37e-8, not 0.
    EXPECT_EQ(p[0], static_cast<double>(std::cos(angle)));
    EXPECT_EQ(p[1], 0.3);
    EXPECT_EQ(p[2], -1.0);
    EXPECT_NEAR(q[1], std::sin(static_cast<double>(angle) / 2), 1e-15);
    EXPECT_NEAR(q[3], std::cos(static_cast<double>(angle) / 2), 1e-15);
}

TEST(IVicinity, ElevationKeepsTheDistanceToTheCapsuleCore) {
    const struct {
        float height;
        tsr::Point from, to;
    } cases[] = {
        {0.02f, {0.1, 0, 0}, {0.1, 0.02, 0}},
        {0.1f, {0.1, 0, 0}, {std::sqrt(0.01 - 0.0001), 0.1, 0}},
        {0.3f, {0.1, 0, 0}, {0, 0.3, 0}},                // beyond the cap: onto the axis
        {-0.1f, {0, 0.2, 0}, {0, 0.1, 0}},               // on the axis: only vertical
        // From the cap back to the side: the distance to the core grows the radius.
        {-0.1f, {0.06, 0.1, 0.08}, {0.6 * std::sqrt(0.0101), 0.0, 0.8 * std::sqrt(0.0101)}},
    };
    for (const auto& c : cases) {
        tsr::Point p = c.from;
        IVicinity::elevateOnCapsule(c.height, p);
        expectNear(p, c.to, 2e-6);
    }
}
