// The per-channel processor of an ORV-fx processor. Analysis reduces one
// 20 ms block of the channel's samples to four band values (one detector per
// band) and writes them as a token; synthesis turns four band values into a
// block of vibration. Detector and generator states run on from block to
// block. Owned by its processor, one thread at a time; no allocation after
// construction.
#pragma once

#include "orv-fx/processor/BandDetector.h"
#include "orv-fx/processor/Generators.h"
#include "orv-fx/processor/OrvToken.h"

#include <array>
#include <cstdint>
#include <span>

namespace orv {

template <typename U>
class OrvChannel {
public:
    // The preset is 0 to 3 (a larger index builds Default). A rate that is
    // not accepted leaves every band without a filter.
    OrvChannel(uint32_t sampleRate, uint32_t preset);

    static constexpr uint32_t tokenSize() { return OrvToken<U>::kSize; }
    // Frames per block: 20 ms of the rate, truncated.
    uint64_t blockLength() const { return blockLength_; }

    // band[k] = detector k's value of a copy of block made in scratch; the
    // block itself is left unfiltered. Both must hold blockLength samples,
    // otherwise nothing happens.
    void analyse(std::span<const U> block, std::span<U> scratch);
    // Analyses the block and writes the four band values as one token at
    // token. false, touching nothing, unless block and scratch both hold
    // exactly blockLength samples.
    bool encodeBlock(std::span<const U> block, uint8_t* token, std::span<U> scratch);

    // Fills out with the vibration of the current band values: the three
    // pulses, then the rumble, ducked under the amplitudes the pulses asked
    // for in this block when the preset ducks. scratch is the generators'
    // work block. Both must hold blockLength samples, otherwise nothing
    // happens.
    void synthesise(std::span<U> out, std::span<U> scratch);
    // Takes the four band values of the token (NaN, infinities and negative
    // values as 0, values above 1 as they are) and synthesises out. false,
    // touching nothing, unless out and scratch both hold exactly blockLength
    // samples.
    bool decodeBlock(const uint8_t* token, std::span<U> out, std::span<U> scratch);
    // Analyses the block, then replaces it by the vibration made from its own
    // bands; false as decodeBlock.
    bool processBlock(std::span<U> block, std::span<U> scratch);
    // Generators and detectors back to their state of construction; the band
    // values stay.
    void reset();

    // Band 1 at index 0 to band 4 at index 3.
    const std::array<U, 4>& bands() const { return band_; }
    const BandDetector<U>& detector(std::size_t index) const { return detectors_[index]; }

private:
    uint64_t blockLength_;
    RumbleGenerator<U> rumble_;
    // Driven by bands 2, 3 and 4.
    std::array<PulseGenerator<U>, 3> pulses_;
    std::array<BandDetector<U>, 4> detectors_;
    std::array<U, 4> band_{};
    bool duckFlag_;
};

extern template class OrvChannel<float>;
extern template class OrvChannel<double>;

}  // namespace orv
