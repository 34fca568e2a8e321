#include "tessaron-core/src/filter/Resampler.h"

#include "tessaron-core/src/filter/Saturating.h"
#include "tessaron-core/src/render/RenderKernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tsr {

namespace {
// A position this close below a whole sample counts as that sample.
constexpr double kEpsilon = 0.00001;
constexpr double kMinRatio = 0.001;
constexpr double kMaxRatio = 1000.0;
// Kept between the span's last position and the source's last pair, so that
// the kernel's own rounding of a position cannot reach beyond it.
constexpr double kSpanMargin = 1e-6;
constexpr uint64_t kMaxSpanSource = uint64_t{1} << 31;

// How many outputs from the block's start lie strictly between two source
// samples (x + 1e-5 at or after the first, the pair's second inside the
// source), with no more than capacity of them: the interpolation kernel's
// share of an unfiltered block.
uint64_t unfilteredSpan(double pos0, double ratio, uint64_t length, uint64_t capacity) {
    if (length < 2 || length >= kMaxSpanSource || !(pos0 + kEpsilon >= 0.0)) return 0;
    const double limit = static_cast<double>(length - 1) - kEpsilon - kSpanMargin;
    const auto inside = [&](uint64_t k) { return pos0 + static_cast<double>(k) * ratio < limit; };
    uint64_t m = std::min(capacity, saturatingToU64(std::ceil((limit - pos0) / ratio)));
    while (m > 0 && !inside(m - 1)) --m;
    while (m < capacity && inside(m)) ++m;
    return m;
}
}  // namespace

void ResampleJob::setSource(const float* src, uint64_t length, bool next, float nextValue) {
    source = src;
    sourceLength = length;
    useNext = next;
    nextSample = nextValue;
    consumed_ = 0;
}

void ResampleJob::setDestination(float* dest, uint64_t cap) {
    destination = dest;
    capacity = cap;
    produced_ = 0;
}

void ResampleJob::setRatio(double sourceRate, double outputRate) { ratio = sourceRate / outputRate; }

Resampler::Resampler() : lastRate_(std::numeric_limits<double>::quiet_NaN()) {
    filter.setCoefficients(lowPassCoefficients(0.0));
}

void Resampler::configure(double outputRate, double bandLow, double bandHigh, const ResampleJob& job) {
    // The same rate gives the same mode and cascade: the states carry on.
    if (job.source != nullptr && job.source == continuation_ && outputRate == lastRate_) {
        filter.continueSource(job.source);
        return;
    }
    continuation_ = nullptr;
    lastRate_ = outputRate;
    filter.setSource(job.source);
    const double nyquist = 0.5 * outputRate;
    if (nyquist > bandHigh) {
        filter.enabled = false;
        return;
    }
    filter.enabled = true;
    if (bandLow > nyquist) {
        filter.mute = true;
    } else {
        filter.mute = false;
        filter.setCoefficients(lowPassCoefficients(nyquist));
    }
}

int32_t Resampler::process(ResampleJob& job) {
    if (job.sourceLength > 0 && job.source == nullptr) return kInvalidArgument;
    if (job.capacity > 0 && job.destination == nullptr) return kInvalidArgument;
    if (!(job.ratio <= kMaxRatio && job.ratio >= kMinRatio)) return kInvalidArgument;
    if (job.consumed_ != 0 || job.produced_ != 0) return kInvalidArgument;

    // configure has pointed the filter at this source already, with the
    // count it continues from; a job whose source was replaced after
    // configure starts afresh rather than read the previous block's memory.
    const bool continuing = job.source == continuation_;
    if (!continuing) filter.setSource(job.source);

    const double pos0 = position;
    const double ratio = job.ratio;
    const uint64_t length = job.sourceLength;
    // Positions are taken from the block's start rather than summed step by
    // step, so that no output waits for the one before it.
    const auto positionAt = [&](uint64_t k) { return pos0 + static_cast<double>(k) * ratio; };

    uint64_t k = 0;
    if (!filter.enabled && job.capacity > 0) {
        k = unfilteredSpan(pos0, ratio, length, job.capacity);
        if (k > 0) renderKernels().interpolate(job.source, length, pos0, ratio, job.destination, k);
    }

    // The rest, one output at a time: the filter, the block's edges and the
    // source's last sample.
    bool switched = false;
    float s0 = 0.0f;
    float s1 = 0.0f;
    for (; k < job.capacity; ++k) {
        const double pos = positionAt(k);
        const double x = pos + kEpsilon;
        if (x < 0.0) {
            s0 = previousSample;
            if (length == 0) {
                if (!job.useNext) break;
                filter.setSource(&job.nextSample);
            }
            s1 = filter.sample(0);
        } else {
            const uint64_t i = saturatingToU64(x);
            if (i >= length) break;
            if (i + 1 < length) {
                s0 = filter.sample(i);
                s1 = filter.sample(i + 1);
            } else if (!switched) {
                // The last source sample: interpolate towards the following
                // one, through the same cascade, or stop here and leave it
                // for the next block.
                previousSample = filter.sample(i);
                if (!job.useNext) break;
                filter.setSource(&job.nextSample);
                s0 = previousSample;
                s1 = filter.sample(0);
                switched = true;
            }
        }
        const float t = static_cast<float>(std::max(pos - std::floor(x), 0.0));
        job.destination[k] = t * (s1 - s0) + s0;
    }
    job.produced_ = k;

    double pos = positionAt(k);
    const double x = pos + kEpsilon;
    uint64_t consumed = 0;
    if (!(x < 0.0)) {
        consumed = std::min(length, saturatingToU64(x));
        pos -= static_cast<double>(consumed);
    }
    job.consumed_ = consumed;
    position = pos;

    // The next block of this job starts at the first sample not consumed.
    // After the switch to the following sample the cascade's count is
    // relative to it, which stands at sourceLength; a block that switched
    // and did not consume everything cannot be followed on (only an output
    // above the bank rate can end so, and it never filters).
    if (!switched) filter.skipTo(consumed);
    const bool followable = job.source != nullptr && (!switched || consumed == job.sourceLength);
    continuation_ = followable ? job.source + consumed : nullptr;
    return 0;
}

void Resampler::reset() {
    position = 0.0;
    previousSample = 0.0f;
    filter.reset();
    continuation_ = nullptr;
}

}  // namespace tsr
