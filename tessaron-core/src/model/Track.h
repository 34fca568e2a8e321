// The samples of one pattern track, played one after another. Owned by value
// by its track list.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <vector>

#include "tessaron-core/src/model/RepeatedEffect.h"

namespace tsr {

class Track : public IBufferFiller {
public:
    // From a validated track object ("volume" in percent, "samples").
    explicit Track(const nlohmann::json& track);

    // The sum of the effects' durations; -1 when one is endless, else 0 when
    // one is unbounded.
    double duration() override;
    void reset(double t) override;
    std::size_t render(double rate, double volume, double speed, double gain, FadeOut& fade,
                       const std::shared_ptr<ILayout>& layout, SpatialProperties& props, ActuatorBuffers& buffers,
                       std::size_t offset, std::size_t count) override;

    double volume() const { return volume_; }
    uint64_t current() const { return current_; }
    const std::vector<RepeatedEffect>& effects() const { return effects_; }

private:
    double volume_ = 1.0;
    uint64_t current_ = 0;
    std::vector<RepeatedEffect> effects_;
};

}  // namespace tsr
