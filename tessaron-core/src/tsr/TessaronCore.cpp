#include "tessaron-core/src/tsr/TessaronCore.h"

#include <climits>
#include <cmath>
#include <exception>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "tessaron-core/src/tsr/time_utils.h"
#include "tessaron-core/src/tsr/tsr_log.h"

namespace tsr {
namespace {
constexpr const char* kSource = "tessaron-core/src/tsr";
// The text of a failed table lookup. Written here rather than taken from the
// standard library, whose wording differs between platforms.
constexpr const char* kAbsentKey = "invalid map<K, T> key";

// Negative and NaN values of the non-negative settings are stored as 0.
double nonNegative(double x) { return x > 0.0 ? x : 0.0; }
}  // namespace

TessaronCore::TessaronCore(std::shared_ptr<ILayout> layout, double sampleRate, std::size_t bufferSize)
    : sampleRate_(sampleRate) {
    tsr_log(2, kSource, __LINE__, "TessaronCore(layout=%p, sample_rate=%f, buffer_size=%zu)",
            static_cast<const void*>(layout.get()), sampleRate, bufferSize);
    // Both are taken as given; a render with them is silent, never a failure.
    if (!(sampleRate > 0.0)) tsr_log(3, kSource, __LINE__, "invalid sample rate: %f", sampleRate);
    if (!layout) tsr_log(3, kSource, __LINE__, "TessaronCore: no layout, nothing will be rendered");
    layout_ = std::move(layout);
    buffers_.resize(layout_actuator_count());
    config_buffer_size_set(bufferSize);
}

void TessaronCore::warnAbsent(int line) { tsr_log(3, kSource, line, "entry not allocated (%s)", kAbsentKey); }

SequenceEntry* TessaronCore::findSequence(int id, int line) {
    SequenceEntry* entry = sequences_.find(id);
    if (!entry) warnAbsent(line);
    return entry;
}

void TessaronCore::config_sample_rate_set(double rate) {
    tsr_log(2, kSource, __LINE__, "config_sample_rate_set(%f)", rate);
    if (!(rate > 0.0)) {
        tsr_log(3, kSource, __LINE__, "invalid sample rate: %f", rate);
        return;
    }
    sampleRate_ = rate;
}

void TessaronCore::config_buffer_size_set(std::size_t n) {
    tsr_log(2, kSource, __LINE__, "config_buffer_size_set(%zu)", n);
    if (n == 0) {
        tsr_log(3, kSource, __LINE__, "invalid buffer size (set to 1 instead)");
        n = 1;
    }
    bufferSize_ = n;
    for (auto& buffer : buffers_) buffer.resize(n, 0.0);
}

std::size_t TessaronCore::config_buffer_size_get() const { return buffers_.empty() ? 0 : buffers_[0].size(); }

void TessaronCore::config_global_boost_set(double boost) {
    tsr_log(2, kSource, __LINE__, "config_global_boost_set(%f)", boost);
    globalBoost_ = boost;
}

int TessaronCore::pattern_load_from_vpt(const std::string& json, int id) {
    tsr_log(2, kSource, __LINE__, "pattern_load_from_vpt(vpt=%p, id=%d)", static_cast<const void*>(json.c_str()), id);
    return pattern_insert(loadPatternFromJson(json.c_str()), id);
}

int TessaronCore::pattern_insert(PatternEntry&& entry, int id) {
    if (!entry.isValid()) return kErrorInvalidPattern;
    return patterns_.insert(id, std::move(entry));
}

int TessaronCore::pattern_unload(int id) {
    tsr_log(2, kSource, __LINE__, "pattern_unload(%d)", id);
    patterns_.erase(id);
    return 0;
}

bool TessaronCore::pattern_is_allocated(int id) {
    tsr_log(2, kSource, __LINE__, "pattern_is_allocated(%d)", id);
    return patterns_.contains(id);
}

double TessaronCore::pattern_boost_get(int id) {
    const PatternEntry* entry = patterns_.find(id);
    if (!entry) {
        warnAbsent(__LINE__);
        return 0.0;
    }
    return entry->boost;
}

int TessaronCore::pattern_get_max_simultaneous_effects(int id) {
    tsr_log(2, kSource, __LINE__, "pattern_get_max_simultaneous_effects(%d)", id);
    const PatternEntry* entry = patterns_.find(id);
    if (!entry) {
        warnAbsent(__LINE__);
        return 0;
    }
    const uint64_t count = entry->maxSimultaneousSamples;
    return count > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

int TessaronCore::pattern_reserve_id_range(int n) {
    tsr_log(2, kSource, __LINE__, "pattern_reserve_id_range(%d)", n);
    return patterns_.reserve(n);
}

int TessaronCore::sequence_new(int patternId, bool autoDelete, int sequenceId) {
    tsr_log(2, kSource, __LINE__, "sequence_new(pattern_id=%d, auto_delete=%d, sequence_id=%d)", patternId,
            autoDelete ? 1 : 0, sequenceId);
    const PatternEntry* pattern = patterns_.find(patternId);
    if (!pattern) return kErrorPatternNotAllocated;
    // Refused ids cost no object model.
    const int checked = sequences_.checkId(sequenceId);
    if (checked < 0) return checked;
    try {
        return sequences_.insert(checked, SequenceEntry(static_cast<uint32_t>(patternId), autoDelete, *pattern));
    } catch (const std::exception& e) {
        // Only validated trees are stored, so this is a tree the builders do
        // not understand or memory running out.
        tsr_log(4, kSource, __LINE__, "sequence_new: cannot build pattern %d: %s", patternId, e.what());
        return kErrorInvalidPattern;
    }
}

int TessaronCore::sequence_play(int id, double playAt, double latency) {
    tsr_log(2, kSource, __LINE__, "sequence_play(%d, play_at=%f, latency=%f)", id, playAt, latency);
    SequenceEntry* entry = findSequence(id, __LINE__);
    if (!entry) return kErrorSequenceNotAllocated;
    return entry->play(playAt, latency);
}

double TessaronCore::stepForDuration(double seconds) const {
    if (seconds == 0.0) return 0.0;
    const uint64_t n = secondsToSamples(seconds, sampleRate_);
    if (n == 0) return std::numeric_limits<double>::infinity();
    return 1.0 / static_cast<double>(n);
}

int TessaronCore::sequence_stop(int id, double fadeOutDuration) {
    tsr_log(2, kSource, __LINE__, "sequence_stop(%d, fade_out_duration=%f)", id, fadeOutDuration);
    SequenceEntry* entry = findSequence(id, __LINE__);
    if (!entry) return kErrorSequenceNotAllocated;
    return entry->stop(stepForDuration(fadeOutDuration));
}

int TessaronCore::sequence_state_get(int id) {
    const SequenceEntry* entry = findSequence(id, __LINE__);
    return entry ? entry->state() : 0;
}

int TessaronCore::sequence_pattern_id_get(int id) {
    const SequenceEntry* entry = findSequence(id, __LINE__);
    return entry ? static_cast<int>(entry->patternId) : kErrorSequenceNotAllocated;
}

bool TessaronCore::sequence_mute_get(int id) {
    const SequenceEntry* entry = findSequence(id, __LINE__);
    return entry ? entry->mute : false;
}

SpatialProperties* TessaronCore::sequence_properties_get(int id) {
    SequenceEntry* entry = findSequence(id, __LINE__);
    return entry ? &entry->properties : nullptr;
}

void TessaronCore::property_volume_set(int id, double volume) {
    tsr_log(2, kSource, __LINE__, "property_volume_set(%d, volume=%f)", id, volume);
    if (SequenceEntry* entry = findSequence(id, __LINE__)) entry->volume = nonNegative(volume);
}

void TessaronCore::property_speed_set(int id, double speed) {
    tsr_log(2, kSource, __LINE__, "property_speed_set(%d, speed=%f)", id, speed);
    if (SequenceEntry* entry = findSequence(id, __LINE__)) entry->speed = nonNegative(speed);
}

void TessaronCore::property_repeat_count_set(int id, unsigned count) {
    tsr_log(2, kSource, __LINE__, "property_repeat_count_set(%d, repeat_count=%u)", id, count);
    if (SequenceEntry* entry = findSequence(id, __LINE__)) entry->repeat.repeatCount = count;
}

void TessaronCore::property_repeat_delay_set(int id, double seconds) {
    tsr_log(2, kSource, __LINE__, "property_repeat_delay_set(%d, repeat_delay=%f)", id, seconds);
    if (SequenceEntry* entry = findSequence(id, __LINE__)) entry->repeat.repeatDelay = nonNegative(seconds);
}

void TessaronCore::property_max_duration_set(int id, double seconds) {
    tsr_log(2, kSource, __LINE__, "property_max_duration_set(%d, max_duration=%f)", id, seconds);
    if (SequenceEntry* entry = findSequence(id, __LINE__)) entry->repeat.maxDuration = nonNegative(seconds);
}

void TessaronCore::property_boost_set(int id, double boost) {
    tsr_log(2, kSource, __LINE__, "property_boost_set(%d, boost=%f)", id, boost);
    if (SequenceEntry* entry = findSequence(id, __LINE__)) entry->boost = boost;
}

void TessaronCore::set_pause(bool paused) {
    tsr_log(2, kSource, __LINE__, "set_pause(%d)", paused ? 1 : 0);
    paused_ = paused;
}

void TessaronCore::stop_all(double fadeOutDuration) {
    tsr_log(2, kSource, __LINE__, "stop_all(fade_out_duration=%f)", fadeOutDuration);
    const double step = stepForDuration(fadeOutDuration);
    for (auto& [id, entry] : sequences_.entries()) entry.stop(step);
}

bool TessaronCore::sequence_remove_if_ended(int id) {
    const SequenceEntry* entry = sequences_.find(id);
    if (!entry || !entry->isFinished()) return false;
    sequences_.erase(id);
    return true;
}

std::size_t TessaronCore::sequence_remove_ended() {
    return std::erase_if(sequences_.entries(), [](const auto& item) { return item.second.isFinished(); });
}

uint32_t TessaronCore::layout_actuator_count() const {
    if (!layout_) return 0;
    const int64_t n = layout_->actuatorCount();
    if (n <= 0) return 0;
    return n > static_cast<int64_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(n);
}

}  // namespace tsr
