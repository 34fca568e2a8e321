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

// A pulse generator: the waveform row it plays once, stretched to a
// duration between minDuration (band value 0) and maxDuration (band value 1),
// at an amplitude of pow(band, ampExponent) x gain.
struct OrvPulseSettings {
    uint32_t row;  // index into orvWaveforms
    double minDuration;  // seconds
    double maxDuration;  // seconds
    double ampExponent;
    double gain;
    double durationExponent = 0.5;
    double delay = 0.0;  // seconds of silence before the shape
};

// The rumble: a sine from frequencyAtZero (band value 0) to frequencyAtFull
// (band value 1), at an amplitude of pow(band, ampExponent) x gain.
struct OrvRumbleSettings {
    double ampExponent;
    double gain;
    double frequencyAtFull;  // Hz
    double frequencyAtZero;  // Hz
    double frequencyExponent;
};

struct OrvPresetSettings {
    const char* name;
    // Band 1 (drives the rumble) to band 4 (drives pulse 3).
    std::array<OrvBandSettings, 4> bands;
    OrvRumbleSettings rumble;
    // Pulses 1 to 3, driven by bands 2 to 4.
    std::array<OrvPulseSettings, 3> pulses;
    // Whether the rumble gives way to the pulses' amplitudes.
    bool duck;
};

inline constexpr std::array<OrvPresetSettings, kOrvPresetCount> kOrvPresets{{
    {"Default",
     {{{OrvBandFilter::LowPass1000, 0.01, 0.00015},
       {OrvBandFilter::LowPass150, 0.04, 0.00005},
       {OrvBandFilter::BandPass5500to7500, 0.3, 0.00005},
       {OrvBandFilter::HighPass10000, 0.3, 0.00005}}},
     {0.5, 0.75, 40.0, 90.0, 0.5},
     {{{1, 0.05, 0.061, 0.4, 0.8}, {1, 0.015, 0.015, 0.4, 0.3}, {1, 0.02, 0.05, 0.4, 0.6}}},
     false},
    {"Sharp",
     {{{OrvBandFilter::LowPass1000, 0.1, 0.00005},
       {OrvBandFilter::LowPass150, 0.04, 0.00005},
       {OrvBandFilter::BandPass5500to7500, 0.3, 0.00005},
       {OrvBandFilter::HighPass10000, 0.3, 0.00005}}},
     {0.4, 1.0, 80.0, 80.0, 0.5},
     {{{2, 0.122, 0.122, 0.6, 1.0}, {3, 0.07, 0.07, 0.4, 0.5}, {4, 0.028, 0.028, 0.4, 0.75}}},
     true},
    {"Crunchy",
     {{{OrvBandFilter::LowPass1000, 0.3, 0.00005},
       {OrvBandFilter::LowPass150, 0.04, 0.00005},
       {OrvBandFilter::BandPass5500to7500, 0.3, 0.00005},
       {OrvBandFilter::HighPass10000, 0.3, 0.00005}}},
     {0.4, 0.6, 80.0, 80.0, 0.5},
     {{{5, 0.127, 0.127, 0.4, 0.75}, {6, 0.046, 0.046, 0.4, 0.5}, {7, 0.046, 0.046, 0.3, 0.5}}},
     true},
    {"Smooth",
     {{{OrvBandFilter::LowPass1000, 0.1, 0.00005},
       {OrvBandFilter::LowPass150, 0.04, 0.00005},
       {OrvBandFilter::BandPass4800to5800, 0.3, 0.00005},
       {OrvBandFilter::HighPass6500, 0.3, 0.00005}}},
     {0.4, 0.0, 65.0, 90.0, 0.5},
     {{{8, 0.033, 0.041, 0.4, 0.7}, {9, 0.014, 0.017, 0.35, 0.6}, {10, 0.011, 0.013, 0.2, 0.6}}},
     true},
}};

// The settings of a preset index; callers refuse indices of 4 or more before
// they get here, and such an index reads as Default.
constexpr const OrvPresetSettings& orvPresetSettings(uint32_t preset) {
    return kOrvPresets[preset < kOrvPresetCount ? preset : 0];
}

// The preset's name, "Invalid" for an index of 4 or more.
constexpr const char* orvPresetName(uint32_t preset) {
    return preset < kOrvPresetCount ? kOrvPresets[preset].name : "Invalid";
}

}  // namespace orv
