#include "tessaron-core/src/filter/LowPassTable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

using tsr::BiquadSection;
using tsr::lowPassCoefficients;

namespace {

constexpr double kFs = 8000.0;

std::complex<double> response(const std::vector<BiquadSection>& entry, double f) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * f / kFs);
    const std::complex<double> z2 = z1 * z1;
    std::complex<double> h = 1.0;
    for (const BiquadSection& s : entry) h *= (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
    return h;
}

double butterworth(double f, double fc) {
    const double r = std::tan(std::numbers::pi * f / kFs) / std::tan(std::numbers::pi * fc / kFs);
    return 1.0 / std::sqrt(1.0 + std::pow(r, 16));
}

// Whether c is a single-precision value (through memory: see the table's own
// rounding for why).
bool isSingle(double c) {
    volatile float f = static_cast<float>(c);
    return static_cast<double>(f) == c;
}

std::size_t entryOf(double cutoff) { return static_cast<std::size_t>(&lowPassCoefficients(cutoff) - &lpfTable[0]); }

}  // namespace

TEST(LowPassTable, LookupMapsCutoffsToEntries) {
    EXPECT_EQ(entryOf(0.0), 0u);
    EXPECT_EQ(entryOf(29.999), 0u);
    EXPECT_EQ(entryOf(30.0), 0u);
    EXPECT_EQ(entryOf(30.999), 0u);
    EXPECT_EQ(entryOf(31.0), 1u);
    EXPECT_EQ(entryOf(400.0), 370u);
    EXPECT_EQ(entryOf(998.999), 968u);
    EXPECT_EQ(entryOf(999.0), 969u);
    EXPECT_EQ(entryOf(1000.0), 969u);
    EXPECT_EQ(entryOf(1000.5), 969u);
    EXPECT_EQ(entryOf(4000.0), 969u);
    EXPECT_EQ(entryOf(-1e300), 0u);
    EXPECT_EQ(entryOf(std::numeric_limits<double>::infinity()), 969u);
    EXPECT_EQ(entryOf(-std::numeric_limits<double>::infinity()), 0u);
    EXPECT_EQ(entryOf(std::nan("")), 0u);
}

TEST(LowPassTable, TellingRowsMatchTheirSinglePrecisionValues) {
    struct Row {
        std::size_t entry;
        float g;
        float a[4][2];
    };
    const Row rows[] = {
        {0, 3.49448525e-16f,
         {{-1.95428705f, 0.954829633f}, {-1.96102977f, 0.961574256f}, {-1.97361207f, 0.974160016f},
          {-1.99029684f, 0.990849495f}}},
        {20, 1.999734e-14f,
         {{-1.92435968f, 0.925844491f}, {-1.9352839f, 0.936777115f}, {-1.95579898f, 0.957307994f},
          {-1.98326778f, 0.984798014f}}},
        {50, 8.09826002e-13f,
         {{-1.88025951f, 0.883977115f}, {-1.89701343f, 0.900764108f}, {-1.92876923f, 0.932582736f},
          {-1.97189808f, 0.975796819f}}},
        {100, 3.57549788e-11f,
         {{-1.80876887f, 0.81823802f}, {-1.83414578f, 0.843747735f}, {-1.88295949f, 0.892816961f},
          {-1.95079374f, 0.961006403f}}},
        {370, 1.76255369e-07f,
         {{-1.45970631f, 0.534825981f}, {-1.51329076f, 0.591168046f}, {-1.62340569f, 0.70694977f},
          {-1.79396188f, 0.8862831f}}},
        {969, 0.000107195083f,
         {{-0.835998058f, 0.181352332f}, {-0.891556144f, 0.259861678f}, {-1.01636219f, 0.436225682f},
          {-1.24386752f, 0.757714391f}}},
    };
    for (const Row& r : rows) {
        const std::vector<BiquadSection>& e = lpfTable[r.entry];
        ASSERT_EQ(e.size(), 4u);
        EXPECT_EQ(e[0].b0, static_cast<double>(r.g)) << r.entry;
        EXPECT_EQ(e[0].b1, 2.0 * static_cast<double>(r.g)) << r.entry;
        for (int s = 0; s < 4; ++s) {
            EXPECT_EQ(e[s].a1, static_cast<double>(r.a[s][0])) << r.entry << " section " << s;
            EXPECT_EQ(e[s].a2, static_cast<double>(r.a[s][1])) << r.entry << " section " << s;
        }
    }
}

TEST(LowPassTable, EveryEntryIsFourSinglePrecisionSectionsWithTheGainFirst) {
    ASSERT_EQ(lpfTable.size(), 970u);
    for (std::size_t i = 0; i < lpfTable.size(); ++i) {
        const std::vector<BiquadSection>& e = lpfTable[i];
        ASSERT_EQ(e.size(), 4u) << i;
        EXPECT_EQ(e[0].b1, 2.0 * e[0].b0) << i;
        EXPECT_EQ(e[0].b2, e[0].b0) << i;
        for (std::size_t s = 1; s < 4; ++s) {
            EXPECT_EQ(e[s].b0, 1.0);
            EXPECT_EQ(e[s].b1, 2.0);
            EXPECT_EQ(e[s].b2, 1.0);
        }
        for (std::size_t s = 0; s < 4; ++s) {
            for (double c : {e[s].b0, e[s].b1, e[s].b2, e[s].a1, e[s].a2}) {
                EXPECT_TRUE(isSingle(c)) << i << " section " << s;
            }
            EXPECT_GE(e[s].a2, 0.18) << i;
            EXPECT_LE(e[s].a2, 0.991) << i;
            if (s > 0) {
                EXPECT_GT(e[s].a2, e[s - 1].a2) << i;
            }
        }
    }
}

TEST(LowPassTable, ResponseIsButterworthOfOrderEight) {
    for (std::size_t i = 0; i < lpfTable.size(); ++i) {
        const std::vector<BiquadSection>& e = lpfTable[i];
        const double fc = 30.0 + static_cast<double>(i);
        double dc = 1.0;
        for (const BiquadSection& s : e) dc *= (s.b0 + s.b1 + s.b2) / (1.0 + s.a1 + s.a2);
        EXPECT_NEAR(dc, 1.0, 2e-4) << i;
        EXPECT_NEAR(std::abs(response(e, fc)), 0.7071068, 1e-5) << i;
        if (i % 7 == 0) {
            for (double f : {0.25 * fc, 0.8 * fc, 1.25 * fc, 2.0 * fc, 3.0 * fc}) {
                if (f >= kFs / 2.0) continue;
                EXPECT_NEAR(std::abs(response(e, f)), butterworth(f, fc), 2e-4) << i << " at " << f;
            }
        }
    }
}
