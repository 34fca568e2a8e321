#include "tessaron-core/src/spatial/WeightDistribution.h"

#include <utility>

namespace tsr {
namespace {
// Half-width of the edge in units of the Gaussian's standard deviation: the
// edge ends where the cubic is close to its root.
constexpr double kEdgeSpan = 1.7858;

double edgeCoefficient(float inner, float outer) {
    const float width = outer - inner;
    if (width == 0.0f) return 0.0;
    const double q = kEdgeSpan / static_cast<double>(width);
    return 0.5 * q * q;
}
}  // namespace

WDFastGaussian::WDFastGaussian(float gain, float r0, float r1, float r2, float r3, std::string name)
    : name_(std::move(name)), r0_(r0), r1_(r1), r2_(r2), r3_(r3) {
    setGain(gain);
}

void WDFastGaussian::setGain(float gain) {
    if (gain >= 100.0f) {
        gain_ = 100.0f;
    } else if (gain > 0.0f) {
        gain_ = gain;
    } else {
        gain_ = 0.0f;  // also NaN: an undefined gain must not reach the output
    }
    updateCoefficients();
}

void WDFastGaussian::setRadii(float r0, float r1, float r2, float r3) {
    r0_ = r0;
    r1_ = r1;
    r2_ = r2;
    r3_ = r3;
    updateCoefficients();
}

void WDFastGaussian::updateCoefficients() {
    k1_ = edgeCoefficient(r0_, r1_);
    k2_ = edgeCoefficient(r2_, r3_);
    gainSixth_ = static_cast<double>(gain_ * 0.16666667f);
}

void WDFastGaussian::apply(std::span<double> values) const {
    const double r0 = r0_, r1 = r1_, r2 = r2_, r3 = r3_;
    const auto edge = [this](double k, double dist) {
        const double x = k * dist * dist;
        return gainSixth_ * (6.0 - (6.0 - (3.0 - x) * x) * x);
    };
    for (double& d : values) {
        if (d < r0) {
            d = 0.0;
        } else if (d < r1) {
            d = edge(k1_, d - r1);
        } else if (d < r2) {
            d = gain_;
        } else if (d < r3) {
            d = edge(k2_, d - r2);
        } else {
            d = 0.0;  // beyond the edge, or not a number
        }
    }
}

std::shared_ptr<WDFastGaussian> makeWDFastGaussian(float gain, float r0, float r1, float r2, float r3,
                                                   std::string name) {
    return std::make_shared<WDFastGaussian>(gain, r0, r1, r2, r3, std::move(name));
}

}  // namespace tsr
