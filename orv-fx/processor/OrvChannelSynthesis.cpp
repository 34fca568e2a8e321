// The synthesis half of OrvChannel: decoding a token into vibration, the
// in-place process step and the channel's reset.
#include <algorithm>
#include <cmath>

#include "orv-fx/processor/OrvChannel.h"

namespace orv {

namespace {

// A token from outside may hold anything; the generators must only see band
// values they can turn into finite output in bounded time.
template <typename U>
U sanitisedBand(U v) {
    return std::isfinite(v) && v > U(0) ? v : U(0);
}

template <typename U>
void addInto(std::span<U> out, std::span<const U> part) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += part[i];
}

}  // namespace

template <typename U>
void OrvChannel<U>::synthesise(std::span<U> out, std::span<U> scratch) {
    if (out.size() != blockLength_ || scratch.size() != blockLength_) return;
    std::fill(out.begin(), out.end(), U(0));
    std::array<U, 3> amplitude{};
    for (std::size_t k = 0; k < pulses_.size(); ++k) {
        const bool wasIdle = pulses_[k].isIdle();
        amplitude[k] = pulses_[k].process(scratch, band_[k + 1], U(1));
        // An idle pulse that is not started writes zeros: nothing to add.
        if (!wasIdle || amplitude[k] > U(0)) addInto<U>(out, scratch);
    }
    // The rumble gives way to what the pulses ask in this block, not to the
    // held amplitudes of pulses still playing from earlier blocks.
    U duck = 1;
    const U gain = rumble_.getGain();
    if (duckFlag_) {
        const U room = std::max(U(1) - ((amplitude[0] + amplitude[1]) + amplitude[2]), U(0));
        if (room < gain) duck = room / gain;
    }
    rumble_.process(scratch, band_[0], duck);
    addInto<U>(out, scratch);
}

template <typename U>
bool OrvChannel<U>::decodeBlock(const uint8_t* token, std::span<U> out, std::span<U> scratch) {
    if (out.size() != blockLength_ || scratch.size() != blockLength_ || token == nullptr) return false;
    const OrvToken<U> read = OrvToken<U>::read(token);
    for (std::size_t k = 0; k < band_.size(); ++k) band_[k] = sanitisedBand(read.bands[k]);
    synthesise(out, scratch);
    return true;
}

template <typename U>
bool OrvChannel<U>::processBlock(std::span<U> block, std::span<U> scratch) {
    if (block.size() != blockLength_ || scratch.size() != blockLength_) return false;
    analyse(block, scratch);
    synthesise(block, scratch);
    return true;
}

template <typename U>
void OrvChannel<U>::reset() {
    rumble_.reset();
    for (auto& pulse : pulses_) pulse.reset();
    for (auto& detector : detectors_) detector.reset();
}

// The rest of the class is instantiated with the analysis.
template void OrvChannel<float>::synthesise(std::span<float>, std::span<float>);
template void OrvChannel<double>::synthesise(std::span<double>, std::span<double>);
template bool OrvChannel<float>::decodeBlock(const uint8_t*, std::span<float>, std::span<float>);
template bool OrvChannel<double>::decodeBlock(const uint8_t*, std::span<double>, std::span<double>);
template bool OrvChannel<float>::processBlock(std::span<float>, std::span<float>);
template bool OrvChannel<double>::processBlock(std::span<double>, std::span<double>);
template void OrvChannel<float>::reset();
template void OrvChannel<double>::reset();

}  // namespace orv
