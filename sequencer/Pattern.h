// The legacy back-end's model of a loaded pattern: its tracks of sample
// records, ready to be sent sample by sample as play messages, and the
// accumulation window a pattern may carry.
//
// Made by Pattern::create and shared (std::shared_ptr) by the handler's
// pattern table, every Sequence that plays it and every accumulation record
// that names it as fallback. Loading may run on any thread; once shared, a
// pattern is read and its vicinity keyframes rewritten on the sequencing
// thread only, and its accumulation record is changed under the handler
// mutex.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sequencer/SampleRecord.h"
#include "sequencer/SpatialBlock.h"

namespace vbz::seq {

inline constexpr std::size_t kPlayMessageLength = 518;
using PlayMessage = std::array<uint8_t, kPlayMessageLength>;

// Most samples of one pattern that may play at once: a pattern may hold at
// most this many of the vest's slots.
inline constexpr uint64_t kMaxSimultaneousSlots = 5;

class Pattern;

struct AccumulationRecord {
    int64_t windowStart = 0;  // steady-clock ns of the last main play; 0 = none yet
    float windowSeconds = 0.0f;
    int count = 0;            // fallback plays since the last main play
    int maxAccumulation = 0;  // below 1: no limit
    std::shared_ptr<Pattern> fallbackPattern;
    int anchorEffectId = 0;
    int mainPriority = 0;
};

class Track {
public:
    // Reads "volume" and "samples"; 0, or -5 (with an error line) for a
    // sample the vest cannot take. JSON type errors throw.
    int fromJson(const nlohmann::json& track);

    std::vector<SampleRecord>& samples() { return samples_; }
    const std::vector<SampleRecord>& samples() const { return samples_; }

    // Indices out of range give 0 (timestamps, end times) and true (last).
    int sampleCount() const { return static_cast<int>(samples_.size()); }
    float sampleTimestamp(int j) const;
    // timestamp + max duration, or 0 when the sample has no max duration.
    float sampleEndTime(int j) const;
    bool isLastSample(int j) const { return j >= sampleCount() - 1; }

private:
    const SampleRecord* at(int j) const;

    std::vector<SampleRecord> samples_;
};

class Pattern {
public:
    // Validates the text with the engine's loader and reads it; null and
    // error -5 on failure (error lines under "Pattern" for patterns the
    // engine accepts but the vest cannot play), else error 0.
    static std::shared_ptr<Pattern> create(const std::string& json, int& error);

    // Reads a root the engine's loader has accepted. 0, or -5 with an error
    // line. JSON type errors throw (create catches them).
    int fromJson(const nlohmann::json& root);

    float duration() const { return duration_; }
    int slotCount() const { return slotCount_; }
    int patternBoost() const { return patternBoost_; }
    int patternId() const { return patternId_; }
    void setPatternId(int id) { patternId_ = id; }

    const std::vector<std::shared_ptr<Track>>& tracks() const { return tracks_; }
    int trackCount() const { return static_cast<int>(tracks_.size()); }
    // Indices out of range give 0 (counts, timestamps, end times) and true (last).
    int sampleCount(int i) const;
    float sampleTimestamp(int i, int j) const;
    float sampleEndTime(int i, int j) const;
    bool isLastSample(int i, int j) const;

    // Fills message for sample j of track i; returns the meaningful length
    // (n * 24 + 38), or -2 with message untouched for indices out of range.
    // The boost is globalBoost plus the pattern's boost when usePatternBoost,
    // else plus effectBoost. Sequencing thread only; allocates nothing.
    int playSample(int i, int j, float volumeFactor, float speedFactor, bool overBudget, float startOffset,
                   const SpatialBlock& spatial, int globalBoost, int effectBoost, bool usePatternBoost,
                   PlayMessage& message);

    // Null when the pattern has none.
    AccumulationRecord* accumulation() { return accumulation_.get(); }
    const AccumulationRecord* accumulation() const { return accumulation_.get(); }
    // Creates the record, or updates an existing one: its count, anchor and
    // priority stay, and the next main play opens a new window.
    void setAccumulationWindow(std::shared_ptr<Pattern> fallback, float windowSeconds, int maxAccumulation);
    void eraseAccumulationWindow();

private:
    const Track* track(int i) const;

    int patternBoost_ = 0;
    float duration_ = 0.0f;
    int slotCount_ = 0;
    std::vector<std::shared_ptr<Track>> tracks_;
    int patternId_ = 0;
    std::unique_ptr<AccumulationRecord> accumulation_;
};

}  // namespace vbz::seq
