// The sound sources of a channel's synthesis: a pulse generator plays one
// waveform row once, stretched to a duration and scaled to an amplitude that
// follow its band value; the rumble loops a one-period sine whose frequency
// and amplitude follow band 1. Each belongs to one OrvChannel and keeps its
// state (reader position, playing pulse, last amplitude) from block to block.
// Nothing here allocates.
#pragma once

#include <cstdint>
#include <span>

#include "orv-fx/processor/OrvPreset.h"
#include "orv-fx/processor/TableReader.h"
#include "orv-fx/processor/WaveformTable.h"

namespace orv {

template <class T>
class BaseGenerator {
public:
    BaseGenerator(const WaveformRow& row, std::uint32_t sampleRate, double ampExponent, double gain);
    virtual ~BaseGenerator() = default;
    BaseGenerator(const BaseGenerator&) = default;
    BaseGenerator& operator=(const BaseGenerator&) = default;

    // Fills the whole block.
    virtual void generate(std::span<T> out, T band, T amplitude) = 0;
    // Back to the state of construction.
    virtual void reset();

    // Synthesises one block at pow(band, ampExponent) x gain x factor and
    // returns that amplitude.
    T process(std::span<T> out, T band, T factor);

    T getGain() const { return gain; }

protected:
    const WaveformRow* row;
    T sampleRate;
    T ampExponent;
    TableReader<T> reader;
    std::uint64_t position = 0;
    T gain;
    T lastAmplitude = 0;
};

template <class T>
class PulseGenerator final : public BaseGenerator<T> {
public:
    PulseGenerator(std::uint32_t sampleRate, const OrvPulseSettings& settings);

    // Starts a pulse when idle and asked for an amplitude above 0, or when
    // playing and asked for more than the held amplitude (the shape then
    // restarts from its first sample); otherwise a playing pulse runs on
    // unchanged. The block after the pulse's end is zeros.
    void generate(std::span<T> out, T band, T amplitude) override;
    void reset() override;

    bool isIdle() const { return idle; }

private:
    T minDuration;
    T maxDuration;
    T durationExponent;
    T delay;
    T amplitude = 0;
    std::uint64_t delayRemaining = 0;
    bool idle = true;
};

template <class T>
class RumbleGenerator final : public BaseGenerator<T> {
public:
    RumbleGenerator(std::uint32_t sampleRate, const OrvRumbleSettings& settings);

    // Runs the sine on without a break in phase at the band's frequency; the
    // gain moves from the last block's amplitude to the new one over 1 ms.
    void generate(std::span<T> out, T band, T amplitude) override;

private:
    T frequencyAtFull;
    T frequencyAtZero;
    T frequencyExponent;
};

extern template class BaseGenerator<float>;
extern template class BaseGenerator<double>;
extern template class PulseGenerator<float>;
extern template class PulseGenerator<double>;
extern template class RumbleGenerator<float>;
extern template class RumbleGenerator<double>;

}  // namespace orv
