#include "orv-fx/processor/OrvChannel.h"

#include "orv-fx/processor/FilterDesigns.h"
#include "orv-fx/processor/OrvPreset.h"

#include <algorithm>

namespace orv {

namespace {

// Truncation of rate x 0.02 s, from the rate as a signed 32-bit value; a
// rate that does not fit is no block at all.
uint64_t blockLengthOf(uint32_t sampleRate) {
    const double frames = static_cast<double>(static_cast<int32_t>(sampleRate)) * 0.02;
    return frames > 0.0 ? static_cast<uint64_t>(frames) : 0;
}

template <typename U>
const SectionList<U>& sectionsOf(OrvBandFilter filter, int32_t sampleRate) {
    switch (filter) {
        case OrvBandFilter::LowPass1000:
            return lowPass1000<U>(sampleRate);
        case OrvBandFilter::LowPass150:
            return lowPass150<U>(sampleRate);
        case OrvBandFilter::BandPass5500to7500:
            return bandPass5500to7500<U>(sampleRate);
        case OrvBandFilter::BandPass4800to5800:
            return bandPass4800to5800<U>(sampleRate);
        case OrvBandFilter::HighPass10000:
            return highPass10000<U>(sampleRate);
        case OrvBandFilter::HighPass6500:
            break;
    }
    return highPass6500<U>(sampleRate);
}

template <typename U>
BandDetector<U> detectorOf(uint32_t sampleRate, uint32_t preset, std::size_t band) {
    const OrvBandSettings& s = orvPresetSettings(preset).bands[band];
    return BandDetector<U>(sectionsOf<U>(s.filter, static_cast<int32_t>(sampleRate)), static_cast<U>(s.alpha),
                           static_cast<U>(kOrvBandPeak0), static_cast<U>(kOrvBandFloor), static_cast<U>(s.decay));
}

}  // namespace

template <typename U>
OrvChannel<U>::OrvChannel(uint32_t sampleRate, uint32_t preset)
    : blockLength_(blockLengthOf(sampleRate)),
      rumble_(sampleRate, orvPresetSettings(preset).rumble),
      pulses_{PulseGenerator<U>(sampleRate, orvPresetSettings(preset).pulses[0]),
              PulseGenerator<U>(sampleRate, orvPresetSettings(preset).pulses[1]),
              PulseGenerator<U>(sampleRate, orvPresetSettings(preset).pulses[2])},
      detectors_{detectorOf<U>(sampleRate, preset, 0), detectorOf<U>(sampleRate, preset, 1),
                 detectorOf<U>(sampleRate, preset, 2), detectorOf<U>(sampleRate, preset, 3)},
      duckFlag_(orvPresetSettings(preset).duck) {}

template <typename U>
void OrvChannel<U>::analyse(std::span<const U> block, std::span<U> scratch) {
    if (block.size() != blockLength_ || scratch.size() != blockLength_) return;
    for (std::size_t k = 0; k < detectors_.size(); ++k) {
        std::copy(block.begin(), block.end(), scratch.begin());
        band_[k] = detectors_[k].process(scratch);
    }
}

template <typename U>
bool OrvChannel<U>::encodeBlock(std::span<const U> block, uint8_t* token, std::span<U> scratch) {
    if (block.size() != blockLength_ || scratch.size() != blockLength_ || token == nullptr) return false;
    analyse(block, scratch);
    OrvToken<U>{band_}.write(token);
    return true;
}

template class OrvChannel<float>;
template class OrvChannel<double>;

}  // namespace orv
