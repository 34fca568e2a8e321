// The shared phases of synchronised signal generators: one entry per content
// and output rate, process-wide, kept until the library unloads.
//
// Generators marked synchronised that play the same cropped waveform at the
// same output rate read and move one common phase here, whatever each
// effect's start time. Entries are never removed; an entry idle for more than
// one engine tick is re-anchored on the next generator that renders it.
//
// Threads: every function takes the table's own mutex, so engines rendering
// on different threads may share it. The lock is held only for a hash-map
// lookup (and an insertion the first time a key is seen); no callback runs
// under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tsr {

struct SignalSyncState {
    uint32_t tick = 0;      // engine tick at which position was last set
    double position = 0.0;  // content time at the start of that tick's buffer (may be negative)
    double advance = 0.0;   // largest per-generator production within tick
    double period = 0.0;    // content duration; the phase wraps at it
};

// 64-bit FNV-1a over the little-endian bytes of rate, with -0.0 hashed as +0.0.
uint64_t rateHash(double rate);

// (contentKey * 2, wrapping) XOR rateHash(outputRate).
uint64_t syncKey(uint64_t contentKey, double outputRate);

// The first render call of a synchronised generator in engine tick `tick`.
// time is the generator's own content time, offset its start within the
// engine buffer in content seconds, period its content duration. Creates or
// updates the key's entry; returns the phase (without the offset) to which
// the generator must move, or nothing when it stays where it is and anchors
// the phase itself.
std::optional<double> signalSyncFirstCall(uint64_t key, uint32_t tick, double time, double offset,
                                          double period);

// Keeps the largest advance reached by one generator of the key in the
// current tick; does nothing when the key has no entry.
void signalSyncRecordAdvance(uint64_t key, double advance);

// Copies the key's entry into out; false when there is none.
bool signalSyncLookup(uint64_t key, SignalSyncState& out);

std::size_t signalSyncTableSize();

// Test-only: empties the table so that tests in one process stay independent.
void clearSignalSyncTableForTesting();

}  // namespace tsr
