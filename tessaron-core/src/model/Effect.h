// The sound of one pattern sample: a playback generator reading a waveform of
// the signal bank, the sample's volume envelope, and a keyframe spatialiser
// that spreads the mono signal over the actuators. Owned by the repetition
// manager of its sample; used only under the engine's caller lock.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <vector>

#include "tessaron-core/src/model/IBufferFiller.h"
#include "tessaron-core/src/model/VolumeEnvelope.h"
#include "tessaron-core/src/signal/PlaybackGenerator.h"
#include "tessaron-core/src/spatial/Spatialiser.h"

namespace tsr {

class Effect : public IBufferFiller {
public:
    // From a validated sample object; the JSON library's type errors leave the
    // constructor for shapes that validation rejects.
    explicit Effect(const nlohmann::json& sample);

    // The generator's: content seconds of the cropped waveform, the sample's
    // own speed not applied.
    double duration() override;
    // Seeks the generator and the keyframes to t.
    void reset(double t) override;
    // A new repetition: the envelope and the keyframes go on where they were.
    void resetToStart() override;
    std::size_t render(double rate, double volume, double speed, double gain, FadeOut& fade,
                       const std::shared_ptr<ILayout>& layout, SpatialProperties& props, ActuatorBuffers& buffers,
                       std::size_t offset, std::size_t count) override;

    const VolumeEnvelope& envelope() const { return envelope_; }
    double speed() const { return speed_; }
    double elapsedBefore() const { return elapsedBefore_; }
    const PlaybackGenerator& generator() const { return generator_; }

private:
    std::vector<float> workBuffer_;
    // The accumulators and weights of the actuators this block reaches
    // (non-zero weight), sized once to the actuator count.
    std::vector<double*> mixTargets_;
    std::vector<double> mixWeights_;
    double speed_ = 1.0;
    VolumeEnvelope envelope_;
    double elapsedBefore_ = 0.0;
    PlaybackGenerator generator_;
    Spatialiser spatialiser_;
};

}  // namespace tsr
