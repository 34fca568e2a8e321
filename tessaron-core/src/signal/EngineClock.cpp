#include "tessaron-core/src/signal/EngineClock.h"

#include <atomic>

namespace tsr {
namespace {
std::atomic<uint32_t> tick{0};
}  // namespace

void advanceEngineClock(double /*seconds*/) {
    // Only the count of rendered buffers matters to the generators.
    tick.fetch_add(1, std::memory_order_relaxed);
}

uint32_t engineTick() { return tick.load(std::memory_order_relaxed); }

void resetEngineClockForTesting(uint32_t value) { tick.store(value, std::memory_order_relaxed); }

}  // namespace tsr
