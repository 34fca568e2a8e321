// One sample of a track with its silences and repetitions: a repetition
// manager of its effect in pattern time. Owned by value by its track.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "tessaron-core/src/model/Effect.h"
#include "tessaron-core/src/model/RepeatMgr.h"

namespace tsr {

class RepeatedEffect : public IBufferFiller {
public:
    // prevEnd: where the previous sample of the track ends (timestamp +
    // maxDuration), 0 for the first one.
    RepeatedEffect(const nlohmann::json& sample, double prevEnd);

    void reset(double t) override { manager_.reset(t); }
    double duration() override { return manager_.duration(); }
    std::size_t render(double rate, double volume, double speed, double gain, FadeOut& fade,
                       const std::shared_ptr<ILayout>& layout, SpatialProperties& props, ActuatorBuffers& buffers,
                       std::size_t offset, std::size_t count) override {
        return manager_.render(rate, volume, speed, gain, fade, layout, props, buffers, offset, count);
    }

    const RepeatMgr<Effect>& manager() const { return manager_; }

private:
    RepeatMgr<Effect> manager_;
};

}  // namespace tsr
