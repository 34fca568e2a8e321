#include "tessaron-core/src/filter/LowPassFilter.h"

#include "tessaron-core/src/tsr/tsr_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tsr::BiquadSection;
using tsr::LowPassFilter;

namespace {

struct Seen {
    int level;
    std::string where;
    std::string message;
};
std::vector<Seen> seen;
void record(int level, const char* where, const char* message) { seen.push_back({level, where, message}); }

// Two hand-made sections whose outputs are easy to follow: a one-pole
// recursion y = x + 0.5 y[-1] into a two-tap sum y = x + x[-1].
const std::vector<BiquadSection> kSimple{{1.0, 0.0, 0.0, -0.5, 0.0}, {1.0, 1.0, 0.0, 0.0, 0.0}};

std::vector<double> simpleReference(const std::vector<float>& x) {
    std::vector<double> out;
    double pole = 0.0, prev = 0.0;
    for (float v : x) {
        pole = v + 0.5 * pole;
        out.push_back(pole + prev);
        prev = pole;
    }
    return out;
}

LowPassFilter makeFilter(const std::vector<BiquadSection>& sections) {
    LowPassFilter f;
    f.enabled = true;
    f.mute = false;
    f.setCoefficients(sections);
    return f;
}

}  // namespace

TEST(LowPassFilter, RunsTheSectionsInSeriesInOrder) {
    const std::vector<float> x{1.0f, 0.0f, 0.0f, 2.0f, -1.0f, 0.5f};
    const std::vector<double> ref = simpleReference(x);
    LowPassFilter f = makeFilter(kSimple);
    f.setSource(x.data());
    // Skipping ahead filters everything in between, once.
    EXPECT_EQ(f.sample(2), static_cast<float>(ref[2]));
    EXPECT_EQ(f.filteredCount(), 3u);
    for (uint64_t i = 3; i < x.size(); ++i) EXPECT_EQ(f.sample(i), static_cast<float>(ref[i])) << i;
}

TEST(LowPassFilter, DisabledPassesSamplesAsTheyAre) {
    const std::vector<float> x{0.25f, -0.5f, 0.75f};
    LowPassFilter f = makeFilter(kSimple);
    f.enabled = false;
    f.setSource(x.data());
    EXPECT_EQ(f.sample(2), 0.75f);
    EXPECT_EQ(f.sample(0), 0.25f);
    EXPECT_EQ(f.filteredCount(), 0u);
}

TEST(LowPassFilter, CachedOutputsAndTooOldIndexLogged) {
    seen.clear();
    tsr_set_log_level(2);
    tsr_set_log_callback(&record);
    std::vector<float> x(12);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i % 3) - 1.0f;
    const std::vector<double> ref = simpleReference(x);
    LowPassFilter f = makeFilter(kSimple);
    f.setSource(x.data());
    EXPECT_EQ(f.sample(9), static_cast<float>(ref[9]));
    EXPECT_EQ(f.sample(8), static_cast<float>(ref[8]));
    EXPECT_EQ(f.sample(9), static_cast<float>(ref[9]));
    EXPECT_TRUE(seen.empty());

    EXPECT_EQ(f.sample(5), 0.0f);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].level, 4);
    EXPECT_EQ(seen[0].where, "filter:49");
    EXPECT_EQ(seen[0].message, "Invalid filtered index");
    // Nothing changed: filtering goes on where it was.
    EXPECT_EQ(f.filteredCount(), 10u);
    EXPECT_EQ(f.sample(10), static_cast<float>(ref[10]));
    tsr_set_log_callback(nullptr);
}

TEST(LowPassFilter, NewSourceContinuesTheStates) {
    const std::vector<float> whole{1.0f, -1.0f, 0.5f, 0.25f, 2.0f};
    const std::vector<double> ref = simpleReference(whole);
    LowPassFilter f = makeFilter(kSimple);
    f.setSource(whole.data());
    f.sample(2);
    f.setSource(whole.data() + 3);
    EXPECT_EQ(f.filteredCount(), 0u);
    EXPECT_EQ(f.sample(0), static_cast<float>(ref[3]));
    EXPECT_EQ(f.sample(1), static_cast<float>(ref[4]));

    // reset puts the cascade at rest: the same samples give the response from rest.
    f.reset();
    f.setSource(whole.data() + 3);
    EXPECT_EQ(f.sample(0), 0.25f);
}

TEST(LowPassFilter, MuteFeedsZerosFromTheCurrentState) {
    const std::vector<float> x{1.0f, 1.0f, 1.0f, 1.0f};
    LowPassFilter f = makeFilter(kSimple);
    f.setSource(x.data());
    f.sample(0);  // pole state 1
    f.mute = true;
    f.setSource(x.data());
    // Zero input: the pole decays by half each step; the sum adds the previous.
    EXPECT_EQ(f.sample(0), 0.5f + 1.0f);
    EXPECT_EQ(f.sample(1), 0.25f + 0.5f);
    f.reset();
    f.setSource(x.data());
    EXPECT_EQ(f.sample(3), 0.0f);
}

TEST(LowPassFilter, WithoutSourceGivesZeroInsteadOfReadingNull) {
    LowPassFilter f = makeFilter(kSimple);
    f.setSource(nullptr);
    EXPECT_EQ(f.sample(0), 0.0f);
    f.enabled = false;
    EXPECT_EQ(f.sample(0), 0.0f);
}
