#include "tessaron-core/src/signal/SignalBank.h"

#include "tessaron-core/bankgen/BankBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

namespace {

int compareNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const int ca = std::tolower(static_cast<unsigned char>(*a));
        const int cb = std::tolower(static_cast<unsigned char>(*b));
        if (ca != cb || ca == 0) return ca - cb;
    }
}

std::string category(const char* name) {
    std::string s(name);
    return s.substr(0, s.rfind('/'));
}

}  // namespace

TEST(SignalBank, CountRateAndContiguousRows) {
    EXPECT_EQ(tsr::signalBankCount(), 204u);
    EXPECT_EQ(tsr::signalBankSampleRate(), 8000u);
    uint64_t total = 0;
    for (uint64_t i = 0; i < 204; ++i) {
        total += signalBank[i].length;
        // Row i+1 starts where row i ends: offsets agree with the lengths.
        if (i + 1 < 204) {
            EXPECT_EQ(signalBank[i].samples + signalBank[i].length, signalBank[i + 1].samples) << i;
        }
    }
    EXPECT_EQ(total, 4465169u);
}

TEST(SignalBank, RowsStandInCaseInsensitiveNameOrderByCategory) {
    for (uint64_t i = 0; i + 1 < 204; ++i) {
        EXPECT_LT(compareNoCase(signalBank[i].name, signalBank[i + 1].name), 0) << signalBank[i].name;
    }
    EXPECT_STREQ(signalBank[120].name, "Essentials/particles-rare.csv");
    EXPECT_STREQ(signalBank[121].name, "Essentials/PWM-down.csv");
    EXPECT_STREQ(signalBank[123].name, "Essentials/sine.csv");
    EXPECT_STREQ(signalBank[59].name, "Avatar/States/burning-(intro).csv");
    EXPECT_STREQ(signalBank[122].name, "Essentials/PWM-up.csv");

    struct Category {
        const char* name;
        uint64_t first;
        uint64_t count;
    };
    const Category categories[] = {
        {"Air", 0, 9},          {"Avatar/Body", 9, 9},   {"Avatar/Contacts", 18, 16}, {"Avatar/Items", 34, 14},
        {"Avatar/Notices", 48, 9}, {"Avatar/States", 57, 15}, {"Cinematic", 72, 21}, {"Earth", 93, 4},
        {"Electrical", 97, 11}, {"Essentials", 108, 18}, {"Fire", 126, 10},     {"Materials", 136, 15},
        {"Mechanics", 151, 10}, {"Spells", 161, 4},       {"Supernatural", 165, 10}, {"UI-Notifications", 175, 9},
        {"Water", 184, 8},      {"Weapons", 192, 12},
    };
    uint64_t next = 0;
    for (const Category& c : categories) {
        EXPECT_EQ(c.first, next);
        for (uint64_t i = c.first; i < c.first + c.count; ++i) {
            EXPECT_EQ(category(signalBank[i].name), c.name) << i;
            const std::string name(signalBank[i].name);
            EXPECT_EQ(name.substr(name.size() - 4), ".csv");
        }
        next = c.first + c.count;
    }
    EXPECT_EQ(next, 204u);
}

TEST(SignalBank, ExtremesOfLengthsAndBands) {
    uint64_t shortest = 0, longest = 0, maxLow = 0, minHigh = 0, maxHigh = 0, narrowest = 0;
    std::vector<uint64_t> long16, zeroLow;
    for (uint64_t i = 0; i < 204; ++i) {
        const SignalBankEntry& r = signalBank[i];
        EXPECT_LT(r.bandLow, r.bandHigh) << i;
        EXPECT_EQ(r.bandLow, std::floor(r.bandLow)) << i;
        EXPECT_EQ(r.bandHigh, std::floor(r.bandHigh)) << i;
        if (r.length < signalBank[shortest].length) shortest = i;
        if (r.length > signalBank[longest].length) longest = i;
        if (r.bandLow > signalBank[maxLow].bandLow) maxLow = i;
        if (r.bandHigh < signalBank[minHigh].bandHigh) minHigh = i;
        if (r.bandHigh > signalBank[maxHigh].bandHigh) maxHigh = i;
        if (r.bandHigh - r.bandLow < signalBank[narrowest].bandHigh - signalBank[narrowest].bandLow) narrowest = i;
        if (r.length > 65535) long16.push_back(i);
        if (r.bandLow == 0.0f) zeroLow.push_back(i);
    }
    EXPECT_EQ(shortest, 108u);
    EXPECT_EQ(signalBank[108].length, 106u);
    EXPECT_STREQ(signalBank[108].name, "Essentials/click-medium.csv");
    EXPECT_EQ(longest, 96u);
    EXPECT_EQ(signalBank[96].length, 262070u);
    EXPECT_STREQ(signalBank[96].name, "Earth/volcano-eruption.csv");
    EXPECT_EQ(long16, (std::vector<uint64_t>{7, 8, 95, 96}));
    EXPECT_EQ(zeroLow, (std::vector<uint64_t>{21, 72, 108, 132, 147, 165, 170, 172, 183}));
    EXPECT_EQ(maxLow, 66u);
    EXPECT_EQ(signalBank[66].bandLow, 212.0f);
    EXPECT_EQ(minHigh, 83u);
    EXPECT_EQ(signalBank[83].bandHigh, 46.0f);
    EXPECT_EQ(maxHigh, 11u);
    EXPECT_EQ(signalBank[11].bandHigh, 419.0f);
    EXPECT_EQ(narrowest, 85u);
    EXPECT_EQ(signalBank[85].bandLow, 169.0f);
    EXPECT_EQ(signalBank[85].bandHigh, 171.0f);
}

TEST(SignalBank, AccessorsAreLookupsIntoTheTable) {
    for (uint64_t i : {0ull, 85ull, 96ull, 108ull, 203ull}) {
        const SignalBankEntry& r = signalBank[i];
        EXPECT_EQ(tsr::signalSamples(i, 0), r.samples);
        EXPECT_EQ(tsr::signalSamples(i, r.length - 1), r.samples + r.length - 1);
        EXPECT_EQ(tsr::signalLength(i), r.length);
        EXPECT_EQ(tsr::signalBandLow(i), r.bandLow);
        EXPECT_EQ(tsr::signalBandHigh(i), r.bandHigh);
    }
    EXPECT_EQ(tsr::signalSamples(7, 100), signalBank[7].samples + 100);
    EXPECT_EQ(tsr::signalLength(3), 64421u);
    EXPECT_EQ(tsr::signalBandLow(3), 47.0f);
    EXPECT_EQ(tsr::signalBandHigh(3), 70.0f);
}

// Every stored value must be k / 32767 with |k| <= 32734, written with eight
// significant digits and read back as the nearest f32.
TEST(SignalBank, EverySampleIsAQuantisedSixteenBitValue) {
    std::vector<float> expected(2 * 32734 + 1);
    for (int k = -32734; k <= 32734; ++k) {
        char text[40];
        std::snprintf(text, sizeof text, "%.8g", k / 32767.0);
        expected[static_cast<std::size_t>(k + 32734)] = std::strtof(text, nullptr);
    }
    uint64_t bad = 0;
    for (uint64_t i = 0; i < 204; ++i) {
        const SignalBankEntry& r = signalBank[i];
        for (uint64_t n = 0; n < r.length; ++n) {
            const float v = r.samples[n];
            const double k = std::round(static_cast<double>(v) * 32767.0);
            if (!std::isfinite(v) || std::fabs(k) > 32734.0 ||
                expected[static_cast<std::size_t>(static_cast<int>(k) + 32734)] != v) {
                if (++bad < 5) ADD_FAILURE() << "row " << i << " sample " << n << " = " << v;
            }
        }
    }
    EXPECT_EQ(bad, 0u);
}

#ifdef VBZ_BANK_SYNTHESISED

TEST(SignalBank, EmbeddedRowsAreTheGeneratorsOutput) {
    const tsr::bankgen::Quantiser q;
    for (uint64_t i : {0ull, 21ull, 96ull, 108ull, 121ull, 203ull}) {
        const std::vector<float> row = tsr::bankgen::synthesiseRow(tsr::bank::kRows[i], q);
        ASSERT_EQ(row.size(), signalBank[i].length);
        EXPECT_EQ(std::memcmp(row.data(), signalBank[i].samples, row.size() * sizeof(float)), 0) << i;
    }
}

// The stand-ins must sound like their rows: most of the energy (by a DFT of
// the whole row) within the band, widened by two bins of spectral smearing.
TEST(SignalBank, StandInsKeepTheirEnergyInTheirBand) {
    for (uint64_t i : {14ull, 40ull, 64ull, 108ull, 123ull, 155ull, 179ull}) {
        const SignalBankEntry& r = signalBank[i];
        const std::size_t n = r.length;
        const double binHz = 8000.0 / static_cast<double>(n);
        double inBand = 0.0, total = 0.0, peak = 0.0;
        std::vector<std::complex<double>> twiddle(n);
        for (std::size_t t = 0; t < n; ++t) {
            twiddle[t] = std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(t) / static_cast<double>(n));
        }
        for (std::size_t b = 0; b <= n / 2; ++b) {
            std::complex<double> acc = 0.0;
            for (std::size_t t = 0, k = 0; t < n; ++t, k = (k + b) % n) {
                acc += static_cast<double>(r.samples[t]) * twiddle[k];
            }
            const double e = std::norm(acc);
            const double f = static_cast<double>(b) * binHz;
            total += e;
            if (f >= r.bandLow - 2.0 * binHz && f <= r.bandHigh + 2.0 * binHz) inBand += e;
        }
        for (std::size_t t = 0; t < n; ++t) peak = std::max(peak, std::fabs(static_cast<double>(r.samples[t])));
        EXPECT_GT(peak, 0.5) << r.name;
        EXPECT_GT(inBand / total, 0.95) << r.name;
    }
}

#endif
