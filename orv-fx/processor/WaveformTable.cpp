#include "orv-fx/processor/WaveformTable.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace orv {

namespace {

// A pulse shape is fixed by a few telling values; the samples in between are
// the project's own. Each shape is a chain of anchors: 0 at both ends, the
// given samples 1 and 2, then one extremum per lobe with alternating signs,
// among them the largest magnitude and the extreme of the other sign at their
// given indices. Neighbouring anchors are joined by a monotone cubic
// (piecewise Hermite with Fritsch-Carlson slopes), so no sample overshoots an
// anchor: the extremes are exactly the anchors' values, and every lobe crosses
// zero exactly once on its way to the next.
struct PulseShape {
    uint64_t length;
    uint64_t peakIndex;
    double peakValue;  // exactly +1 or -1
    uint64_t otherIndex;
    double otherValue;  // extreme of the opposite sign
    unsigned signChanges;
    double sample1;
    double sample2;
};

constexpr std::array<PulseShape, 9> kPulseShapes{{
    {5848, 428, 1.0, 213, -0.716636, 42, -0.043872, -0.0700384},
    {3366, 161, 1.0, 70, -0.883624, 36, -0.0531854, -0.0912452},
    {1352, 85, 1.0, 44, -0.82317, 16, 0.000112601, -3.57243e-05},
    {6108, 970, -1.0, 640, 0.978524, 72, -0.0199329, -0.0364488},
    {2189, 244, 1.0, 363, -0.871488, 16, -0.00888027, -0.0173979},
    {2212, 857, 1.0, 243, -0.762972, 24, -1.24769e-05, -0.000133704},
    {1782, 964, 1.0, 1273, -0.640214, 4, -0.00977201, -0.0184123},
    {710, 385, 1.0, 170, -0.694452, 4, -0.0131522, -0.0246644},
    {390, 152, 1.0, 243, -0.346947, 6, 0.000160786, 0.000249401},
}};

struct Anchor {
    uint64_t index;
    double value;
};

double signOf(double v) { return v < 0.0 ? -1.0 : 1.0; }

// How many free lobes go before the first fixed extremum, between the two
// and after the second: the split whose lobe spacings are the most even. The
// signs alternate from the sign of sample 2, which fixes the parity before
// the first fixed extremum; the two fixed ones have opposite signs, so an even
// number lies between them.
struct LobeSplit {
    uint64_t before = 0;
    uint64_t between = 0;
    uint64_t after = 0;
};

LobeSplit splitLobes(const PulseShape& s, uint64_t lobes, uint64_t first, uint64_t second, bool firstFlips) {
    LobeSplit best;
    double bestRatio = 0.0;
    const double spanBefore = static_cast<double>(first - 2);
    const double spanBetween = static_cast<double>(second - first);
    const double spanAfter = static_cast<double>(s.length - 1 - second);
    for (uint64_t before = firstFlips ? 1 : 0; before + 2 <= lobes; before += 2) {
        for (uint64_t between = 0; before + between + 2 <= lobes; between += 2) {
            const uint64_t after = lobes - before - between - 2;
            const double gaps[3] = {spanBefore / static_cast<double>(before + 1),
                                    spanBetween / static_cast<double>(between + 1),
                                    spanAfter / static_cast<double>(after + 1)};
            double lo = gaps[0];
            double hi = gaps[0];
            for (double g : gaps) {
                lo = std::min(lo, g);
                hi = std::max(hi, g);
            }
            // Anchors closer than four samples would leave lobes without a body.
            if (lo < 4.0) continue;
            const double ratio = hi / lo;
            if (bestRatio == 0.0 || ratio < bestRatio) {
                bestRatio = ratio;
                best = {before, between, after};
            }
        }
    }
    // The shapes are fixed data with a feasible split each (the tests check
    // every telling value); a table that stopped fitting must not build.
    if (bestRatio == 0.0) std::abort();
    return best;
}

// n evenly spread anchor indices strictly between from and to.
void spread(std::vector<uint64_t>& out, uint64_t from, uint64_t to, uint64_t n) {
    for (uint64_t j = 1; j <= n; ++j) out.push_back(from + ((to - from) * j + (n + 1) / 2) / (n + 1));
}

std::vector<Anchor> anchorsOf(const PulseShape& s) {
    const uint64_t startFlip = signOf(s.sample1) != signOf(s.sample2) ? 1 : 0;
    const uint64_t lobes = s.signChanges + 1 - startFlip;
    const double firstSign = signOf(s.sample2);
    const uint64_t first = std::min(s.peakIndex, s.otherIndex);
    const uint64_t second = std::max(s.peakIndex, s.otherIndex);
    const double signAtFirst = first == s.peakIndex ? signOf(s.peakValue) : signOf(s.otherValue);
    const LobeSplit split = splitLobes(s, lobes, first, second, signAtFirst != firstSign);

    std::vector<uint64_t> at;
    spread(at, 2, first, split.before);
    at.push_back(first);
    spread(at, first, second, split.between);
    at.push_back(second);
    spread(at, second, s.length - 1, split.after);

    // Free lobes stay below both fixed magnitudes: they swell towards the
    // first fixed extremum and decay after the second.
    const double cap = std::min(1.0, std::abs(s.otherValue));
    const double tail = static_cast<double>(s.length - 1 - second);
    std::vector<Anchor> anchors{{0, 0.0}, {1, s.sample1}, {2, s.sample2}};
    double sign = firstSign;
    for (uint64_t index : at) {
        double value;
        if (index == s.peakIndex) {
            value = s.peakValue;
        } else if (index == s.otherIndex) {
            value = s.otherValue;
        } else if (index < first) {
            value = sign * cap * (0.25 + 0.5 * static_cast<double>(index) / static_cast<double>(first));
        } else if (index < second) {
            // Rising slightly, so that no two neighbours are mirror images
            // whose crossing would fall exactly on a sample.
            value = sign * cap * (0.7 + 0.1 * static_cast<double>(index - first) / static_cast<double>(second - first));
        } else {
            value = sign * cap * 0.85 * std::exp(-4.0 * static_cast<double>(index - second) / tail);
        }
        anchors.push_back({index, value});
        sign = -sign;
    }
    anchors.push_back({s.length - 1, 0.0});
    return anchors;
}

// Monotone piecewise cubic through the anchors, sampled at every index.
std::vector<double> monotoneCubic(const std::vector<Anchor>& a, uint64_t length) {
    const std::size_t n = a.size();
    std::vector<double> h(n - 1);
    std::vector<double> delta(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        h[i] = static_cast<double>(a[i + 1].index - a[i].index);
        delta[i] = (a[i + 1].value - a[i].value) / h[i];
    }
    // Flat at both ends and at every local extremum; elsewhere the weighted
    // harmonic mean of the neighbouring secants, which keeps each piece
    // monotone.
    std::vector<double> d(n, 0.0);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        if (delta[i - 1] * delta[i] <= 0.0) continue;
        const double w1 = 2.0 * h[i] + h[i - 1];
        const double w2 = h[i] + 2.0 * h[i - 1];
        d[i] = (w1 + w2) / (w1 / delta[i - 1] + w2 / delta[i]);
    }
    std::vector<double> out(length, 0.0);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        out[a[i].index] = a[i].value;
        for (uint64_t k = a[i].index + 1; k < a[i + 1].index; ++k) {
            const double t = static_cast<double>(k - a[i].index) / h[i];
            const double u = 1.0 - t;
            const double h00 = (1.0 + 2.0 * t) * u * u;
            const double h10 = t * u * u;
            const double h01 = t * t * (3.0 - 2.0 * t);
            const double h11 = t * t * (t - 1.0);
            out[k] = ((h00 * a[i].value + h10 * h[i] * d[i]) + h01 * a[i + 1].value) + h11 * h[i] * d[i + 1];
        }
    }
    out[a[n - 1].index] = a[n - 1].value;
    return out;
}

std::vector<double> sineRow() {
    std::vector<double> row(1000);
    for (std::size_t k = 0; k < row.size(); ++k) {
        row[k] = std::sin(2.0 * std::numbers::pi * static_cast<double>(k) / 1000.0);
    }
    return row;
}

// The negated Ricker wavelet, lifted so that it starts at 0 and scaled so that
// its trough is -1.
std::vector<double> rickerRow() {
    auto ricker = [](std::size_t k) {
        const double x = (static_cast<double>(k) - 500.0) * std::numbers::pi / 375.0;
        return (1.0 - x * x) * std::exp(-(x * x) / 2.0);
    };
    const double r0 = ricker(0);
    std::vector<double> row(1000);
    for (std::size_t k = 0; k < row.size(); ++k) row[k] = -(ricker(k) - r0) / (1.0 - r0);
    return row;
}

struct Storage {
    std::array<std::vector<double>, kOrvWaveformCount> samples;
    std::array<WaveformRow, kOrvWaveformCount> rows;
};

Storage build() {
    Storage s;
    s.samples[0] = sineRow();
    s.samples[1] = rickerRow();
    for (std::size_t i = 0; i < kPulseShapes.size(); ++i) {
        s.samples[i + 2] = monotoneCubic(anchorsOf(kPulseShapes[i]), kPulseShapes[i].length);
    }
    for (std::size_t i = 0; i < kOrvWaveformCount; ++i) s.rows[i] = {s.samples[i].data(), s.samples[i].size()};
    return s;
}

}  // namespace

const WaveformRow& WaveformTable::operator[](std::size_t row) const {
    static const Storage storage = build();
    static const WaveformRow empty{};
    return row < kOrvWaveformCount ? storage.rows[row] : empty;
}

}  // namespace orv
