#include "orv-fx/processor/FilterDesigns.h"

#include "orv-fx/processor/OrvSampleRates.h"

#include <cmath>
#include <numbers>

namespace orv {

SectionCoefficients butterworthLowPass(double fc, double fs) {
    const double k = std::tan(std::numbers::pi * fc / fs);
    const double q = 1.0 / std::sqrt(2.0);
    const double n = 1.0 / ((1.0 + k / q) + k * k);
    const double b0 = k * k * n;
    return {b0, 2.0 * b0, b0, 1.0, 2.0 * (k * k - 1.0) * n, ((1.0 - k / q) + k * k) * n};
}

SectionCoefficients butterworthHighPass(double fc, double fs) {
    const double k = std::tan(std::numbers::pi * fc / fs);
    const double q = 1.0 / std::sqrt(2.0);
    const double n = 1.0 / ((1.0 + k / q) + k * k);
    return {n, -2.0 * n, n, 1.0, 2.0 * (k * k - 1.0) * n, ((1.0 - k / q) + k * k) * n};
}

SectionCoefficients butterworthBandPass(double f1, double f2, double fs) {
    const double w1 = 2.0 * fs * std::tan(std::numbers::pi * f1 / fs);
    const double w2 = 2.0 * fs * std::tan(std::numbers::pi * f2 / fs);
    const double b = w2 - w1;
    const double w0sq = w1 * w2;
    const double c = 2.0 * fs;
    const double d = (c * c + b * c) + w0sq;
    const double b0 = b * c / d;
    return {b0, 0.0, -b0, 1.0, 2.0 * (w0sq - c * c) / d, ((c * c - b * c) + w0sq) / d};
}

namespace {

enum class Design { LowPass1000, LowPass150, HighPass6500, HighPass10000, BandPass5500to7500, BandPass4800to5800 };

struct DesignRecipe {
    double highest;  // the section exists only strictly below half the rate
    SectionCoefficients (*make)(double fs);
};

DesignRecipe recipeOf(Design d) {
    switch (d) {
        case Design::LowPass1000:
            return {1000.0, [](double fs) { return butterworthLowPass(1000.0, fs); }};
        case Design::LowPass150:
            return {150.0, [](double fs) { return butterworthLowPass(150.0, fs); }};
        case Design::HighPass6500:
            return {6500.0, [](double fs) { return butterworthHighPass(6500.0, fs); }};
        case Design::HighPass10000:
            return {10000.0, [](double fs) { return butterworthHighPass(10000.0, fs); }};
        case Design::BandPass5500to7500:
            return {7500.0, [](double fs) { return butterworthBandPass(5500.0, 7500.0, fs); }};
        case Design::BandPass4800to5800:
            break;
    }
    return {5800.0, [](double fs) { return butterworthBandPass(4800.0, 5800.0, fs); }};
}

// Slot 0 is the empty list for unknown rates; slot i + 1 is for the i-th
// accepted rate.
template <typename U>
using FilterTable = std::array<SectionList<U>, kOrvSampleRates.size() + 1>;

template <typename U>
FilterTable<U> buildTable(Design design) {
    const DesignRecipe recipe = recipeOf(design);
    FilterTable<U> table;
    for (std::size_t i = 0; i < kOrvSampleRates.size(); ++i) {
        const double fs = static_cast<double>(kOrvSampleRates[i]);
        if (recipe.highest < fs / 2.0) {
            const SectionCoefficients c = recipe.make(fs);
            const std::vector<double> row(c.begin(), c.end());
            table[i + 1] = sectionListFromRows<U>(std::span(&row, 1));
        }
    }
    return table;
}

template <typename U, Design D>
const SectionList<U>& lookup(int32_t sampleRate) {
    static const FilterTable<U> table = buildTable<U>(D);
    for (std::size_t i = 0; i < kOrvSampleRates.size(); ++i) {
        if (static_cast<int64_t>(kOrvSampleRates[i]) == sampleRate) return table[i + 1];
    }
    return table[0];
}

}  // namespace

#define ORV_DEFINE_LOOKUP(name, design)                              \
    template <typename U>                                            \
    const SectionList<U>& name(int32_t sampleRate) {                 \
        return lookup<U, Design::design>(sampleRate);                \
    }                                                                \
    template const SectionList<float>& name<float>(int32_t);         \
    template const SectionList<double>& name<double>(int32_t);
ORV_DEFINE_LOOKUP(lowPass1000, LowPass1000)
ORV_DEFINE_LOOKUP(lowPass150, LowPass150)
ORV_DEFINE_LOOKUP(highPass6500, HighPass6500)
ORV_DEFINE_LOOKUP(highPass10000, HighPass10000)
ORV_DEFINE_LOOKUP(bandPass5500to7500, BandPass5500to7500)
ORV_DEFINE_LOOKUP(bandPass4800to5800, BandPass4800to5800)
#undef ORV_DEFINE_LOOKUP

}  // namespace orv
