#include "tessaron-core/src/model/Effect.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tessaron-core/src/render/RenderKernels.h"
#include "tessaron-core/src/tsr/time_utils.h"

namespace tsr {
namespace {
VolumeEnvelope readEnvelope(const nlohmann::json& sample) {
    VolumeEnvelope envelope;
    const auto& keys = sample.at("volumeKeyframes").get_ref<const nlohmann::json::array_t&>();
    if (keys.empty()) {
        envelope.addPoint(0.0, 1.0);
        return envelope;
    }
    // Keys out of order are dropped, as validation would have refused them.
    for (const auto& key : keys) {
        envelope.addPoint(key.at("timestamp").get<double>(), key.at("volume").get<double>() / 100.0);
    }
    return envelope;
}
}  // namespace

Effect::Effect(const nlohmann::json& sample)
    : envelope_(readEnvelope(sample)), generator_(sample), spatialiser_(sample) {
    speed_ = sample.at("speed").get<double>();
}

double Effect::duration() { return generator_.duration(); }

void Effect::reset(double t) {
    generator_.setTime(t);
    spatialiser_.reset();
    elapsedBefore_ = 0.0;
}

void Effect::resetToStart() {
    elapsedBefore_ += generator_.time();
    generator_.setTime(0.0);
}

std::size_t Effect::render(double rate, double volume, double speed, double gain, FadeOut& fade,
                           const std::shared_ptr<ILayout>& layout, SpatialProperties& props, ActuatorBuffers& buffers,
                           std::size_t offset, std::size_t count) {
    if (fade.isActive()) {
        const uint64_t left = fade.samplesLeft();
        count = left < offset ? 0 : static_cast<std::size_t>(std::min<uint64_t>(count, left - offset));
    }
    // Within its capacity once the buffer size has been reached: no allocation.
    workBuffer_.resize(count);

    const double r = rate / (speed * speed_);
    const double t = generator_.time() + elapsedBefore_;
    const double dt = 1.0 / r;
    const double st = samplesToSeconds(r, offset);
    // The volume goes in with the envelope, in one pass.
    const std::size_t n =
        static_cast<std::size_t>(std::min<uint64_t>(generator_.render(r, 1.0f, workBuffer_, st), count));

    envelope_.applyWithGain(t, dt, static_cast<float>(volume), workBuffer_.data(), n);
    fade.apply(offset, workBuffer_.data(), n);

    const float e = envelope_.valueAt(t);
    if (layout) spatialiser_.compute(*layout, props, t, static_cast<double>(e) * gain);
    const std::vector<double>& weights = spatialiser_.actuatorWeights();

    // Only the actuators that this effect reaches: on a vest a sound is felt
    // on a few of them, and the others would only add zeros (or, for samples
    // made infinite by an infinite volume, NaN that silenced the actuator for
    // every other sequence too).
    const std::size_t channels = std::min(buffers.size(), weights.size());
    if (mixTargets_.size() < channels) {
        mixTargets_.resize(channels);
        mixWeights_.resize(channels);
    }
    std::size_t reached = 0;
    for (std::size_t ch = 0; ch < channels; ++ch) {
        std::vector<double>& out = buffers[ch];
        if (weights[ch] == 0.0 || out.size() < offset + n) continue;
        mixTargets_[reached] = out.data() + offset;
        mixWeights_[reached] = weights[ch];
        ++reached;
    }
    if (reached > 0 && n > 0) {
        renderKernels().mix(mixTargets_.data(), mixWeights_.data(), reached, workBuffer_.data(), n);
    }
    return offset + n;
}

}  // namespace tsr
