// A reproducible fault-mix run of the legacy back-end against the emulated
// vest on the in-process USB bus: random effects are played for a while
// (patterns, plays and fault switches all drawn from one seed, the plays
// independently of the faults, so that a run with and without faults plays
// the same effects), while the board now and then swallows a host frame,
// answers every command twice, holds its expiry statuses back until the
// next play's answer, or sends none. At the end it tells how many samples
// fell due and how many the board played, what the host resent and stopped,
// whether the link held, and which slots the board and the host still hold
// once everything has had time to end.
//
// A measuring tool (vbz-sequencer-faults) and the base of a short test; it
// runs in real time.
//
// Threads: runFaultMix runs on the caller's thread and starts the back-end's
// own; it must not run twice at once in one process (the USB bus and the log
// sink are process-wide).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "sequencer/HandlerCommands.h"

namespace vbz::tools {

// Which faults a run switches: all four now and then, none (the same plays
// on a board without fault), or one of them for the whole run (swallowed
// frames: one now and then).
enum class FaultSet { Mix, None, Twice, LateStatus, NoExpiryStatus, Swallow };

// The name of a set as the tool takes it (mix, none, twice, late, no-expiry,
// swallow); false when there is none of that name.
bool faultSetFromName(const std::string& name, FaultSet& set);
const char* faultSetName(FaultSet set);

// How the plays come: an effect every 0.1 to 0.8 s (sparse), every 0.03 to
// 0.3 s (dense: the board's 20 slots run full), or effects of one sample of
// 0.03 to 0.15 s every 0.02 to 0.12 s (short: the board gives one slot to
// one play after another). Pattern 0 is the same in all three.
enum class PlayDensity { Sparse, Dense, Short };

// The name of a density as the tool takes it (sparse, dense, short); false
// when there is none of that name.
bool playDensityFromName(const std::string& name, PlayDensity& density);

struct FaultMixOptions {
    uint32_t seed = 1;
    double seconds = 120.0;  // of plays
    FaultSet faults = FaultSet::Mix;
    PlayDensity density = PlayDensity::Sparse;
    vbz::seq::SequencerTiming timing{};
    // Seconds from the end of the plays to the first look at what is held
    // (the longest pattern has ended by then), and from the faults being
    // cleared to the second.
    double settleSeconds = 6.0;
    double clearedSeconds = 4.0;
    // Writes to stderr, at the end, the signals played more or fewer times
    // than they fell due and the error lines by text.
    bool verbose = false;
};

struct FaultMixReport {
    long plays = 0;            // playEffect calls
    long refused = 0;          // of which refused by the back-end
    long samplesDue = 0;       // samples of the accepted plays
    long boardPlays = 0;       // plays the board took on a slot
    long missing = 0;          // due samples the board never played, by signal
    long extra = 0;            // board plays beyond the due samples, by signal
    long resends = 0;          // commands written again after a time-out
    long stopSlots = 0;        // StopSlot frames the board received
    long disconnections = 0;   // connection ends reported while playing
    long faultSwitches = 0;
    long violations = 0;       // host frames the vest found out of turn or malformed
    long errorLines = 0;
    bool connectedAtEnd = false;
    // Once the plays had time to end, faults as they were last switched...
    uint32_t boardReservedIdle = 0;
    uint32_t hostRegisteredIdle = 0;
    // ... and again after the faults were cleared.
    uint32_t boardReservedCleared = 0;
    uint32_t hostRegisteredCleared = 0;

    double ratio() const { return samplesDue > 0 ? static_cast<double>(boardPlays) / samplesDue : 0.0; }
    std::string text() const;
};

FaultMixReport runFaultMix(const FaultMixOptions& options);

}  // namespace vbz::tools
