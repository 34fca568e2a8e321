// The node interface of a pattern's object model. A sequence plays its
// pattern through a tree of fillers (repetition managers, track list, tracks,
// effects): each can seek to a time, tell its duration and add its samples
// into the actuator buffers. Owned by its parent node; used only under the
// engine's caller lock.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "tessaron-core/src/model/FadeOut.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "tessaron-core/src/spatial/SpatialProperties.h"

namespace tsr {

// One buffer of double samples per actuator, all of the same length.
using ActuatorBuffers = std::vector<std::vector<double>>;

// Durations: -1.0 endless, 0.0 unbounded (repeats without end and without
// cut-off), otherwise the length in seconds.
constexpr double kEndless = -1.0;
constexpr double kUnbounded = 0.0;

class IBufferFiller {
public:
    virtual ~IBufferFiller() = default;

    // Seeks so that the next render starts at time t (seconds from the node's start).
    virtual void reset(double t) = 0;
    // Seeks to the start.
    virtual void resetToStart() { reset(0.0); }
    virtual double duration() = 0;
    // Adds the node's samples into buffers[ch][offset ..] and returns where it
    // stopped: below offset + count when the node has finished, offset + count
    // when it may go on at the next call. rate is the output rate in the node's
    // time base, speed a factor still to apply, gain the sequence's clamped boost.
    virtual std::size_t render(double rate, double volume, double speed, double gain, FadeOut& fade,
                               const std::shared_ptr<ILayout>& layout, SpatialProperties& props,
                               ActuatorBuffers& buffers, std::size_t offset, std::size_t count) = 0;
};

}  // namespace tsr
