#include "sequencer/Pattern.h"

#include <exception>
#include <utility>

#include "sdk/core/LogLine.h"
#include "sequencer/PatternReaders.h"
#include "sequencer/PlayMessage.h"
#include "tessaron-core/src/pattern/PatternLoader.h"

namespace vbz::seq {

int Track::fromJson(const nlohmann::json& track) {
    const uint8_t volume = jsonToU8(track.at("volume"));
    for (const auto& element : track.at("samples")) {
        SampleRecord record;
        const int result = readSample(record, element, volume);
        if (result < 0) return result;
        samples_.push_back(std::move(record));
    }
    return 0;
}

const SampleRecord* Track::at(int j) const {
    if (j < 0 || j >= sampleCount()) return nullptr;
    return &samples_[static_cast<std::size_t>(j)];
}

float Track::sampleTimestamp(int j) const {
    const SampleRecord* s = at(j);
    return s ? s->timestamp : 0.0f;
}

float Track::sampleEndTime(int j) const {
    const SampleRecord* s = at(j);
    if (!s || s->maxDuration() == 0.0f) return 0.0f;
    return s->timestamp + s->maxDuration();
}

std::shared_ptr<Pattern> Pattern::create(const std::string& json, int& error) {
    error = -5;
    const tsr::PatternEntry entry = tsr::loadPatternFromJson(json.c_str());
    if (!entry.isValid()) return nullptr;  // the engine's loader has said why; the handler logs the refusal
    if (entry.maxSimultaneousSamples > kMaxSimultaneousSlots) {
        LogLine(4, "Pattern") << "Incorrect pattern construction: maximum number of simultaneous slots (5) exceeded.";
        return nullptr;
    }
    try {
        auto pattern = std::make_shared<Pattern>();
        if (pattern->fromJson(entry.root) < 0) return nullptr;
        pattern->slotCount_ = static_cast<int>(entry.maxSimultaneousSamples);
        error = 0;
        return pattern;
    } catch (const std::exception& e) {
        // Only texts the engine's loader would not accept get here.
        LogLine(4, "Pattern") << "Incorrect pattern construction: " << e.what();
        return nullptr;
    }
}

int Pattern::fromJson(const nlohmann::json& root) {
    duration_ = jsonToF32(root.at("duration"));
    patternBoost_ = jsonToInt(root.at("patternBoost"));
    for (const auto& element : root.at("tracks")) {
        auto track = std::make_shared<Track>();
        const int result = track->fromJson(element);
        if (result < 0) return result;
        tracks_.push_back(std::move(track));
    }
    return 0;
}

const Track* Pattern::track(int i) const {
    if (i < 0 || i >= trackCount()) return nullptr;
    return tracks_[static_cast<std::size_t>(i)].get();
}

int Pattern::sampleCount(int i) const {
    const Track* t = track(i);
    return t ? t->sampleCount() : 0;
}

float Pattern::sampleTimestamp(int i, int j) const {
    const Track* t = track(i);
    return t ? t->sampleTimestamp(j) : 0.0f;
}

float Pattern::sampleEndTime(int i, int j) const {
    const Track* t = track(i);
    return t ? t->sampleEndTime(j) : 0.0f;
}

bool Pattern::isLastSample(int i, int j) const {
    const Track* t = track(i);
    return t ? t->isLastSample(j) : true;
}

int Pattern::playSample(int i, int j, float volumeFactor, float speedFactor, bool overBudget, float startOffset,
                        const SpatialBlock& spatial, int globalBoost, int effectBoost, bool usePatternBoost,
                        PlayMessage& message) {
    if (i < 0 || i >= trackCount()) return -2;
    // Summed in 64 bits: two large boosts must clamp, not wrap.
    const int64_t boost = static_cast<int64_t>(globalBoost) + (usePatternBoost ? patternBoost_ : effectBoost);
    return writePlayMessage(tracks_[static_cast<std::size_t>(i)]->samples(), j, volumeFactor, speedFactor,
                            overBudget, startOffset, spatial, boost, message);
}

void Pattern::setAccumulationWindow(std::shared_ptr<Pattern> fallback, float windowSeconds, int maxAccumulation) {
    if (!accumulation_) {
        accumulation_ = std::make_unique<AccumulationRecord>();
    } else {
        accumulation_->windowStart = 0;
    }
    accumulation_->windowSeconds = windowSeconds;
    accumulation_->maxAccumulation = maxAccumulation;
    accumulation_->fallbackPattern = std::move(fallback);
}

void Pattern::eraseAccumulationWindow() { accumulation_.reset(); }

}  // namespace vbz::seq
