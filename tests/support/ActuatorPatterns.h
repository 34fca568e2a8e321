// Patterns for tests of the streaming back-end over the real engine: one
// sample of the signal bank under a single narrow vicinity placed on one
// actuator, so that the rendered signal lands on that actuator alone.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "tessaron-core/src/spatial/Layout.h"

namespace vbz_test {

// seconds: length of the pattern; endless: the sample repeats without end.
inline std::string actuatorPattern(const tsr::ILayout& layout, int actuator, double seconds = 0.3,
                                   bool endless = false, int patternBoost = 0) {
    const auto& pos = layout.positions();
    const nlohmann::json vicinity = {{"position", {pos(0, actuator), pos(1, actuator), pos(2, actuator)}},
                                     {"orientation", {1, 0, 0, 0}},
                                     {"scale", {0.02, 0.02, 0.02}},
                                     {"amplitude", 100}};
    const nlohmann::json sample = {
        {"maxDuration", 0},     {"postDelay", 0},          {"preDelay", 0},
        {"repeatCount", endless ? 0 : 1},                  {"repeatSpat", true},
        {"signalIndex", 12},    {"spatKeyframes", {{{"timestamp", 0}, {"vicinities", {vicinity}}}}},
        {"speed", 1},           {"startCrop", 0.1},        {"stopCrop", 0.1 + seconds},
        {"timestamp", 0},
        {"volumeKeyframes", {{{"timestamp", 0}, {"volume", 100}}}}};
    return nlohmann::json{{"duration", seconds},
                          {"patternBoost", patternBoost},
                          {"tracks", {{{"volume", 100}, {"samples", {sample}}}}}}
        .dump();
}

}  // namespace vbz_test
