// The abstract sound source of an effect.
//
// Every effect owns one concrete generator by value (never through this base,
// which has no virtual destructor) and asks it for the next stretch of signal
// through render(). The base keeps the generator's time in seconds of content,
// and keeps generators marked synchronised in the shared phase of their
// content and output rate (SignalSyncTable.h), re-positioning them at the
// first call of each engine tick.
//
// Threads: a generator belongs to one effect and is used by the thread that
// renders its engine; its owner serialises construction and rendering.
// render() of a synchronised generator takes the sync table's mutex briefly.
#pragma once

#include <cstdint>
#include <vector>

namespace tsr {

class ISignalGenerator {
public:
    // Seconds of content played since the last setTime (0 at construction).
    double time() const { return time_; }

    // Moves to t (0 for t <= 0 or NaN) and re-positions the content there.
    void setTime(double t);

    bool isSynchronized() const { return synchronized_; }

    // Fills out[0, n) with the content at outputRate samples per second of
    // content, times gain; returns n <= out.size(). 0 at the end of the
    // content or for a rate that the resampler refuses. offsetTime is the
    // position of these samples within the current engine buffer, in content
    // seconds: it aligns synchronised generators that start mid-buffer.
    uint64_t render(double outputRate, float gain, std::vector<float>& out, double offsetTime);

    // Playable length of the content in seconds; never negative.
    virtual double duration() const = 0;
    // Re-positions the read position from time() and clears any
    // interpolation or filter state.
    virtual void reset() = 0;
    // Writes at most out.size() samples from out[0]; does not resize out.
    virtual uint64_t generate(double outputRate, float gain, std::vector<float>& out) = 0;
    // Equal for the same waveform and the same crop.
    virtual uint64_t contentKey() const = 0;

protected:
    ISignalGenerator();
    ISignalGenerator(const ISignalGenerator&) = default;
    ISignalGenerator& operator=(const ISignalGenerator&) = default;
    ~ISignalGenerator() = default;

    // Once set, never cleared.
    void setSynchronized() { synchronized_ = true; }

private:
    double time_ = 0.0;
    bool synchronized_ = false;
    uint32_t lastTick_;
    // Content seconds produced since the first call of the current tick.
    double advance_ = 0.0;
};

}  // namespace tsr
