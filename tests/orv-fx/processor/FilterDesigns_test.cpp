#include "orv-fx/processor/FilterDesigns.h"

#include "orv-fx/processor/OrvSampleRates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

using namespace orv;

namespace {

template <typename U>
using Lookup = const SectionList<U>& (*)(int32_t);

struct Row {
    const char* design;
    int32_t rate;
    double b0, b1, b2, a1, a2;
};

template <typename U>
Lookup<U> lookupOf(const std::string& design) {
    if (design == "lp1000") return &lowPass1000<U>;
    if (design == "lp150") return &lowPass150<U>;
    if (design == "hp6500") return &highPass6500<U>;
    if (design == "hp10000") return &highPass10000<U>;
    if (design == "bp5500") return &bandPass5500to7500<U>;
    return &bandPass4800to5800<U>;
}

const Row kReference[] = {
    {"lp1000", 4000, 0.29289321881345243, 0.58578643762690485, 0.29289321881345243, -1.1102230246251565e-16,
     0.1715728752538099},
    {"lp1000", 48000, 0.0039161266605473692, 0.0078322533210947384, 0.0039161266605473692, -1.815341082704568,
     0.8310055893467575},
    {"lp150", 500, 0.39133577250176854, 0.78267154500353708, 0.39133577250176854, 0.36952737735124119,
     0.19581571265583306},
    {"lp150", 48000, 9.5060029449229081e-05, 0.00019012005889845816, 9.5060029449229081e-05, -1.9722337291952663,
     0.97261396931306321},
    {"hp6500", 16000, 0.060498507630940543, -0.12099701526188109, 0.060498507630940543, 1.1939133677205782,
     0.43590739824434044},
    {"hp10000", 48000, 0.37397788016906358, -0.74795576033812716, 0.37397788016906358, -0.30756635979220975,
     0.18834516088404465},
    {"bp5500", 16000, 0.29289321881345248, 0, -0.29289321881345248, 1.2727585805728336, 0.41421356237309509},
    {"bp5500", 48000, 0.11633650601051984, 0, -0.11633650601051984, -1.1753348056317021, 0.76732698797896026},
    {"bp4800", 16000, 0.16591068104035053, 0, -0.16591068104035053, 0.83107641742309968, 0.66817863791929921},
    {"bp4800", 96000, 0.031698896003969322, 0, -0.031698896003969322, -1.8222271542461308, 0.93660220799206106},
};

// The formulas give the reference values to a few units in the last place.
void expectCoefficient(double actual, double expected) {
    EXPECT_NEAR(actual, expected, 1e-15 + 1e-13 * std::abs(expected));
}

}  // namespace

TEST(FilterDesigns, ReferenceCoefficientsInDoublePrecision) {
    for (const Row& r : kReference) {
        SCOPED_TRACE(std::string(r.design) + " at " + std::to_string(r.rate));
        const SectionList<double>& list = lookupOf<double>(r.design)(r.rate);
        ASSERT_EQ(list.size(), 1u);
        const BiquadSection<double>& s = list[0];
        expectCoefficient(s.b0, r.b0);
        expectCoefficient(s.b1, r.b1);
        expectCoefficient(s.b2, r.b2);
        EXPECT_EQ(s.a0, 1.0);
        expectCoefficient(s.a1, r.a1);
        expectCoefficient(s.a2, r.a2);
    }
}

TEST(FilterDesigns, SinglePrecisionListsAreTheDesignsNarrowed) {
    for (const Row& r : kReference) {
        SCOPED_TRACE(std::string(r.design) + " at " + std::to_string(r.rate));
        const BiquadSection<double>& d = lookupOf<double>(r.design)(r.rate).at(0);
        const BiquadSection<float>& f = lookupOf<float>(r.design)(r.rate).at(0);
        EXPECT_EQ(f.b0, static_cast<float>(d.b0));
        EXPECT_EQ(f.b1, static_cast<float>(d.b1));
        EXPECT_EQ(f.b2, static_cast<float>(d.b2));
        EXPECT_EQ(f.a0, 1.0f);
        EXPECT_EQ(f.a1, static_cast<float>(d.a1));
        EXPECT_EQ(f.a2, static_cast<float>(d.a2));
        EXPECT_FLOAT_EQ(f.b0, static_cast<float>(r.b0));
        EXPECT_FLOAT_EQ(f.a2, static_cast<float>(r.a2));
    }
}

// A section exists only where the design's highest frequency is strictly
// below half the rate; any other rate has the empty list.
TEST(FilterDesigns, RatesWithASection) {
    struct Expect {
        const char* design;
        int32_t lowestRate;
    };
    const Expect table[] = {{"lp1000", 4000}, {"lp150", 500},   {"hp6500", 16000},
                            {"hp10000", 32000}, {"bp5500", 16000}, {"bp4800", 16000}};
    for (const Expect& e : table) {
        SCOPED_TRACE(e.design);
        for (uint32_t rate : kOrvSampleRates) {
            const auto r = static_cast<int32_t>(rate);
            EXPECT_EQ(lookupOf<double>(e.design)(r).size(), r >= e.lowestRate ? 1u : 0u) << rate;
            EXPECT_EQ(lookupOf<float>(e.design)(r).size(), r >= e.lowestRate ? 1u : 0u) << rate;
        }
        for (int32_t other : {22050, 0, -48000, 47999, 192000}) {
            EXPECT_TRUE(lookupOf<double>(e.design)(other).empty()) << other;
            EXPECT_TRUE(lookupOf<float>(e.design)(other).empty()) << other;
        }
        // One shared list per rate, never a copy.
        EXPECT_EQ(&lookupOf<double>(e.design)(48000), &lookupOf<double>(e.design)(48000));
    }
}

TEST(FilterDesigns, FirstLookupFromEightThreadsBuildsOneTable) {
    std::vector<const SectionList<float>*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&seen, t] { seen[t] = &bandPass4800to5800<float>(96000); });
    }
    for (std::thread& t : threads) t.join();
    for (const SectionList<float>* list : seen) {
        ASSERT_EQ(list, seen[0]);
    }
    ASSERT_EQ(seen[0]->size(), 1u);
    EXPECT_FLOAT_EQ((*seen[0])[0].b0, 0.031698896003969322f);
}
