#include "tessaron-core/src/tsr/time_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using tsr::samplesToSeconds;
using tsr::secondsToSamples;

TEST(TimeUtils, SecondsToSamplesRoundsHalvesAwayFromZero) {
    EXPECT_EQ(secondsToSamples(1.0, 48000.0), 48000u);
    EXPECT_EQ(secondsToSamples(0.5 / 8000.0, 8000.0), 1u);   // 0.5 rounds up
    EXPECT_EQ(secondsToSamples(1.49 / 8000.0, 8000.0), 1u);
    EXPECT_EQ(secondsToSamples(2.5 / 1000.0, 1000.0), 3u);
}

TEST(TimeUtils, SecondsToSamplesSaturatesAndRejectsNonPositive) {
    EXPECT_EQ(secondsToSamples(0.0, 48000.0), 0u);
    EXPECT_EQ(secondsToSamples(-1.0, 48000.0), 0u);
    EXPECT_EQ(secondsToSamples(std::nan(""), 48000.0), 0u);
    EXPECT_EQ(secondsToSamples(1.0, std::nan("")), 0u);
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(secondsToSamples(1e300, 48000.0), max);
    EXPECT_EQ(secondsToSamples(std::numeric_limits<double>::infinity(), 1.0), max);
    EXPECT_EQ(secondsToSamples(18446744073709551616.0, 1.0), max);  // exactly 2^64
    EXPECT_EQ(secondsToSamples(9223372036854775808.0, 1.0), 9223372036854775808ull);
}

TEST(TimeUtils, SamplesToSeconds) {
    EXPECT_DOUBLE_EQ(samplesToSeconds(48000.0, 24000), 0.5);
    EXPECT_TRUE(std::isinf(samplesToSeconds(0.0, 5)));
    EXPECT_TRUE(std::isnan(samplesToSeconds(0.0, 0)));
    EXPECT_DOUBLE_EQ(samplesToSeconds(1.0, std::numeric_limits<uint64_t>::max()), 18446744073709551616.0);
}
