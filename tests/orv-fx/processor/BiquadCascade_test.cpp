#include "orv-fx/processor/BiquadCascade.h"

#include "orv-fx/processor/FilterDesigns.h"

#include "tests/support/WhiteNoise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

using namespace orv;

namespace {

template <typename U>
class BiquadCascadeTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(BiquadCascadeTest, Precisions);

template <typename U>
std::vector<U> testSignal(std::size_t n) {
    std::vector<U> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<U>(std::sin(0.05 * static_cast<double>(i)) + (i % 7 == 0 ? 0.5 : 0.0));
    return x;
}

}  // namespace

TYPED_TEST(BiquadCascadeTest, ImpulseResponseStartsWithB0) {
    using U = TypeParam;
    BiquadCascade<U> cascade(lowPass150<U>(48000));
    std::vector<U> x(4, U(0));
    x[0] = U(1);
    cascade.process(x);
    EXPECT_EQ(x[0], lowPass150<U>(48000)[0].b0);
    EXPECT_NEAR(x[0], 9.5060029449229081e-05, 1e-7 * 9.5e-05);
    // The next sample follows the recursion: b1 + b0 * (-a1).
    const BiquadSection<U>& s = lowPass150<U>(48000)[0];
    EXPECT_EQ(x[1], s.b1 * U(1) + s.b0 * (U(0) - s.a1 * U(1)));
}

TYPED_TEST(BiquadCascadeTest, ResetEqualsAFreshCascade) {
    using U = TypeParam;
    const SectionList<U>& sections = bandPass5500to7500<U>(48000);
    BiquadCascade<U> used(sections);
    std::vector<U> warmUp = testSignal<U>(500);
    used.process(warmUp);
    used.reset();
    for (const auto& s : used.state()) {
        EXPECT_EQ(s.w1, U(0));
        EXPECT_EQ(s.w2, U(0));
    }
    BiquadCascade<U> fresh(sections);
    std::vector<U> a = testSignal<U>(300);
    std::vector<U> b = a;
    used.process(a);
    fresh.process(b);
    EXPECT_EQ(a, b);
}

TYPED_TEST(BiquadCascadeTest, SectionsInSeries) {
    using U = TypeParam;
    // Two sections in series equal the two filters one after the other.
    const std::vector<std::vector<double>> rows{{0.5, 0.25, 0.125, 1.0, -0.5, 0.25},
                                                {0.3, 0.0, -0.3, 1.0, 0.1, 0.2},
                                                {1.0, 2.0},  // ends the list
                                                {9.0, 9.0, 9.0, 1.0, 9.0, 9.0}};
    const SectionList<U> both = sectionListFromRows<U>(rows);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[1].b2, static_cast<U>(-0.3));
    BiquadCascade<U> series(both);
    BiquadCascade<U> first(SectionList<U>{both[0]});
    BiquadCascade<U> second(SectionList<U>{both[1]});
    std::vector<U> a = testSignal<U>(200);
    std::vector<U> b = a;
    series.process(a);
    first.process(b);
    second.process(b);
    EXPECT_EQ(a, b);
}

namespace {

// The plain per-sample recursion, sample by sample through every section, with
// the same grouping of each sum: any faster form must give the same bits.
template <typename U>
std::vector<U> referenceCascade(const SectionList<U>& sections, std::vector<U> x) {
    std::vector<U> w1(sections.size(), U(0));
    std::vector<U> w2(sections.size(), U(0));
    for (U& sample : x) {
        U v = sample;
        for (std::size_t k = 0; k < sections.size(); ++k) {
            const BiquadSection<U>& c = sections[k];
            const U w = (v - c.a1 * w1[k]) - c.a2 * w2[k];
            const U y = (c.b1 * w1[k] + c.b0 * w) + c.b2 * w2[k];
            w2[k] = w1[k];
            w1[k] = w;
            v = y;
        }
        sample = v;
    }
    return x;
}

}  // namespace

TYPED_TEST(BiquadCascadeTest, OddBlocksMatchThePerSampleRecursionBitForBit) {
    using U = TypeParam;
    using Lookup = const SectionList<U>& (*)(int32_t);
    const Lookup lookups[] = {&lowPass1000<U>, &lowPass150<U>, &highPass6500<U>,
                              &highPass10000<U>, &bandPass5500to7500<U>, &bandPass4800to5800<U>};
    const std::size_t blockSizes[] = {1, 7, 33, 127, 3, 511, 1};
    for (const int32_t rate : {8000, 44100, 48000, 96000}) {
        // Every design alone, then all of them in series for a multi-section
        // cascade.
        std::vector<SectionList<U>> cases;
        SectionList<U> all;
        for (const Lookup lookup : lookups) {
            cases.push_back(lookup(rate));
            all.insert(all.end(), cases.back().begin(), cases.back().end());
        }
        cases.push_back(all);
        for (std::size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(::testing::Message() << "rate " << rate << ", case " << i);
            vbz_test::WhiteNoise noise(static_cast<uint64_t>(rate) + i);
            std::vector<U> input(2000);
            for (U& v : input) v = static_cast<U>(noise.next());
            const std::vector<U> expected = referenceCascade(cases[i], input);
            BiquadCascade<U> cascade(cases[i]);
            std::vector<U> got;
            std::size_t at = 0;
            for (std::size_t b = 0; at < input.size(); ++b) {
                const std::size_t n = std::min(blockSizes[b % std::size(blockSizes)], input.size() - at);
                std::vector<U> block(input.begin() + static_cast<std::ptrdiff_t>(at),
                                     input.begin() + static_cast<std::ptrdiff_t>(at + n));
                cascade.process(block);
                got.insert(got.end(), block.begin(), block.end());
                at += n;
            }
            EXPECT_EQ(got, expected);
        }
    }
}
