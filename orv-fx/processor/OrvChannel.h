// The per-channel processor of an ORV-fx processor. Analysis reduces one
// 20 ms block of the channel's samples to four band values (one detector per
// band) and writes them as a token; synthesis turns four band values into a
// block of vibration. Detector and generator states run on from block to
// block. Owned by its processor, one thread at a time; no allocation after
// construction.
#pragma once

#include "orv-fx/processor/BandDetector.h"
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

    // Band 1 at index 0 to band 4 at index 3.
    const std::array<U, 4>& bands() const { return band_; }
    const BandDetector<U>& detector(std::size_t index) const { return detectors_[index]; }

private:
    uint64_t blockLength_;
    std::array<BandDetector<U>, 4> detectors_;
    std::array<U, 4> band_{};
};

extern template class OrvChannel<float>;
extern template class OrvChannel<double>;

}  // namespace orv
