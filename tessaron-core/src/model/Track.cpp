#include "tessaron-core/src/model/Track.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace tsr {

Track::Track(const nlohmann::json& track) {
    volume_ = track.at("volume").get<double>() / 100.0;
    const auto& samples = track.at("samples").get_ref<const nlohmann::json::array_t&>();
    effects_.reserve(samples.size());
    double prevEnd = 0.0;
    for (const auto& sample : samples) {
        effects_.emplace_back(sample, prevEnd);
        prevEnd = sample.at("timestamp").get<double>() + sample.at("maxDuration").get<double>();
    }
}

double Track::duration() {
    double sum = 0.0;
    bool unbounded = false;
    for (auto& effect : effects_) {
        const double d = effect.duration();
        if (d == kEndless) return kEndless;
        if (d == 0.0) unbounded = true;
        sum += d;
    }
    return unbounded ? kUnbounded : sum;
}

void Track::reset(double t) {
    current_ = 0;
    if (!(t > 0.0)) t = 0.0;
    double acc = 0.0;
    for (auto& effect : effects_) {
        const double d = effect.duration();
        if (d == kEndless) {
            effect.reset(0.0);
            return;
        }
        if (d == 0.0 || t < acc + d) {
            effect.reset(t - acc);
            return;
        }
        ++current_;
        acc += d;
    }
}

std::size_t Track::render(double rate, double volume, double speed, double gain, FadeOut& fade,
                          const std::shared_ptr<ILayout>& layout, SpatialProperties& props, ActuatorBuffers& buffers,
                          std::size_t offset, std::size_t count) {
    std::size_t pos = offset;
    const std::size_t end = offset + count;
    while (current_ < effects_.size()) {
        const std::size_t next = effects_[current_].render(rate, volume * volume_, speed, gain, fade, layout, props,
                                                            buffers, pos, end - pos);
        if (next >= end) return next;
        ++current_;
        if (current_ < effects_.size()) effects_[current_].reset(0.0);
        pos = next;
    }
    return pos;
}

}  // namespace tsr
