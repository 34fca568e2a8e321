// Conversions at the processor's interface, per (T, U) pair: scale, rounding
// half away from zero, saturation, NaN and infinities.
#include "orv-fx/processor/SampleConversion.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

TEST(SampleConversion, InputScalesPerPair) {
    EXPECT_EQ((orv::toProcessing<float, std::int16_t>(32767)), 1.0f);
    EXPECT_EQ((orv::toProcessing<double, std::int16_t>(-32767)), -1.0);
    // Not clamped: the most negative short lies just below -1.
    EXPECT_LT((orv::toProcessing<double, std::int16_t>(-32768)), -1.0);
    // In single precision the int scale is exactly 2^-31.
    EXPECT_EQ((orv::toProcessing<float, std::int32_t>(1 << 30)), 0.5f);
    EXPECT_EQ((orv::toProcessing<double, std::int32_t>(2147483647)), 1.0);
    EXPECT_EQ((orv::toProcessing<double, float>(0.1f)), static_cast<double>(0.1f));
    EXPECT_EQ((orv::toProcessing<float, double>(0.1)), 0.1f);
}

TEST(SampleConversion, ShortOutputRoundsHalfAwayAndSaturates) {
    struct Case {
        double y;
        std::int16_t expected;
    };
    const Case cases[] = {{1.2, 32767},  {-0.5, -16384}, {0.5, 16384}, {-1.0, -32767},  {-1.5, -32768},
                          {kNaN, 0},     {kInf, 32767},  {-kInf, -32768}, {1e300, 32767}, {0.0, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ((orv::fromProcessing<std::int16_t, double>(c.y)), c.expected) << c.y;
        EXPECT_EQ((orv::fromProcessing<std::int16_t, float>(static_cast<float>(c.y))), c.expected) << c.y;
    }
}

TEST(SampleConversion, IntOutputSaturatesInBothPrecisions) {
    struct Case {
        double y;
        std::int32_t expected;
    };
    const Case cases[] = {{1.0, 2147483647}, {2.0, 2147483647},  {-1.0, -2147483647}, {-2.0, -2147483647 - 1},
                          {kNaN, 0},         {kInf, 2147483647}, {-kInf, -2147483647 - 1}, {0.25, 536870912}};
    for (const Case& c : cases) EXPECT_EQ((orv::fromProcessing<std::int32_t, double>(c.y)), c.expected) << c.y;
    // The float factor is 2^31: +1 must saturate rather than wrap, -1 is the
    // most negative int exactly.
    EXPECT_EQ((orv::fromProcessing<std::int32_t, float>(1.0f)), 2147483647);
    EXPECT_EQ((orv::fromProcessing<std::int32_t, float>(-1.0f)), -2147483647 - 1);
    EXPECT_EQ((orv::fromProcessing<std::int32_t, float>(std::nanf(""))), 0);
    EXPECT_EQ((orv::fromProcessing<std::int32_t, float>(0.5f)), 1073741824);
}

TEST(SampleConversion, FloatingOutputsKeepNaNAndBoundInfinities) {
    EXPECT_EQ((orv::fromProcessing<float, double>(kInf)), FLT_MAX);
    EXPECT_EQ((orv::fromProcessing<float, double>(-1e300)), -FLT_MAX);
    EXPECT_EQ((orv::fromProcessing<float, float>(-std::numeric_limits<float>::infinity())), -FLT_MAX);
    EXPECT_EQ((orv::fromProcessing<double, float>(std::numeric_limits<float>::infinity())), DBL_MAX);
    EXPECT_EQ((orv::fromProcessing<double, double>(-kInf)), -DBL_MAX);
    EXPECT_TRUE(std::isnan(orv::fromProcessing<float, double>(kNaN)));
    EXPECT_TRUE(std::isnan(orv::fromProcessing<double, float>(std::nanf(""))));
    EXPECT_EQ((orv::fromProcessing<float, double>(0.25)), 0.25f);
}
