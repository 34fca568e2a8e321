// Repetition of one node of the object model: a start offset, a delay between
// repetitions, a repetition count and a cut-off. A sequence repeats its track
// list (times in real seconds); a track repeats each of its samples (times in
// pattern seconds, stretched by the sequence speed). Owns its filler; used
// only under the engine's caller lock.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>

#include "tessaron-core/src/model/IBufferFiller.h"
#include "tessaron-core/src/model/Saturate.h"
#include "tessaron-core/src/tsr/time_utils.h"

namespace tsr {

template <class T>
class RepeatMgr : public IBufferFiller {
public:
    double startOffset = 0.0;
    double repeatDelay = 0.0;
    // 0: endless.
    uint32_t repeatCount = 1;
    // Cut-off measured from the node's start; 0: none.
    double maxDuration = 0.0;
    std::unique_ptr<T> filler;
    // 1: times are real seconds; 0: pattern seconds, scaled by the speed.
    uint32_t realTime = 0;
    uint32_t repetition = 0;
    double wait = 0.0;
    double time = 0.0;
    uint32_t stallCount = 0;

    RepeatMgr() = default;
    RepeatMgr(std::unique_ptr<T> f, uint32_t isRealTime) : filler(std::move(f)), realTime(isRealTime) {}

    double duration() override {
        const double d = filler->duration();
        if (d == kEndless) return kEndless;
        if (repeatCount == 0 || d == 0.0) return maxDuration;
        const double total =
            (repeatDelay + d) * static_cast<double>(repeatCount) - repeatDelay + startOffset;
        return maxDuration != 0.0 ? std::min(total, maxDuration) : total;
    }

    void reset(double t) override {
        const double d = filler->duration();
        stallCount = 0;
        if (d == kEndless || !(t >= 0.0)) {
            filler->reset(0.0);
            repetition = 0;
            wait = startOffset;
            time = 0.0;
            return;
        }
        const double u = t - startOffset + repeatDelay;
        const double period = repeatDelay + d;
        if (u < 0.0) {
            filler->reset(0.0);
            repetition = 0;
            wait = startOffset - t;
        } else if (!(period > 0.0)) {
            // An unbounded or empty filler without delay restarts from its start.
            repetition = 0;
            wait = 0.0;
            filler->reset(0.0);
        } else {
            repetition = saturateToU32(u / period);
            const double r = std::fmod(u, period);
            if (r < repeatDelay) {
                wait = repeatDelay - r;
                filler->reset(0.0);
            } else {
                wait = 0.0;
                filler->reset(r - repeatDelay);
            }
        }
        time = t;
    }

    std::size_t render(double rate, double volume, double speed, double gain, FadeOut& fade,
                       const std::shared_ptr<ILayout>& layout, SpatialProperties& props, ActuatorBuffers& buffers,
                       std::size_t offset, std::size_t count) override {
        if (realTime == 0) {
            rate = rate / speed;
            speed = 1.0;
        }
        std::size_t end = offset + count;
        if (maxDuration != 0.0) {
            end = std::min(end, addSaturating(offset, secondsToSamples(maxDuration - time, rate)));
        }
        if (fade.isActive()) end = static_cast<std::size_t>(std::min<uint64_t>(end, fade.samplesLeft()));

        std::size_t pos = offset;
        // A pass that starts the filler afresh and moves nothing (no delay
        // sample, no content) will do the same on every later pass: the
        // remaining repetitions are skipped rather than spun through.
        bool passFromStart = false;
        std::size_t passStart = pos;
        while (offset < end && (repeatCount == 0 || repetition < repeatCount)) {
            if (wait > 0.0) {
                const std::size_t k =
                    static_cast<std::size_t>(std::min<uint64_t>(secondsToSamples(wait, rate), end - pos));
                if (k == 0) {
                    wait = 0.0;
                } else {
                    pos += k;
                    wait -= samplesToSeconds(rate, k);
                }
            }
            const std::size_t next =
                filler->render(rate, volume, speed, gain, fade, layout, props, buffers, pos, end - pos);
            if (next == pos) {
                if (stallCount < UINT32_MAX) ++stallCount;
                if (stallCount >= 2 && repeatCount == 0) {
                    pos = end;
                    break;
                }
                if (passFromStart && pos == passStart && repeatCount != 0) {
                    repetition = repeatCount;
                    break;
                }
            } else {
                stallCount = 0;
            }
            pos = next;
            if (pos >= end) break;
            filler->resetToStart();
            if (repetition < UINT32_MAX) ++repetition;
            wait = repeatDelay;
            passFromStart = true;
            passStart = pos;
        }
        time += samplesToSeconds(rate, pos - offset);
        return pos;
    }
};

}  // namespace tsr
