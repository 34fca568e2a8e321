// The process-wide engine clock: a tick counter that every engine's render
// step advances once per rendered buffer. Synchronised signal generators read
// it to tell when a new engine buffer has begun.
//
// Threads: any thread; the tick is atomic, so two engines rendering on two
// threads both count without a data race.
#pragma once

#include <cstdint>

namespace tsr {

// Called by a render step once after every buffer it renders (not while
// paused); seconds is the buffer's duration. Increments the tick, which
// wraps from 4294967295 to 0.
void advanceEngineClock(double seconds);

uint32_t engineTick();

// Test-only: puts the tick at the given value so that tests in one process
// stay independent of each other.
void resetEngineClockForTesting(uint32_t tick = 0);

}  // namespace tsr
