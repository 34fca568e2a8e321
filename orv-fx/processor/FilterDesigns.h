// The fixed filters in front of the band detectors, and the shared tables
// that hold them: for each design and precision, one section list per
// accepted sample rate plus an empty list for any other rate. A rate's list
// holds one section where the design fits below half the rate, and is empty
// otherwise. Each design's tables are built on their first lookup (a
// concurrent first caller waits) and are only read afterwards.
#pragma once

#include "orv-fx/processor/BiquadCascade.h"

#include <array>
#include <cstdint>

namespace orv {

// One section's coefficients (b0, b1, b2, a0, a1, a2), in double precision.
using SectionCoefficients = std::array<double, 6>;

// Second-order Butterworth designs at fc by the prewarped bilinear transform.
SectionCoefficients butterworthLowPass(double fc, double fs);
SectionCoefficients butterworthHighPass(double fc, double fs);
// The first-order low-pass prototype turned into a band-pass from f1 to f2,
// both edges prewarped.
SectionCoefficients butterworthBandPass(double f1, double f2, double fs);

// The shared section list of each design for a sample rate; a rate that is
// not accepted gives the empty list.
template <typename U>
const SectionList<U>& lowPass1000(int32_t sampleRate);
template <typename U>
const SectionList<U>& lowPass150(int32_t sampleRate);
template <typename U>
const SectionList<U>& highPass6500(int32_t sampleRate);
template <typename U>
const SectionList<U>& highPass10000(int32_t sampleRate);
template <typename U>
const SectionList<U>& bandPass5500to7500(int32_t sampleRate);
template <typename U>
const SectionList<U>& bandPass4800to5800(int32_t sampleRate);

#define ORV_DECLARE_LOOKUP(name)                                  \
    extern template const SectionList<float>& name<float>(int32_t); \
    extern template const SectionList<double>& name<double>(int32_t);
ORV_DECLARE_LOOKUP(lowPass1000)
ORV_DECLARE_LOOKUP(lowPass150)
ORV_DECLARE_LOOKUP(highPass6500)
ORV_DECLARE_LOOKUP(highPass10000)
ORV_DECLARE_LOOKUP(bandPass5500to7500)
ORV_DECLARE_LOOKUP(bandPass4800to5800)
#undef ORV_DECLARE_LOOKUP

}  // namespace orv
