// Linear-interpolating resampler of one playback generator: delivers a bank
// waveform (8000 Hz) at the output rate of each block, behind the low-pass
// cascade chosen for that rate and the waveform's band. Owned, with its job,
// by one playback generator and used by the thread that renders it; nothing
// here allocates while a block is processed.
//
// Per block: job.setSource, job.setDestination, job.setRatio(8000, outputRate),
// configure(outputRate, bandLow, bandHigh, job), process(job); then advance
// the read position by job.consumed() and use job.produced() samples. The next
// block's source starts at the first sample that was not consumed.
#pragma once

#include "tessaron-core/src/filter/LowPassFilter.h"

#include <cstdint>

namespace tsr {

class Resampler;

// One block's request and its results. Must be set up afresh (setSource and
// setDestination) for every block: a job with results is refused.
class ResampleJob {
public:
    // Source samples per output sample (source rate / output rate).
    double ratio = 1.0;
    const float* source = nullptr;
    uint64_t sourceLength = 0;
    // A sample follows the last source sample and the output may interpolate
    // towards it.
    bool useNext = false;
    float nextSample = 0.0f;
    float* destination = nullptr;
    uint64_t capacity = 0;

    void setSource(const float* src, uint64_t length, bool next, float nextValue);
    void setDestination(float* dest, uint64_t cap);
    void setRatio(double sourceRate, double outputRate);
    uint64_t consumed() const { return consumed_; }
    uint64_t produced() const { return produced_; }

private:
    friend class Resampler;
    uint64_t consumed_ = 0;
    uint64_t produced_ = 0;
};

class Resampler {
public:
    // Returned by process for a refused job ("Core - Invalid argument").
    static constexpr int32_t kInvalidArgument = -100;

    // Fractional read position in source samples, from the first source
    // sample of the next block.
    double position = 0.0;
    // The filtered value of the last source sample that a block reached; it
    // stands at index -1 of the next block.
    float previousSample = 0.0f;
    LowPassFilter filter;

    // Starts at position 0 with the table's entry 0 loaded.
    Resampler();

    // Chooses the filter mode for the coming block: off when the output's
    // Nyquist frequency lies above bandHigh, muted when the whole band lies
    // above it, otherwise the table's low-pass at that frequency. A block
    // that continues the previous one (its source starts at the first sample
    // that one did not consume, at the same output rate) keeps the cascade's
    // states, so block boundaries leave no trace in the signal; any other
    // block restarts the low-pass at rest.
    void configure(double outputRate, double bandLow, double bandHigh, const ResampleJob& job);
    // Fills the job's destination; 0, or kInvalidArgument (nothing changed)
    // for a null buffer with a non-zero length, a ratio outside
    // [0.001, 1000] or NaN, or a job that already holds results.
    int32_t process(ResampleJob& job);
    // Back to position 0 with the cascade at rest (on a seek).
    void reset();

private:
    // Where a continuing block's source starts, and the rate it keeps; null
    // and NaN when no block has run since construction or reset.
    const float* continuation_ = nullptr;
    double lastRate_;
};

}  // namespace tsr
