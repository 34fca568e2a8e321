// Shared helpers of the engine tests: pattern texts built from a few knobs,
// and a recorder of the engine log channel.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "tessaron-core/src/signal/SignalBank.h"
#include "tessaron-core/src/tsr/tsr_log.h"

namespace engine_test {

// A long bank row (more than 8 s at 8000 Hz) whose samples the tests compare with.
constexpr uint64_t kRow = 3;

inline double bankSample(uint64_t row, uint64_t i) {
    return static_cast<double>(*tsr::signalSamples(row, i));
}

// A weights keyframe at t: weight `percent` on actuator `actuator`, 0 on the other 19.
inline nlohmann::json weightsKeyframe(double t, int actuator, double percent = 100.0) {
    std::vector<double> w(20, 0.0);
    if (actuator >= 0 && actuator < 20) w[static_cast<std::size_t>(actuator)] = percent;
    return {{"timestamp", t}, {"weights", w}};
}

struct SampleSpec {
    uint64_t signalIndex = kRow;
    double startCrop = 0.0;
    double stopCrop = 0.0;
    double timestamp = 0.0;
    double maxDuration = 0.0;
    double preDelay = 0.0;
    double postDelay = 0.0;
    uint64_t repeatCount = 1;
    double speed = 1.0;
    int actuator = 0;
    bool repeatSpat = false;
    nlohmann::json volumeKeyframes = nlohmann::json::array();
    nlohmann::json spatKeyframes;  // null: one weights keyframe on `actuator`
};

inline nlohmann::json sampleJson(const SampleSpec& s) {
    nlohmann::json spat = s.spatKeyframes.is_null() ? nlohmann::json::array({weightsKeyframe(0.0, s.actuator)})
                                                    : s.spatKeyframes;
    return {{"maxDuration", s.maxDuration}, {"postDelay", s.postDelay},   {"preDelay", s.preDelay},
            {"repeatCount", s.repeatCount}, {"repeatSpat", s.repeatSpat},       {"signalIndex", s.signalIndex},
            {"spatKeyframes", spat},        {"speed", s.speed},           {"startCrop", s.startCrop},
            {"stopCrop", s.stopCrop},       {"timestamp", s.timestamp},   {"volumeKeyframes", s.volumeKeyframes}};
}

// One track per inner vector, at volume 100.
inline std::string patternText(const std::vector<std::vector<SampleSpec>>& tracks, double boostPercent = 0.0) {
    nlohmann::json t = nlohmann::json::array();
    for (const auto& samples : tracks) {
        nlohmann::json items = nlohmann::json::array();
        for (const auto& s : samples) items.push_back(sampleJson(s));
        t.push_back({{"volume", 100}, {"samples", items}});
    }
    return nlohmann::json{{"patternBoost", boostPercent}, {"duration", 0}, {"tracks", t}}.dump();
}

inline std::string patternText(const SampleSpec& s, double boostPercent = 0.0) {
    return patternText(std::vector<std::vector<SampleSpec>>{{s}}, boostPercent);
}

struct LogEntry {
    int level;
    std::string where;
    std::string message;
};

// Takes every engine message (threshold 0) while it lives. One at a time.
class EngineLog {
public:
    EngineLog() {
        lines().clear();
        tsr_set_log_level(0);
        tsr_set_log_callback(&record);
    }
    ~EngineLog() {
        tsr_set_log_callback(nullptr);
        tsr_set_log_level(2);
    }
    EngineLog(const EngineLog&) = delete;
    EngineLog& operator=(const EngineLog&) = delete;

    const std::vector<LogEntry>& all() const { return lines(); }
    void clear() { lines().clear(); }
    int count(const std::string& message, int level = -1) const {
        int n = 0;
        for (const auto& l : lines()) n += (l.message == message && (level < 0 || l.level == level)) ? 1 : 0;
        return n;
    }
    bool has(const std::string& message, int level = -1) const { return count(message, level) > 0; }

private:
    static std::vector<LogEntry>& lines() {
        static std::vector<LogEntry> l;
        return l;
    }
    static void record(int level, const char* where, const char* message) {
        lines().push_back({level, where, message});
    }
};

constexpr const char* kAbsent = "entry not allocated (invalid map<K, T> key)";

}  // namespace engine_test
