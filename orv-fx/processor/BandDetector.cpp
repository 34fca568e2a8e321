#include "orv-fx/processor/BandDetector.h"

#include <algorithm>
#include <cmath>

namespace orv {

template <typename U>
BandDetector<U>::BandDetector(const SectionList<U>& sections, U alpha, U peak0, U floor, U decay)
    : filter_(sections),
      alpha_(alpha > U(0) ? std::min(alpha, U(1)) : U(0)),
      peak_(peak0),
      peak0_(peak0),
      floor_(floor),
      decay_(decay) {}

template <typename U>
U BandDetector<U>::process(std::span<U> samples) {
    if (filter_.isEmpty() || samples.empty()) return U(0);
    filter_.process(samples);
    U sum = 0;
    for (U x : samples) sum += x * x;
    const U energy = sum / static_cast<U>(samples.size());
    if (!std::isfinite(energy)) {
        filter_.reset();
        return U(0);
    }
    smoothed_ = (U(1) - alpha_) * smoothed_ + alpha_ * energy;
    const U onset = energy - smoothed_;
    peak_ = peak_ - decay_;
    if (floor_ > peak_) peak_ = floor_;
    if (onset > peak_) peak_ = onset;
    U v = onset / peak_;
    if (!(v > U(0))) v = U(0);
    if (v > U(1)) v = U(1);
    return v;
}

template <typename U>
void BandDetector<U>::reset() {
    filter_.reset();
    peak_ = peak0_;
    smoothed_ = U(0);
}

template class BandDetector<float>;
template class BandDetector<double>;

}  // namespace orv
