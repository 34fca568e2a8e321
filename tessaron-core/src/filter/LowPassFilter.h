// The anti-alias cascade in front of the resampler's interpolation: a series
// of second-order sections from the low-pass table, run in f64 (direct form
// II) over a source that belongs to someone else (the signal bank, or one
// following sample). It keeps its last two outputs so that the interpolation's
// requests for the pairs (i, i+1) then (i+1, i+2) filter every sample once.
// Owned by one resampler; no locking.
#pragma once

#include "tessaron-core/src/filter/LowPassTable.h"

#include <cstdint>
#include <vector>

namespace tsr {

class LowPassFilter {
public:
    struct State {
        double w1;
        double w2;
    };

    // false: samples pass unfiltered. Both flags are set by the resampler's
    // configure before the first block.
    bool enabled = false;
    // true: the cascade runs on zeros instead of the source.
    bool mute = false;

    // Copies the entry's sections (reusing the vectors' storage) and puts the
    // cascade at rest.
    void setCoefficients(const std::vector<BiquadSection>& entry);
    // Restarts the count at the new source's index 0; states and cached
    // outputs carry over, so a one-sample continuation keeps filtering.
    void setSource(const float* source);
    // The next source begins `consumed` samples after the current one's
    // index 0 and continues it: the samples up to there that were skipped
    // still go through the cascade (every sample must, or the states lose
    // their history), and the count and the cached outputs are re-counted
    // from the new start. continueSource then takes the new pointer.
    void skipTo(uint64_t consumed);
    void continueSource(const float* source) { source_ = source; }
    // Puts the cascade at rest.
    void reset();
    // The filtered source sample at index. Indices must not go back more than
    // the two cached outputs: such a request is logged and yields 0.
    float sample(uint64_t index);

    const std::vector<BiquadSection>& sections() const { return sections_; }
    const std::vector<State>& states() const { return states_; }
    uint64_t filteredCount() const { return filteredCount_; }

private:
    std::vector<BiquadSection> sections_;
    std::vector<State> states_;
    const float* source_ = nullptr;
    uint64_t filteredCount_ = 0;
    double lastOutput_ = 0.0;
    double olderOutput_ = 0.0;
};

}  // namespace tsr
