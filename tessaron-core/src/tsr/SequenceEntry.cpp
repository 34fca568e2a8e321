#include "tessaron-core/src/tsr/SequenceEntry.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tessaron-core/src/tsr/engine_codes.h"
#include "tessaron-core/src/tsr/time_utils.h"

namespace tsr {

SequenceEntry::SequenceEntry(uint32_t pattern, bool autoDel, const PatternEntry& entry)
    : patternId(pattern),
      autoDelete(autoDel),
      boost(entry.boost),
      repeat(std::make_unique<TrackList>(entry.root.at("tracks")), 1) {}

int SequenceEntry::play(double playAt, double latency) {
    if (!(playAt >= 0.0) || !(latency >= 0.0)) return kErrorInvalidArgument;
    if (playing) return kErrorAlreadyPlaying;
    startDelay = latency;
    repeat.reset(playAt);
    playing = true;
    fade.start(0.0);
    started = true;
    return 0;
}

int SequenceEntry::stop(double step) {
    if (step < 0.0) return kErrorInvalidArgument;
    if (step > 0.0 && playing) {
        if (fade.isActive()) fade.setStep(step);
        else fade.start(step);
    } else {
        playing = false;
    }
    return 0;
}

int SequenceEntry::state() const {
    if (!playing) return 3;
    return fade.isActive() ? 2 : 1;
}

void SequenceEntry::render(double rate, double globalBoost, const std::shared_ptr<ILayout>& layout,
                           ActuatorBuffers& buffers) {
    if (!playing || buffers.empty()) return;
    const std::size_t n = buffers[0].size();
    const double v = mute ? 0.0 : volume;

    std::size_t offset = 0;
    if (startDelay > 0.0) {
        const std::size_t k = static_cast<std::size_t>(std::min<uint64_t>(secondsToSamples(startDelay, rate), n));
        if (k == 0) {
            startDelay = 0.0;
        } else {
            offset = k;
            startDelay -= samplesToSeconds(rate, k);
        }
    }

    // A NaN sum counts as no boost.
    const double sum = globalBoost + boost;
    const double gain = sum > 1.0 ? 1.0 : (sum > 0.0 ? sum : 0.0);

    const std::size_t pos = repeat.render(rate, v, speed, gain, fade, layout, properties, buffers, offset, n - offset);
    fade.advance(pos);
    properties.setDirty(false);
    if (pos < n) playing = false;
}

}  // namespace tsr
