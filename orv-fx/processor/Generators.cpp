#include "orv-fx/processor/Generators.h"

#include <algorithm>
#include <cmath>

namespace orv {

namespace {
// Row 0 is one period of a sine.
constexpr std::uint32_t kSineRow = 0;

template <class T>
void fillZero(std::span<T> out, std::size_t from) {
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), T(0));
}
}  // namespace

template <class T>
BaseGenerator<T>::BaseGenerator(const WaveformRow& waveform, std::uint32_t rate, double ampExp, double g)
    : row(&waveform),
      sampleRate(static_cast<T>(rate)),
      ampExponent(static_cast<T>(ampExp)),
      gain(static_cast<T>(g)) {
    reader.setOutputRate(sampleRate);
}

template <class T>
void BaseGenerator<T>::reset() {
    reader.reset();
    position = 0;
    lastAmplitude = 0;
}

template <class T>
T BaseGenerator<T>::process(std::span<T> out, T band, T factor) {
    const T amp = std::pow(band, ampExponent) * gain * factor;
    generate(out, band, amp);
    lastAmplitude = amp;
    return amp;
}

template <class T>
PulseGenerator<T>::PulseGenerator(std::uint32_t rate, const OrvPulseSettings& s)
    : BaseGenerator<T>(orvWaveforms[s.row], rate, s.ampExponent, s.gain),
      minDuration(static_cast<T>(s.minDuration)),
      maxDuration(static_cast<T>(s.maxDuration)),
      durationExponent(static_cast<T>(s.durationExponent)),
      delay(static_cast<T>(s.delay)) {}

template <class T>
void PulseGenerator<T>::generate(std::span<T> out, T band, T amp) {
    if (out.empty()) return;
    if (idle && !(amp > T(0))) {
        fillZero(out, 0);
        return;
    }
    if (idle || amp > amplitude) {
        this->reader.reset();
        delayRemaining = static_cast<std::uint64_t>(delay * this->sampleRate);
        this->position = 0;
        amplitude = amp;
        const T duration = minDuration + std::pow(band, durationExponent) * (maxDuration - minDuration);
        // The whole row plays once in that duration, whatever the output rate.
        this->reader.setTableRate(static_cast<T>(this->row->length) / duration);
        idle = false;
    }
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), delayRemaining));
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), T(0));
    delayRemaining -= n;
    const std::size_t start = n;
    if (!this->reader.read(*this->row, this->position, out, n)) {
        if (this->reader.readTail(out, n)) fillZero(out, n);
        idle = true;
    }
    for (std::size_t i = start; i < n; ++i) out[i] *= amplitude;
}

template <class T>
void PulseGenerator<T>::reset() {
    BaseGenerator<T>::reset();
    idle = true;
    amplitude = 0;
    delayRemaining = 0;
}

template <class T>
RumbleGenerator<T>::RumbleGenerator(std::uint32_t rate, const OrvRumbleSettings& s)
    : BaseGenerator<T>(orvWaveforms[kSineRow], rate, s.ampExponent, s.gain),
      frequencyAtFull(static_cast<T>(s.frequencyAtFull)),
      frequencyAtZero(static_cast<T>(s.frequencyAtZero)),
      frequencyExponent(static_cast<T>(s.frequencyExponent)) {}

template <class T>
void RumbleGenerator<T>::generate(std::span<T> out, T band, T amp) {
    if (out.empty()) return;
    const T frequency =
        std::pow(T(1) - band, frequencyExponent) * (frequencyAtZero - frequencyAtFull) + frequencyAtFull;
    // Row 0 holds one period, so the sine has that frequency.
    this->reader.setTableRate(frequency * static_cast<T>(this->row->length));

    // Each end of the row starts the next pass from its beginning; a step
    // too large ever to advance finishes the block with zeros.
    std::size_t n = 0;
    if (!this->reader.readLooping(*this->row, this->position, out, n)) fillZero(out, n);

    const std::size_t ramp =
        std::min(out.size(), static_cast<std::size_t>(static_cast<double>(this->sampleRate) * 0.001));
    if (ramp > 0) {
        const T last = this->lastAmplitude;
        const T d = (amp - last) / static_cast<T>(ramp);
        for (std::size_t i = 0; i < ramp; ++i) out[i] *= static_cast<T>(i) * d + (last + d);
    }
    for (std::size_t i = ramp; i < out.size(); ++i) out[i] *= amp;
}

template class BaseGenerator<float>;
template class BaseGenerator<double>;
template class PulseGenerator<float>;
template class PulseGenerator<double>;
template class RumbleGenerator<float>;
template class RumbleGenerator<double>;

}  // namespace orv
