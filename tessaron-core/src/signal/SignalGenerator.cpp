#include "tessaron-core/src/signal/SignalGenerator.h"

#include <optional>

#include "tessaron-core/src/signal/EngineClock.h"
#include "tessaron-core/src/signal/SignalSyncTable.h"
#include "tessaron-core/src/tsr/time_utils.h"

namespace tsr {

// One tick behind the clock, so the first render always opens a tick.
ISignalGenerator::ISignalGenerator() : lastTick_(engineTick() - 1u) {}

void ISignalGenerator::setTime(double t) {
    time_ = t > 0.0 ? t : 0.0;
    reset();
}

uint64_t ISignalGenerator::render(double outputRate, float gain, std::vector<float>& out,
                                  double offsetTime) {
    const uint32_t now = engineTick();
    const bool firstOfTick = now != lastTick_;
    if (firstOfTick) {
        lastTick_ = now;
        advance_ = 0.0;
    }
    uint64_t key = 0;
    if (synchronized_) {
        key = syncKey(contentKey(), outputRate);
        if (firstOfTick) {
            const std::optional<double> phase =
                signalSyncFirstCall(key, now, time_, offsetTime, duration());
            if (phase) {
                time_ = *phase + offsetTime;
                reset();
            }
        }
    }
    const uint64_t n = generate(outputRate, gain, out);
    // A refused rate (0, negative, NaN) produces nothing; 0 / 0 must not turn
    // the time into NaN.
    const double produced = n > 0 ? samplesToSeconds(outputRate, n) : 0.0;
    time_ += produced;
    advance_ += produced;
    if (synchronized_) signalSyncRecordAdvance(key, advance_);
    return n;
}

}  // namespace tsr
