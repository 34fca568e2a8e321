#include "tessaron-core/src/spatial/Layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "tessaron-core/src/tsr/tsr_log.h"

using namespace tsr;

namespace {
constexpr double kPi = std::numbers::pi;
constexpr double h = LayoutVibrenzaCapsule::kHalfHeight;

std::vector<std::string> logged;
void record(int, const char*, const char* message) { logged.emplace_back(message); }

Point column(const ILayout& l, int i) {
    return {l.positions()(0, i), l.positions()(1, i), l.positions()(2, i)};
}
}  // namespace

TEST(Layout, FactoryKindsAndCapsulePositions) {
    auto basic = makeLayout(0);
    EXPECT_EQ(basic->kind(), 0u);
    EXPECT_EQ(basic->actuatorCount(), 1);
    EXPECT_FALSE(basic->changed());
    for (int kind : {1, 7, -3}) {
        auto capsule = makeLayout(kind);
        EXPECT_EQ(capsule->kind(), 1u);
        EXPECT_EQ(capsule->actuatorCount(), 20);
        EXPECT_FALSE(capsule->changed());
    }
    auto vest = makeDefaultLayout();
    ASSERT_EQ(vest->kind(), 1u);
    EXPECT_EQ(column(*vest, 0), (Point{0.0561, -0.18, -0.0561}));
    EXPECT_EQ(column(*vest, 1), (Point{0.1039, -0.06, -0.06}));
    EXPECT_EQ(column(*vest, 4), (Point{0, 0.06, -0.12}));
    EXPECT_EQ(column(*vest, 9), (Point{-0.0561, 0.18, 0.0561}));
    EXPECT_EQ(column(*vest, 13), (Point{-0.1039, 0.06, 0.06}));
    EXPECT_EQ(column(*vest, 17), (Point{0.0561, 0.18, 0.0561}));
    EXPECT_EQ(column(*vest, 19), (Point{0, -0.06, -0.12}));
    // Every actuator lies on the vest's capsule of radius 0.12 (to the table's
    // four decimals) and no two share a place.
    for (int i = 0; i < 20; ++i) {
        const Point p = column(*vest, i);
        const double dy = std::fabs(p[1]) > h ? std::fabs(p[1]) - h : 0.0;
        EXPECT_NEAR(std::sqrt(p[0] * p[0] + p[2] * p[2] + dy * dy), 0.12, 2e-4) << i;
        for (int j = 0; j < i; ++j) EXPECT_NE(p, column(*vest, j)) << i << " " << j;
    }
}

TEST(Layout, LoadPositions) {
    logged.clear();
    tsr_set_log_callback(&record);
    auto capsule = makeLayout(1);
    EXPECT_EQ(capsule->loadPositions(R"({"position": [[1, 2, 3]]})"), kErrorInvalidOperation);
    EXPECT_EQ(capsule->actuatorCount(), 20);
    EXPECT_FALSE(capsule->changed());

    auto basic = makeLayout(0);
    ASSERT_EQ(basic->loadPositions(R"({"position": [[1, -2, 3.5], [0, 0, 18446744073709551615]]})"), 0);
    EXPECT_TRUE(basic->changed());
    ASSERT_EQ(basic->actuatorCount(), 2);
    EXPECT_EQ(column(*basic, 0), (Point{1, -2, 3.5}));
    EXPECT_EQ(basic->positions()(2, 1), 18446744073709551615.0);
    basic->clearChanged();

    const size_t before = logged.size();
    for (const char* bad : {"", "{", "[1,2]", R"({"pos": []})", R"({"position": {}})",
                            R"({"position": [[1, 2]]})", R"({"position": [[1, 2, 3], "abc"]})",
                            R"({"position": [[1, 2, "3"]]})", R"({"position": [{"a": 1, "b": 2, "c": 3}]})",
                            R"({"position": [[1, 2, 3, 4]]})", R"({"position": [[1, null, 3]]})"}) {
        EXPECT_EQ(basic->loadPositions(bad), kErrorInvalidLayout) << bad;
        EXPECT_EQ(basic->actuatorCount(), 2) << bad;
        EXPECT_FALSE(basic->changed()) << bad;
    }
    EXPECT_EQ(logged.size(), before + 11);

    ASSERT_EQ(basic->loadPositions(R"({"position": []})"), 0);
    EXPECT_EQ(basic->actuatorCount(), 0);
    EXPECT_TRUE(basic->changed());
    tsr_set_log_callback(nullptr);
}

TEST(Layout, BasicLayoutMovesNothing) {
    auto basic = makeLayout(0);
    Point p{0.1, 0.2, 0.3};
    Quaternion q = kIdentityQuaternion;
    basic->elevate(1.0, p);
    basic->rotateHeading(1.0, p, q);
    basic->tilt(1.0, p, q);
    EXPECT_EQ(p, (Point{0.1, 0.2, 0.3}));
    EXPECT_EQ(q, kIdentityQuaternion);
}

TEST(CapsuleMoves, Elevate) {
    LayoutVibrenzaCapsule c;
    Point axis{0, 0.5, 0};
    c.elevate(0.25, axis);
    EXPECT_EQ(axis, (Point{0, 0.75, 0}));

    Point side{0.1039, -0.06, -0.06};
    c.elevate(0.1, side);  // stays on the cylinder
    EXPECT_EQ(side[0], 0.1039);
    EXPECT_EQ(side[2], -0.06);
    EXPECT_DOUBLE_EQ(side[1], 0.04);

    // Radius 0.12 from the middle onto the top cap at 0.18.
    Point p{0.12 * std::cos(0.3), 0, 0.12 * std::sin(0.3)};
    c.elevate(0.18, p);
    const double dy = 0.18 - h;
    const double k = std::sqrt(0.12 * 0.12 - dy * dy) / 0.12;
    EXPECT_NEAR(p[0], 0.12 * std::cos(0.3) * k, 1e-15);
    EXPECT_NEAR(p[2], 0.12 * std::sin(0.3) * k, 1e-15);
    EXPECT_EQ(p[1], 0.18);

    // Past the top of the cap: onto the axis. And back down again stays there.
    Point q{0.12, 0, 0};
    c.elevate(0.3, q);
    EXPECT_EQ(q[0], 0.0);
    EXPECT_EQ(q[2], 0.0);
    EXPECT_DOUBLE_EQ(q[1], 0.3);

    // Below the bottom cap the same rule applies mirrored.
    Point b{0, -0.15, 0.05};
    c.elevate(-0.01, b);
    const double rho2 = (0.15 - h) * (0.15 - h) + 0.05 * 0.05;
    EXPECT_NEAR(b[2], std::sqrt(rho2 - (0.16 - h) * (0.16 - h)), 1e-15);
    EXPECT_EQ(b[0], 0.0);
    EXPECT_DOUBLE_EQ(b[1], -0.16);
}

TEST(CapsuleMoves, RotateHeading) {
    LayoutVibrenzaCapsule c;
    Point a{1, 0.3, 0}, b{0, 0, 1};
    Quaternion qa = kIdentityQuaternion, qb = kIdentityQuaternion;
    c.rotateHeading(kPi / 2, a, qa);
    c.rotateHeading(kPi / 2, b, qb);
    EXPECT_NEAR(a[0], 0, 1e-15);
    EXPECT_EQ(a[1], 0.3);
    EXPECT_NEAR(a[2], -1, 1e-15);
    EXPECT_NEAR(b[0], 1, 1e-15);
    EXPECT_NEAR(b[2], 0, 1e-15);
    EXPECT_NEAR(qa[1], std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(qa[3], std::sqrt(0.5), 1e-15);
    // Composition: two quarter turns are a half turn about y.
    c.rotateHeading(kPi / 2, a, qa);
    EXPECT_NEAR(a[0], -1, 1e-15);
    EXPECT_NEAR(qa[0], 0, 1e-15);
    EXPECT_NEAR(qa[1], 1, 1e-15);
    EXPECT_NEAR(qa[2], 0, 1e-15);
    EXPECT_NEAR(qa[3], 0, 1e-15);
}

TEST(CapsuleMoves, Tilt) {
    LayoutVibrenzaCapsule c;
    // On the axis within the cylinder: the point stays, the orientation turns.
    Point axis{0, 0.05, 0.2};
    Quaternion q = kIdentityQuaternion;
    c.tilt(0.7, axis, q);
    EXPECT_EQ(axis, (Point{0, 0.05, 0.2}));
    EXPECT_NEAR(q[2], std::sin(0.35), 1e-15);
    EXPECT_NEAR(q[3], std::cos(0.35), 1e-15);

    // Actuator 1 by a small angle slides along the front side.
    const double phi = 0.05;
    Point p{0.1039, -0.06, -0.06};
    q = kIdentityQuaternion;
    c.tilt(phi, p, q);
    EXPECT_EQ(p[0], 0.1039);
    EXPECT_DOUBLE_EQ(p[1], 0.1039 * std::tan(std::atan2(-0.06, 0.1039) + phi));
    EXPECT_EQ(p[2], -0.06);

    // A quarter turn forward carries a point in the middle of the front to the
    // top of the cap.
    Point top{0.1, 0, 0};
    c.tilt(kPi / 2, top, q);
    EXPECT_NEAR(top[0], 0, 1e-12);
    EXPECT_NEAR(top[1], 0.1 + h, 1e-12);

    // Backwards by a quarter turn: to the bottom of the lower cap.
    Point bottom{0.1, 0, 0.02};
    c.tilt(-kPi / 2, bottom, q);
    EXPECT_NEAR(bottom[0], 0, 1e-12);
    EXPECT_NEAR(bottom[1], -0.1 - h, 1e-12);
    EXPECT_EQ(bottom[2], 0.02);

    // A half turn lands on the back side, x negated.
    Point back{0.1, 0.05, 0};
    c.tilt(kPi, back, q);
    EXPECT_DOUBLE_EQ(back[0], -0.1);
    EXPECT_NEAR(back[1], -0.05, 1e-12);
}

TEST(CapsuleMoves, TiltByHugeOrInfiniteAnglesEnds) {
    LayoutVibrenzaCapsule c;
    for (double angle : {1e300, -1e300, 5.9e36, HUGE_VAL, -HUGE_VAL, std::nan("")}) {
        Point p{0.1039, -0.06, -0.06};
        Quaternion q = kIdentityQuaternion;
        c.tilt(angle, p, q);  // must return
        EXPECT_EQ(p[2], -0.06);
    }
    // A large finite angle still lands on the profile of the point.
    Point p{0.1, 0, 0};
    Quaternion q = kIdentityQuaternion;
    c.tilt(1e9, p, q);
    EXPECT_TRUE(std::isfinite(p[0]) && std::isfinite(p[1]));
}
