#include "tessaron-core/src/spatial/Spatialiser.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

#include "tessaron-core/src/tsr/tsr_log.h"

namespace tsr {
namespace {
constexpr const char* kSource = "tessaron-core/src/spatial";

// Beyond this many passes a double time no longer places t within a pass.
constexpr double kMaxCycles = 1099511627776.0;  // 2^40

// Pattern numbers are single precision: read as float, then widened.
float readFloat(const nlohmann::json& value) {
    if (value.is_number_float()) return narrowToFloat(value.get<double>());
    return value.get<float>();
}

std::size_t actuatorCountOf(const ILayout& layout) {
    const int64_t n = layout.actuatorCount();
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}
}  // namespace

SpatialKeyframe::SpatialKeyframe(double timestamp, std::vector<std::shared_ptr<IVicinity>> vicinities)
    : timestamp_(timestamp), vicinityList_(std::move(vicinities)) {}

void SpatialKeyframe::computeWeights(const ILayout& layout, const SpatialProperties& props, Matrix& target,
                                     std::size_t column, bool recompute) {
    const std::size_t n = actuatorCountOf(layout);
    const std::size_t v = vicinityList_.size();
    if (column >= target.cols() || target.rows() < n) {
        tsr_log(4, kSource, __LINE__, "keyframe weights: column %zu of a %zux%zu matrix cannot hold %zu weights",
                column, target.rows(), target.cols(), n);
        return;
    }
    // A layout of another size makes every cached weight meaningless.
    const bool reshaped = vicinityWeights_.rows() != n || vicinityWeights_.cols() != v;
    vicinityWeights_.resize(n, v);
    combined_.resize(n, 0.0);

    bool any = false;
    for (std::size_t j = 0; j < v; ++j) {
        IVicinity* vicinity = vicinityList_[j].get();
        if (!vicinity) {
            std::fill(vicinityWeights_.column(j), vicinityWeights_.column(j) + n, 0.0);
            continue;
        }
        if (recompute || dirty_ || reshaped || vicinity->isDirty()) {
            vicinity->computeWeights(layout, props, vicinityWeights_, j);
            any = true;
        }
    }
    if (any || (v == 0 && (dirty_ || reshaped))) {
        for (std::size_t i = 0; i < n; ++i) {
            double best = v > 0 ? vicinityWeights_(i, 0) : 0.0;
            for (std::size_t j = 1; j < v; ++j) {
                if (vicinityWeights_(i, j) > best) best = vicinityWeights_(i, j);
            }
            combined_[i] = best;
        }
        dirty_ = false;
    }
    std::copy(combined_.begin(), combined_.end(), target.column(column));
}

std::shared_ptr<IVicinity> readVicinity(const nlohmann::json& item) {
    const auto& scale = item.at("scale");
    const auto& orientation = item.at("orientation");
    const auto& position = item.at("position");
    const Point s{readFloat(scale.at(0)), readFloat(scale.at(1)), readFloat(scale.at(2))};
    // The text gives w, x, y, z; quaternions are kept x, y, z, w.
    const Quaternion q{readFloat(orientation.at(1)), readFloat(orientation.at(2)), readFloat(orientation.at(3)),
                       readFloat(orientation.at(0))};
    const Point p{readFloat(position.at(0)), readFloat(position.at(1)), readFloat(position.at(2))};
    auto vicinity = makeVicinity(kVicinitySphere, p, q, s);
    vicinity->distributions().front()->setGain(readFloat(item.at("amplitude")) / 100.0f);
    return vicinity;
}

SpatialKeyframe readSpatialKeyframe(const nlohmann::json& item) {
    const double timestamp = readFloat(item.at("timestamp"));
    std::vector<std::shared_ptr<IVicinity>> vicinities;
    const auto weightsIt = item.find("weights");
    if (weightsIt != item.end() && weightsIt->is_array()) {
        // Percent per actuator, 50 -> 0.5.
        std::vector<double> weights;
        weights.reserve(weightsIt->size());
        for (const auto& w : *weightsIt) weights.push_back(readFloat(w) / 100.0f);
        auto vicinity = std::make_shared<VicinityWeights>(Point{}, kIdentityQuaternion, Point{});
        vicinity->setWeights(weights);
        vicinities.push_back(std::move(vicinity));
    } else {
        for (const auto& v : item.at("vicinities").get_ref<const nlohmann::json::array_t&>()) {
            vicinities.push_back(readVicinity(v));
        }
    }
    return SpatialKeyframe(timestamp, std::move(vicinities));
}

Spatialiser::Spatialiser(const nlohmann::json& sample) {
    for (const auto& item : sample.at("spatKeyframes").get_ref<const nlohmann::json::array_t&>()) {
        keyframes_.push_back(readSpatialKeyframe(item));
    }
    repeatSpat_ = sample.at("repeatSpat").get<bool>();
}

Spatialiser::Spatialiser(std::vector<SpatialKeyframe> keyframes, bool repeatSpat)
    : keyframes_(std::move(keyframes)), repeatSpat_(repeatSpat) {}

void Spatialiser::reset() {
    index_ = 0;
    cycle_ = 0;
    for (auto& k : keyframes_) k.setDirty(true);
}

int Spatialiser::compute(const ILayout& layout, const SpatialProperties& props, double t, double s) {
    const std::size_t n = actuatorCountOf(layout);
    if (actuatorWeights_.size() != n) actuatorWeights_.resize(n);
    const bool recompute = layout.changed() || props.isDirty() || dirty_;
    evaluate(layout, props, t, recompute);
    for (double& w : actuatorWeights_) w += s;
    dirty_ = false;
    return 0;
}

void Spatialiser::takeKeyframe(std::size_t k, const ILayout& layout, const SpatialProperties& props,
                               bool recompute) {
    keyframes_[k].computeWeights(layout, props, pair_, 0, recompute);
    std::copy(pair_.column(0), pair_.column(0) + actuatorWeights_.size(), actuatorWeights_.begin());
}

void Spatialiser::evaluate(const ILayout& layout, const SpatialProperties& props, double t, bool recompute) {
    const std::size_t n = actuatorWeights_.size();
    if (pair_.rows() != n) pair_.resize(n, 2);

    const std::size_t count = keyframes_.size();
    if (count == 0) {
        std::fill(actuatorWeights_.begin(), actuatorWeights_.end(), 0.0);
        return;
    }
    if (count == 1) return takeKeyframe(0, layout, props, recompute);
    if (index_ >= count) return takeKeyframe(count - 1, layout, props, recompute);

    const double passLength = keyframes_.back().timestamp();
    // A pass of no length (or no number) cannot be repeated.
    const bool cycling = repeatSpat_ && passLength > 0.0 && std::isfinite(passLength);
    while (t >= static_cast<double>(cycle_) * passLength + keyframes_[index_].timestamp()) {
        if (index_ < count - 1) {
            ++index_;
            continue;
        }
        if (!cycling) {
            index_ = count;
            return takeKeyframe(count - 1, layout, props, recompute);
        }
        const double passes = std::floor(t / passLength);
        if (!(passes < kMaxCycles)) {
            // Times this far out (or infinite) have no place within a pass.
            index_ = count;
            return takeKeyframe(count - 1, layout, props, recompute);
        }
        ++cycle_;
        index_ = 1;
        // Passes that t has certainly left behind are skipped in one step: the
        // walk below ends exactly where the pass-by-pass walk would.
        if (passes - 2.0 > static_cast<double>(cycle_)) cycle_ = static_cast<int64_t>(passes - 2.0);
    }
    if (index_ == 0) return takeKeyframe(0, layout, props, recompute);

    SpatialKeyframe& a = keyframes_[index_ - 1];
    SpatialKeyframe& b = keyframes_[index_];
    a.computeWeights(layout, props, pair_, 0, recompute);
    b.computeWeights(layout, props, pair_, 1, recompute);
    const double tsA = a.timestamp(), tsB = b.timestamp();
    if (!(tsB > tsA)) {
        std::copy(pair_.column(1), pair_.column(1) + n, actuatorWeights_.begin());
        return;
    }
    const double r = 1.0 / (tsB - tsA);
    const double tau = t - static_cast<double>(cycle_) * passLength;
    for (std::size_t i = 0; i < n; ++i) {
        actuatorWeights_[i] = (r * pair_(i, 1)) * (tau - tsA) + (r * pair_(i, 0)) * (tsB - tau);
    }
}

}  // namespace tsr
