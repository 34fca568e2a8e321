#include "orv-fx/processor/BandDetector.h"

#include "orv-fx/processor/FilterDesigns.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace orv;

namespace {

template <typename U>
class BandDetectorTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(BandDetectorTest, Precisions);

// A section that passes samples through, so that the detector's arithmetic
// is seen alone.
template <typename U>
SectionList<U> passThrough() {
    return {{U(1), U(0), U(0), U(1), U(0), U(0)}};
}

template <typename U>
U processConstant(BandDetector<U>& d, U amplitude, std::size_t n = 960) {
    std::vector<U> block(n, amplitude);
    return d.process(block);
}

}  // namespace

TYPED_TEST(BandDetectorTest, ConstructionClampsAlpha) {
    using U = TypeParam;
    const struct {
        U given;
        U kept;
    } table[] = {{U(0.3), U(0.3)}, {U(1.5), U(1)}, {U(-0.2), U(0)}, {std::numeric_limits<U>::quiet_NaN(), U(0)}};
    for (const auto& row : table) {
        BandDetector<U> d(passThrough<U>(), row.given, U(0.08), U(0.008), U(0.00005));
        EXPECT_EQ(d.alpha(), row.kept) << row.given;
        EXPECT_EQ(d.peak(), U(0.08));
        EXPECT_EQ(d.smoothed(), U(0));
    }
}

TYPED_TEST(BandDetectorTest, OnsetsAgainstTheDecayingPeak) {
    using U = TypeParam;
    BandDetector<U> d(passThrough<U>(), U(0.5), U(0.08), U(0.008), U(0.01));
    // e = 1: smoothed 0.5, onset 0.5 above the peak: exactly 1, new peak.
    EXPECT_EQ(processConstant(d, U(1)), U(1));
    EXPECT_EQ(d.peak(), U(0.5));
    // e = 1 again: smoothed 0.75, onset 0.25 against a peak of 0.49.
    EXPECT_NEAR(processConstant(d, U(1)), 0.25 / 0.49, 1e-6);
    // Silence: onset -smoothed, the value is 0 at once.
    EXPECT_EQ(processConstant(d, U(0)), U(0));
    EXPECT_NEAR(d.peak(), 0.48, 1e-6);
    // The peak never decays below its floor.
    for (int i = 0; i < 100; ++i) processConstant(d, U(0));
    EXPECT_EQ(d.peak(), U(0.008));
    d.reset();
    EXPECT_EQ(d.peak(), U(0.08));
    EXPECT_EQ(d.smoothed(), U(0));
}

TYPED_TEST(BandDetectorTest, BandWithoutFilterIsAlwaysZero) {
    using U = TypeParam;
    BandDetector<U> d(highPass10000<U>(16000), U(0.3), U(0.08), U(0.008), U(0.00005));
    std::vector<U> block(320, U(0.9));
    EXPECT_EQ(d.process(block), U(0));
    EXPECT_EQ(block, std::vector<U>(320, U(0.9)));
    EXPECT_EQ(d.smoothed(), U(0));
    EXPECT_EQ(d.peak(), U(0.08));
}

// One block of NaN or infinite audio must not silence the band for good.
TYPED_TEST(BandDetectorTest, NonFiniteBlockDoesNotPoisonLaterBlocks) {
    using U = TypeParam;
    for (U bad : {std::numeric_limits<U>::quiet_NaN(), std::numeric_limits<U>::infinity()}) {
        BandDetector<U> hit(lowPass150<U>(48000), U(0.04), U(0.08), U(0.008), U(0.00005));
        BandDetector<U> fresh(lowPass150<U>(48000), U(0.04), U(0.08), U(0.008), U(0.00005));
        std::vector<U> block(960, U(0.25));
        block[17] = bad;
        EXPECT_EQ(hit.process(block), U(0));
        for (int i = 0; i < 3; ++i) {
            std::vector<U> a(960);
            for (std::size_t j = 0; j < a.size(); ++j) a[j] = static_cast<U>(std::sin(0.013 * double(j + 960 * i)));
            std::vector<U> b = a;
            const U va = hit.process(a);
            EXPECT_TRUE(std::isfinite(va));
            EXPECT_EQ(va, fresh.process(b));
        }
    }
}
