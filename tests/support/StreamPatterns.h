// A pattern that sounds without end on the vest: one repeated sample of the
// bank with a volume envelope and four keyframes of vicinities moving round
// the actuators. For streaming tests and benchmarks over the real engine.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "tessaron-core/src/spatial/Layout.h"

namespace vbz_test {

inline std::string endlessPattern(const tsr::ILayout& layout) {
    const auto& pos = layout.positions();
    nlohmann::json keyframes = nlohmann::json::array();
    const int actuators[4] = {0, 6, 13, 19};
    for (int k = 0; k < 4; ++k) {
        const int a = actuators[k];
        keyframes.push_back({{"timestamp", 0.25 * k},
                             {"vicinities",
                              {{{"position", {pos(0, a), pos(1, a), pos(2, a)}},
                                {"orientation", {1, 0, 0, 0}},
                                {"scale", {0.12, 0.12, 0.12}},
                                {"amplitude", 100}}}}});
    }
    const nlohmann::json sample = {
        {"maxDuration", 0},   {"postDelay", 0.05}, {"preDelay", 0},
        {"repeatCount", 0},   {"repeatSpat", true}, {"signalIndex", 12},
        {"spatKeyframes", keyframes},
        {"speed", 1},         {"startCrop", 0.1},  {"stopCrop", 1.1},
        {"timestamp", 0},
        {"volumeKeyframes",
         {{{"timestamp", 0}, {"volume", 40}}, {{"timestamp", 0.5}, {"volume", 100}}}}};
    return nlohmann::json{{"duration", 1.15}, {"tracks", {{{"volume", 80}, {"samples", {sample}}}}}}
        .dump();
}

}  // namespace vbz_test
