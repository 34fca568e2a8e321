// One playing instance of a loaded pattern: its own object model, its play
// state, start delay and fade-out, and its per-play settings. The value type
// of the engine's sequence table; used only under the engine's caller lock.
#pragma once

#include <cstdint>
#include <memory>

#include "tessaron-core/src/model/FadeOut.h"
#include "tessaron-core/src/model/RepeatMgr.h"
#include "tessaron-core/src/model/TrackList.h"
#include "tessaron-core/src/pattern/PatternLoader.h"
#include "tessaron-core/src/spatial/SpatialProperties.h"

namespace tsr {

class SequenceEntry {
public:
    // Builds the object model from the pattern's stored tree; the entry does
    // not refer to the pattern afterwards. The JSON library's type errors leave
    // the constructor for a tree that validation would have refused.
    SequenceEntry(uint32_t patternId, bool autoDelete, const PatternEntry& pattern);

    // -100 for a negative (or NaN) time, -93 while playing; else seeks to
    // playAt, starts after latency seconds at the next render, and returns 0.
    int play(double playAt, double latency);
    // step: fade level decrement per sample. A positive step while playing
    // starts the fade (or re-aims a running one); 0, or any step when not
    // playing, stops at once. -100 for a negative step.
    int stop(double step);
    bool isFinished() const { return autoDelete && started && !playing; }
    // 1 playing, 2 fading out, 3 not playing.
    int state() const;

    // Adds this sequence into buffers (all of the same length).
    void render(double rate, double globalBoost, const std::shared_ptr<ILayout>& layout, ActuatorBuffers& buffers);

    uint32_t patternId;
    bool autoDelete;
    bool started = false;
    bool playing = false;
    FadeOut fade;
    double startDelay = 0.0;
    bool mute = false;
    double volume = 1.0;
    double speed = 1.0;
    double boost = 0.0;
    SpatialProperties properties;
    RepeatMgr<TrackList> repeat;
};

}  // namespace tsr
