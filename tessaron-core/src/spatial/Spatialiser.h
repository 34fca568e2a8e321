// Keyframe spatialisation: spreads one effect's mono signal over the actuators.
// A sample's "spatKeyframes" give, at effect times, a set of vicinities or an
// explicit weight per actuator; the spatialiser holds the first keyframe before
// its time, interpolates the weights between neighbouring keyframes, and after
// the last one holds it or, with "repeatSpat", runs through the list again.
// Owned by value by its effect; rendering thread only, no locking.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tessaron-core/src/spatial/Layout.h"
#include "tessaron-core/src/spatial/SpatialMath.h"
#include "tessaron-core/src/spatial/SpatialProperties.h"
#include "tessaron-core/src/spatial/Vicinity.h"

namespace tsr {

// One keyframe: its vicinities and their cached weights (N x V) and the row
// maximum over them, recomputed only when something changed.
class SpatialKeyframe {
public:
    SpatialKeyframe(double timestamp, std::vector<std::shared_ptr<IVicinity>> vicinities);

    // Writes the keyframe's combined weights into column `column` of target
    // (rows 0..N-1); recompute forces every vicinity to be computed again.
    // A target that cannot hold them is refused with a log line.
    void computeWeights(const ILayout& layout, const SpatialProperties& props, Matrix& target,
                        std::size_t column, bool recompute);

    double timestamp() const { return timestamp_; }
    const std::vector<std::shared_ptr<IVicinity>>& vicinityList() const { return vicinityList_; }
    const Matrix& vicinityWeights() const { return vicinityWeights_; }
    const std::vector<double>& combined() const { return combined_; }
    bool isDirty() const { return dirty_; }
    void setDirty(bool dirty) { dirty_ = dirty; }

private:
    double timestamp_;
    std::vector<std::shared_ptr<IVicinity>> vicinityList_;
    Matrix vicinityWeights_;
    std::vector<double> combined_;
    bool dirty_ = true;
};

// Reads one item of "spatKeyframes". Throws the JSON library's exceptions on
// shapes that pattern validation rejects.
SpatialKeyframe readSpatialKeyframe(const nlohmann::json& item);
// Reads one item of "vicinities" into a sphere (orientation given w, x, y, z;
// "amplitude" in percent). Throws like readSpatialKeyframe.
std::shared_ptr<IVicinity> readVicinity(const nlohmann::json& item);

class Spatialiser {
public:
    // From a validated sample object ("spatKeyframes", "repeatSpat"). Throws
    // the JSON library's exceptions on shapes that validation rejects.
    explicit Spatialiser(const nlohmann::json& sample);
    Spatialiser(std::vector<SpatialKeyframe> keyframes, bool repeatSpat);

    // Back to the start of the list, every keyframe to be recomputed. Called
    // when the effect seeks, not when it merely repeats.
    void reset();

    // Fills actuatorWeights() for effect time t (content seconds since the
    // last seek) and adds s to every weight. Always 0. Without keyframes every
    // weight is s.
    int compute(const ILayout& layout, const SpatialProperties& props, double t, double s);

    const std::vector<double>& actuatorWeights() const { return actuatorWeights_; }
    const std::vector<SpatialKeyframe>& keyframes() const { return keyframes_; }
    int64_t cycle() const { return cycle_; }
    std::size_t index() const { return index_; }
    bool repeatSpat() const { return repeatSpat_; }
    bool isDirty() const { return dirty_; }

private:
    void evaluate(const ILayout& layout, const SpatialProperties& props, double t, bool recompute);
    void takeKeyframe(std::size_t k, const ILayout& layout, const SpatialProperties& props, bool recompute);

    std::vector<SpatialKeyframe> keyframes_;
    int64_t cycle_ = 0;
    Matrix pair_{20, 2};
    std::size_t index_ = 0;
    bool repeatSpat_ = false;
    std::vector<double> actuatorWeights_;
    bool dirty_ = true;
};

}  // namespace tsr
