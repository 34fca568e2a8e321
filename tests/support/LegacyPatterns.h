// Pattern texts for tests of the legacy back-end's pattern model: samples
// with weight or vicinity keyframes, built field by field so that each test
// changes only what it looks at.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vbz_test {

using nlohmann::json;

// A weights keyframe; weights default to all 20 actuators at 0.
inline json weightKey(json timestamp, std::vector<json> weights = std::vector<json>(20, 0)) {
    return json{{"timestamp", timestamp}, {"weights", weights}};
}

inline json vicinity(std::vector<double> position, double amplitude, std::vector<double> scale = {1, 1, 1},
                     std::vector<double> orientation = {1, 0, 0, 0}) {
    return json{{"position", position}, {"orientation", orientation}, {"scale", scale}, {"amplitude", amplitude}};
}

inline json vicinityKey(json timestamp, std::vector<json> vicinities) {
    return json{{"timestamp", timestamp}, {"vicinities", vicinities}};
}

inline json volumeKey(json timestamp, json volume) { return json{{"timestamp", timestamp}, {"volume", volume}}; }

// A sample at timestamp with one all-zero weights keyframe and no volume key.
inline json sampleAt(json timestamp, json maxDuration = 1) {
    return json{{"maxDuration", maxDuration}, {"postDelay", 0},   {"preDelay", 0},
                {"repeatCount", 1},           {"repeatSpat", false}, {"signalIndex", 12},
                {"spatKeyframes", json::array({weightKey(0)})},   {"speed", 1},
                {"startCrop", 0},             {"stopCrop", 0},    {"timestamp", timestamp},
                {"volumeKeyframes", json::array()}};
}

inline json trackOf(std::vector<json> samples, json volume = 100) {
    return json{{"volume", volume}, {"samples", samples}};
}

inline json patternOf(std::vector<json> tracks, json duration = 2.0) {
    return json{{"duration", duration}, {"tracks", tracks}};
}

// One track with one sample.
inline std::string singleSamplePattern(const json& sample, json trackVolume = 100) {
    return patternOf({trackOf({sample}, trackVolume)}).dump();
}

}  // namespace vbz_test
