// One band of a channel's analysis: a fixed filter, then an energy-onset
// detector that says how much louder the band is now than it has lately
// been, relative to the largest recent rise. Its state (filter state,
// smoothed energy, peak) runs on from block to block until reset. Owned by
// one channel; no locking, no allocation after construction.
#pragma once

#include "orv-fx/processor/BiquadCascade.h"

#include <span>

namespace orv {

template <typename U>
class BandDetector {
public:
    // alpha is clamped to [0, 1]; an alpha that is not a number counts as 0.
    BandDetector(const SectionList<U>& sections, U alpha, U peak0, U floor, U decay);

    // Filters the samples in place and returns the band value in [0, 1]. A
    // band without a filter is always 0 and changes nothing. A block whose
    // energy is not finite (NaN or infinite audio) gives 0 and clears the
    // filter state instead of poisoning every later block.
    U process(std::span<U> samples);
    void reset();

    const BiquadCascade<U>& filter() const { return filter_; }
    U smoothed() const { return smoothed_; }
    U alpha() const { return alpha_; }
    U peak() const { return peak_; }

private:
    BiquadCascade<U> filter_;
    U smoothed_ = 0;
    U alpha_;
    U peak_;
    U peak0_;
    U floor_;
    U decay_;
};

extern template class BandDetector<float>;
extern template class BandDetector<double>;

}  // namespace orv
