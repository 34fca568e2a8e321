// The built-in bank of 204 haptic waveforms at 8000 Hz. The samples are part
// of the library's read-only data (embedded at build time), so every accessor
// is a plain lookup that neither allocates nor copies, and any thread may read
// the bank at any time without a lock.
#pragma once

#include <cstdint>

// One row of the bank: `length` f32 samples in [-1, 1] starting at `samples`,
// the asset it was built from, and the frequency band it occupies in Hz.
struct SignalBankEntry {
    const float* samples;
    uint64_t length;
    const char* name;
    float bandLow;
    float bandHigh;
};

// Exactly 204 rows, in ascending case-insensitive order of name. A row's index
// is part of the pattern format.
extern const SignalBankEntry signalBank[204];

namespace tsr {
// The accessors check nothing: the caller guarantees index < signalBankCount()
// and, for signalSamples, offset < signalLength(index).
const float* signalSamples(uint64_t index, uint64_t offset);
uint64_t signalLength(uint64_t index);
float signalBandLow(uint64_t index);
float signalBandHigh(uint64_t index);
uint32_t signalBankSampleRate();
uint64_t signalBankCount();
}  // namespace tsr
