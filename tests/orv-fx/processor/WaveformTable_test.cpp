#include "orv-fx/processor/WaveformTable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>

using orv::orvWaveforms;
using orv::WaveformRow;

namespace {

unsigned signChanges(const WaveformRow& row) {
    unsigned changes = 0;
    for (uint64_t k = 0; k + 1 < row.length; ++k) {
        if (row.samples[k] * row.samples[k + 1] < 0.0) ++changes;
    }
    return changes;
}

// Six significant digits.
void expectSixDigits(double actual, double expected) {
    EXPECT_NEAR(actual, expected, std::abs(expected) * 5e-6) << "expected " << expected;
}

}  // namespace

TEST(WaveformTable, RowLengths) {
    const uint64_t lengths[] = {1000, 1000, 5848, 3366, 1352, 6108, 2189, 2212, 1782, 710, 390};
    ASSERT_EQ(orvWaveforms.size(), 11u);
    for (std::size_t r = 0; r < 11; ++r) {
        EXPECT_EQ(orvWaveforms[r].length, lengths[r]) << "row " << r;
        EXPECT_NE(orvWaveforms[r].samples, nullptr);
    }
    EXPECT_EQ(orvWaveforms[11].length, 0u);
    EXPECT_EQ(&orvWaveforms[5], &orvWaveforms[5]);  // one shared table
}

TEST(WaveformTable, SineRowIsOnePeriod) {
    const WaveformRow& row = orvWaveforms[0];
    for (uint64_t k = 0; k < row.length; k += 37) {
        EXPECT_DOUBLE_EQ(row.samples[k], std::sin(2.0 * std::numbers::pi * static_cast<double>(k) / 1000.0));
    }
    EXPECT_EQ(row.samples[0], 0.0);
    EXPECT_DOUBLE_EQ(row.samples[250], 1.0);
    EXPECT_DOUBLE_EQ(row.samples[750], -1.0);
}

TEST(WaveformTable, RickerRowCrossingsAndLobes) {
    const WaveformRow& row = orvWaveforms[1];
    const double* s = row.samples;
    EXPECT_EQ(s[0], 0.0);
    EXPECT_EQ(s[500], -1.0);
    EXPECT_GT(s[380], 0.0);
    EXPECT_LT(s[381], 0.0);
    EXPECT_LT(s[619], 0.0);
    EXPECT_GT(s[620], 0.0);
    expectSixDigits(s[293], 0.442561);
    expectSixDigits(s[707], 0.442561);
    for (uint64_t k = 1; k < row.length; ++k) {
        EXPECT_EQ(s[k], s[1000 - k]) << k;
        EXPECT_LE(s[k], s[293]) << k;
        EXPECT_GE(s[k], -1.0) << k;
    }
    EXPECT_EQ(signChanges(row), 2u);
}

TEST(WaveformTable, PulseShapesMeetTheirTellingValues) {
    struct Telling {
        std::size_t row;
        uint64_t peakIndex;
        double peak;
        uint64_t otherIndex;
        double other;
        unsigned signChanges;
        double sample1;
        double sample2;
    };
    const Telling table[] = {
        {2, 428, 1.0, 213, -0.716636, 42, -0.043872, -0.0700384},
        {3, 161, 1.0, 70, -0.883624, 36, -0.0531854, -0.0912452},
        {4, 85, 1.0, 44, -0.82317, 16, 0.000112601, -3.57243e-05},
        {5, 970, -1.0, 640, 0.978524, 72, -0.0199329, -0.0364488},
        {6, 244, 1.0, 363, -0.871488, 16, -0.00888027, -0.0173979},
        {7, 857, 1.0, 243, -0.762972, 24, -1.24769e-05, -0.000133704},
        {8, 964, 1.0, 1273, -0.640214, 4, -0.00977201, -0.0184123},
        {9, 385, 1.0, 170, -0.694452, 4, -0.0131522, -0.0246644},
        {10, 152, 1.0, 243, -0.346947, 6, 0.000160786, 0.000249401},
    };
    for (const Telling& t : table) {
        SCOPED_TRACE("row " + std::to_string(t.row));
        const WaveformRow& row = orvWaveforms[t.row];
        const double* s = row.samples;
        uint64_t largest = 0;
        uint64_t otherExtreme = 0;
        for (uint64_t k = 0; k < row.length; ++k) {
            if (std::abs(s[k]) > std::abs(s[largest])) largest = k;
            if (s[k] * t.peak < s[otherExtreme] * t.peak) otherExtreme = k;
        }
        EXPECT_EQ(largest, t.peakIndex);
        EXPECT_EQ(s[t.peakIndex], t.peak);
        EXPECT_EQ(otherExtreme, t.otherIndex);
        expectSixDigits(s[t.otherIndex], t.other);
        EXPECT_EQ(signChanges(row), t.signChanges);
        expectSixDigits(s[1], t.sample1);
        expectSixDigits(s[2], t.sample2);
        EXPECT_EQ(s[0], 0.0);
        EXPECT_EQ(s[row.length - 1], 0.0);
        // No other sample reaches either extreme, and none in between is an
        // exact zero that would blur the sign changes.
        for (uint64_t k = 1; k + 1 < row.length; ++k) {
            if (k != t.peakIndex) {
                EXPECT_LT(std::abs(s[k]), 1.0) << k;
            }
            if (k != t.otherIndex) {
                EXPECT_GT(s[k] * t.peak, t.other * t.peak) << k;
            }
            EXPECT_NE(s[k], 0.0) << k;
        }
    }
}
