#include "tessaron-core/src/model/TrackList.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace tsr {

TrackList::TrackList(const nlohmann::json& tracks) {
    const auto& items = tracks.get_ref<const nlohmann::json::array_t&>();
    tracks_.reserve(items.size());
    for (const auto& track : items) tracks_.emplace_back(track);
}

double TrackList::duration() {
    double longest = 0.0;
    bool unbounded = false;
    for (auto& track : tracks_) {
        const double d = track.duration();
        if (d == kEndless) return kEndless;
        if (d == 0.0) unbounded = true;
        longest = std::max(longest, d);
    }
    return unbounded ? kUnbounded : longest;
}

void TrackList::reset(double t) {
    for (auto& track : tracks_) track.reset(t);
}

std::size_t TrackList::render(double rate, double volume, double speed, double gain, FadeOut& fade,
                              const std::shared_ptr<ILayout>& layout, SpatialProperties& props,
                              ActuatorBuffers& buffers, std::size_t offset, std::size_t count) {
    std::size_t furthest = 0;
    for (auto& track : tracks_) {
        furthest = std::max(furthest, track.render(rate, volume, speed, gain, fade, layout, props, buffers, offset,
                                                   count));
    }
    return furthest;
}

}  // namespace tsr
