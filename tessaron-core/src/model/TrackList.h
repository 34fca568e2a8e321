// Every track of a pattern, played in parallel. Owned by the repetition
// manager of its sequence.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <vector>

#include "tessaron-core/src/model/Track.h"

namespace tsr {

class TrackList : public IBufferFiller {
public:
    // From the validated "tracks" array of a pattern.
    explicit TrackList(const nlohmann::json& tracks);

    // The longest track's duration; -1 when one is endless, else 0 when one is unbounded.
    double duration() override;
    void reset(double t) override;
    // Every track from the same offset; the furthest position reached.
    std::size_t render(double rate, double volume, double speed, double gain, FadeOut& fade,
                       const std::shared_ptr<ILayout>& layout, SpatialProperties& props, ActuatorBuffers& buffers,
                       std::size_t offset, std::size_t count) override;

    const std::vector<Track>& tracks() const { return tracks_; }

private:
    std::vector<Track> tracks_;
};

}  // namespace tsr
