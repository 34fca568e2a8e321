#include "tessaron-core/src/model/FadeOut.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tsr {
namespace {
// A NaN slope is no slope.
double sanitiseStep(double s) { return s > 0.0 ? s : 0.0; }
}  // namespace

void FadeOut::start(double s) {
    level_ = 1.0;
    step_ = sanitiseStep(s);
}

void FadeOut::setStep(double s) { step_ = sanitiseStep(s); }

uint64_t FadeOut::samplesLeft() const {
    const double left = std::ceil(level_ / step_);
    if (!(left > 0.0)) return 0;
    if (left >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(left);
}

void FadeOut::advance(uint64_t n) {
    // 0 x an infinite step would be NaN.
    if (n == 0 || !isActive()) return;
    const double next = level_ - static_cast<double>(n) * step_;
    level_ = next > 0.0 ? next : 0.0;
}

void FadeOut::apply(std::size_t offset, float* samples, std::size_t n) const {
    if (!isActive()) return;
    double l = std::max(level_ - static_cast<double>(offset) * step_, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        samples[i] *= static_cast<float>(l);
        l = std::max(l - step_, 0.0);
    }
}

}  // namespace tsr
