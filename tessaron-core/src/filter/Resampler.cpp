#include "tessaron-core/src/filter/Resampler.h"

#include "tessaron-core/src/filter/Saturating.h"

#include <algorithm>
#include <cmath>

namespace tsr {

namespace {
// A position this close below a whole sample counts as that sample.
constexpr double kEpsilon = 0.00001;
constexpr double kMinRatio = 0.001;
constexpr double kMaxRatio = 1000.0;
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

Resampler::Resampler() { filter.setCoefficients(lowPassCoefficients(0.0)); }

void Resampler::configure(double outputRate, double bandLow, double bandHigh, const ResampleJob& job) {
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

    // configure has pointed the filter at this source already; doing it again
    // changes nothing then, and keeps a job whose source was replaced after
    // configure from reading the previous block's memory.
    filter.setSource(job.source);

    double pos = position;
    bool switched = false;
    float s0 = 0.0f;
    float s1 = 0.0f;
    while (job.produced_ < job.capacity) {
        const double x = pos + kEpsilon;
        if (x < 0.0) {
            s0 = previousSample;
            if (job.sourceLength == 0) {
                if (!job.useNext) break;
                filter.setSource(&job.nextSample);
            }
            s1 = filter.sample(0);
        } else {
            const uint64_t i = saturatingToU64(x);
            if (i >= job.sourceLength) break;
            if (i + 1 < job.sourceLength) {
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
        job.destination[job.produced_] = t * (s1 - s0) + s0;
        ++job.produced_;
        pos += job.ratio;
    }

    const double x = pos + kEpsilon;
    uint64_t consumed = 0;
    if (!(x < 0.0)) {
        consumed = std::min(job.sourceLength, saturatingToU64(x));
        pos -= static_cast<double>(consumed);
    }
    job.consumed_ = consumed;
    position = pos;
    return 0;
}

void Resampler::reset() {
    position = 0.0;
    previousSample = 0.0f;
    filter.reset();
}

}  // namespace tsr
