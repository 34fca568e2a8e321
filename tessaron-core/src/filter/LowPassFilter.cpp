#include "tessaron-core/src/filter/LowPassFilter.h"

#include "tessaron-core/src/tsr/tsr_log.h"

namespace tsr {

namespace {
constexpr int kLogError = 4;
// The location that the log line of an invalid index carries.
constexpr const char* kLogFile = "tessaron-core/src/filter";
constexpr int kInvalidIndexLine = 49;
}  // namespace

void LowPassFilter::setCoefficients(const std::vector<BiquadSection>& entry) {
    sections_.assign(entry.begin(), entry.end());
    states_.assign(sections_.size(), State{0.0, 0.0});
    filteredCount_ = 0;
    lastOutput_ = 0.0;
    olderOutput_ = 0.0;
}

void LowPassFilter::setSource(const float* source) {
    source_ = source;
    filteredCount_ = 0;
}

void LowPassFilter::skipTo(uint64_t consumed) {
    if (!enabled) return;
    if (filteredCount_ < consumed) sample(consumed - 1);
    // Without a source nothing was counted; the next block starts afresh.
    filteredCount_ = filteredCount_ >= consumed ? filteredCount_ - consumed : 0;
}

void LowPassFilter::reset() {
    for (State& s : states_) s = State{0.0, 0.0};
    lastOutput_ = 0.0;
    olderOutput_ = 0.0;
    filteredCount_ = 0;
}

float LowPassFilter::sample(uint64_t index) {
    // Without a source there is nothing to read; the resampler never asks then.
    if (!enabled) return source_ ? source_[index] : 0.0f;
    if (filteredCount_ > index) {
        const uint64_t behind = filteredCount_ - index;
        if (behind == 1) return static_cast<float>(lastOutput_);
        if (behind == 2) return static_cast<float>(olderOutput_);
        tsr_log(kLogError, kLogFile, kInvalidIndexLine, "Invalid filtered index");
        return 0.0f;
    }
    if (!mute && !source_) return 0.0f;
    double y = lastOutput_;
    for (uint64_t k = filteredCount_; k <= index; ++k) {
        double x = mute ? 0.0 : static_cast<double>(source_[k]);
        for (std::size_t s = 0; s < sections_.size(); ++s) {
            const BiquadSection& c = sections_[s];
            State& st = states_[s];
            const double w = (x - c.a1 * st.w1) - c.a2 * st.w2;
            x = ((c.b0 * w) + c.b1 * st.w1) + c.b2 * st.w2;
            st.w2 = st.w1;
            st.w1 = w;
        }
        y = x;
        olderOutput_ = lastOutput_;
        lastOutput_ = y;
    }
    filteredCount_ = index + 1;
    return static_cast<float>(y);
}

}  // namespace tsr
