// The four ORV-fx presets and their settings, one row per preset: what the
// band analysis and the synthesis of a channel are built from. Values are
// stored in double precision; a single-precision channel takes the nearest
// float of each.
#pragma once

#include <array>
#include <cstdint>

namespace orv {

enum class OrvPreset : uint32_t { Default = 0, Sharp = 1, Crunchy = 2, Smooth = 3 };

inline constexpr uint32_t kOrvPresetCount = 4;

// The fixed filter in front of a band's detector.
enum class OrvBandFilter : uint8_t {
    LowPass1000,
    LowPass150,
    BandPass5500to7500,
    BandPass4800to5800,
    HighPass10000,
    HighPass6500,
};

struct OrvBandSettings {
    OrvBandFilter filter;
    double alpha;  // smoothing weight of the block energy, per block
    double decay;  // fall of the normalising peak, per block
};

// Every band of every preset starts its peak here and lets it fall no lower
// than the floor.
inline constexpr double kOrvBandPeak0 = 0.08;
inline constexpr double kOrvBandFloor = 0.008;

struct OrvPresetSettings {
    const char* name;
    // Band 1 (drives the rumble) to band 4 (drives pulse 3).
    std::array<OrvBandSettings, 4> bands;
};

inline constexpr std::array<OrvPresetSettings, kOrvPresetCount> kOrvPresets{{
    {"Default",
     {{{OrvBandFilter::LowPass1000, 0.01, 0.00015},
       {OrvBandFilter::LowPass150, 0.04, 0.00005},
       {OrvBandFilter::BandPass5500to7500, 0.3, 0.00005},
       {OrvBandFilter::HighPass10000, 0.3, 0.00005}}}},
    {"Sharp",
     {{{OrvBandFilter::LowPass1000, 0.1, 0.00005},
       {OrvBandFilter::LowPass150, 0.04, 0.00005},
       {OrvBandFilter::BandPass5500to7500, 0.3, 0.00005},
       {OrvBandFilter::HighPass10000, 0.3, 0.00005}}}},
    {"Crunchy",
     {{{OrvBandFilter::LowPass1000, 0.3, 0.00005},
       {OrvBandFilter::LowPass150, 0.04, 0.00005},
       {OrvBandFilter::BandPass5500to7500, 0.3, 0.00005},
       {OrvBandFilter::HighPass10000, 0.3, 0.00005}}}},
    {"Smooth",
     {{{OrvBandFilter::LowPass1000, 0.1, 0.00005},
       {OrvBandFilter::LowPass150, 0.04, 0.00005},
       {OrvBandFilter::BandPass4800to5800, 0.3, 0.00005},
       {OrvBandFilter::HighPass6500, 0.3, 0.00005}}}},
}};

// The settings of a preset index; callers refuse indices of 4 or more before
// they get here, and such an index reads as Default.
constexpr const OrvPresetSettings& orvPresetSettings(uint32_t preset) {
    return kOrvPresets[preset < kOrvPresetCount ? preset : 0];
}

}  // namespace orv
