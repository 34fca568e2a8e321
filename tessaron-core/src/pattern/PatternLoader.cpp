#include "tessaron-core/src/pattern/PatternLoader.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <vector>

#include "tessaron-core/src/tsr/tsr_log.h"

namespace tsr {
namespace {

using json = nlohmann::json;

constexpr const char* kSource = "tessaron-core/src/pattern";
constexpr int kError = 4;

constexpr int kObject = 1;
constexpr int kArray = 2;
constexpr int kBoolean = 4;
constexpr int kUnsigned = 6;
constexpr int kNumber = 7;

// Value that every first timestamp of 0 or more passes: the negated smallest
// normal single-precision number.
constexpr float kBeforeFirst = -std::numeric_limits<float>::min();

constexpr FieldSpec kRootSpecs[] = {
    {"duration", kNumber, true},
    {"tracks", kArray, false},
};
constexpr FieldSpec kTrackSpecs[] = {
    {"volume", kNumber, true},
    {"samples", kArray, false},
};
constexpr FieldSpec kSampleSpecs[] = {
    {"maxDuration", kNumber, true},   {"postDelay", kNumber, true},
    {"preDelay", kNumber, true},      {"repeatCount", kUnsigned, false},
    {"repeatSpat", kBoolean, false},  {"signalIndex", kUnsigned, false},
    {"spatKeyframes", kArray, false}, {"speed", kNumber, true},
    {"startCrop", kNumber, true},     {"stopCrop", kNumber, true},
    {"timestamp", kNumber, true},     {"volumeKeyframes", kArray, false},
};
constexpr FieldSpec kKeyTimestampSpecs[] = {
    {"timestamp", kNumber, true},
};
constexpr FieldSpec kWeightsSpecs[] = {
    {"weights", kArray, false},
};
constexpr FieldSpec kVicinitiesSpecs[] = {
    {"vicinities", kArray, false},
};
constexpr FieldSpec kVicinitySpecs[] = {
    {"position", kArray, false},
    {"orientation", kArray, false},
    {"scale", kArray, false},
    {"amplitude", kNumber, true},
};
constexpr FieldSpec kVolumeKeySpecs[] = {
    {"timestamp", kNumber, true},
    {"volume", kNumber, true},
};

constexpr double kDoubleMax = std::numeric_limits<double>::max();

// Narrowing of a JSON number to single precision: values beyond the float
// range become infinities instead of undefined behaviour.
float toSingle(double v) {
    constexpr double kFloatMax = std::numeric_limits<float>::max();
    if (v > kFloatMax) return std::numeric_limits<float>::infinity();
    if (v < -kFloatMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

// The member key of an object that has passed a field check.
const json& member(const json& object, const char* key) { return *object.find(key); }

double numberOf(const json& object, const char* key) {
    return member(object, key).get<double>();
}

// For trees that may not have been validated: 0 where the number is missing.
double numberOrZero(const json& object, const char* key) {
    if (!object.is_object()) return 0.0;
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<double>() : 0.0;
}

void logEmptyArray(const char* name) {
    tsr_log(kError, kSource, __LINE__, "Invalid field array: '%s' is empty.", name);
}

bool checkVicinities(const json& vicinities) {
    if (vicinities.empty()) {
        logEmptyArray("vicinities");
        return false;
    }
    bool ok = true;
    for (const json& vicinity : vicinities) {
        if (!checkFieldSpecs(vicinity, kVicinitySpecs, false, ok)) return false;
        if (!checkNumberArray(member(vicinity, "position"), 3, -kDoubleMax, kDoubleMax) ||
            !checkNumberArray(member(vicinity, "orientation"), 4, -1.0, 1.0) ||
            !checkNumberArray(member(vicinity, "scale"), 3, -kDoubleMax, kDoubleMax)) {
            return false;
        }
    }
    return true;
}

bool checkSpatKeyframes(const json& keyframes) {
    if (keyframes.empty()) {
        logEmptyArray("spatKeyframes");
        return false;
    }
    bool ok = true;
    bool sawWeights = false;
    bool sawVicinities = false;
    float previous = kBeforeFirst;
    for (const json& keyframe : keyframes) {
        if (!checkFieldSpecs(keyframe, kKeyTimestampSpecs, false, ok)) return false;
        const float t = toSingle(numberOf(keyframe, "timestamp"));
        if (previous >= t) {
            tsr_log(kError, kSource, __LINE__,
                    "Invalid spatialization key's timestamp in '%s': the timestamp '%f' should be "
                    "strictly higher than the previous one '%f'",
                    "spatKeyframes", static_cast<double>(t), static_cast<double>(previous));
            return false;
        }
        previous = t;
        // The silent probes decide the keyframe's kind; their failures alone
        // do not make the pattern invalid.
        bool probe = true;
        if (checkFieldSpecs(keyframe, kWeightsSpecs, true, probe)) {
            sawWeights = true;
            if (!checkNumberArray(member(keyframe, "weights"), 0, 0.0, kDoubleMax)) return false;
            continue;
        }
        if (!checkFieldSpecs(keyframe, kVicinitiesSpecs, true, probe)) {
            tsr_log(kError, kSource, __LINE__,
                    "Invalid field array: '%s' has an invalid item without any '%s' or '%s' field.",
                    "spatKeyframes", "weights", "vicinities");
            return false;
        }
        sawVicinities = true;
        // A bad vicinity spoils the pattern but the later keyframes are still
        // checked, so that their own problems are reported too.
        if (!checkVicinities(member(keyframe, "vicinities"))) ok = false;
    }
    if (sawWeights && sawVicinities) {
        tsr_log(kError, kSource, __LINE__,
                "Invalid field array: '%s' should not mix items with '%s' and '%s' fields.",
                "spatKeyframes", "weights", "vicinities");
        ok = false;
    }
    return ok;
}

bool checkVolumeKeyframes(const json& keys) {
    bool ok = true;
    float previous = kBeforeFirst;
    for (const json& key : keys) {
        if (!checkFieldSpecs(key, kVolumeKeySpecs, false, ok)) return false;
        const float t = toSingle(numberOf(key, "timestamp"));
        if (previous >= t) {
            tsr_log(kError, kSource, __LINE__,
                    "Invalid volume key's timestamp in '%s': the timestamp '%f' should be strictly "
                    "higher than the previous one '%f'",
                    "volumeKeyframes", static_cast<double>(t), static_cast<double>(previous));
            return false;
        }
        previous = t;
    }
    return ok;
}

// Checks one track's samples; a failure stops this track only.
bool checkSamples(const json& samples) {
    if (samples.empty()) return false;
    bool ok = true;
    float previousEnd = kBeforeFirst;
    for (const json& sample : samples) {
        if (!checkFieldSpecs(sample, kSampleSpecs, false, ok)) return false;
        const float t = toSingle(numberOf(sample, "timestamp"));
        if (previousEnd > t) {
            tsr_log(kError, kSource, __LINE__,
                    "Invalid sample timestamp: the start '%f' of the sample is expected to be "
                    "higher than the end '%f' of the previous sample.",
                    static_cast<double>(t), static_cast<double>(previousEnd));
            return false;
        }
        previousEnd = toSingle(numberOf(sample, "maxDuration")) + t;
        if (!checkSpatKeyframes(member(sample, "spatKeyframes"))) ok = false;
        if (!checkVolumeKeyframes(member(sample, "volumeKeyframes"))) ok = false;
    }
    return ok;
}

// Checks the whole document; inserts patternBoost 0 when the root lacks it.
bool checkRoot(json& root) {
    bool ok = true;
    if (root.is_object()) {
        const auto boost = root.find("patternBoost");
        if (boost == root.end()) {
            root["patternBoost"] = 0;
        } else if (!boost->is_number()) {
            tsr_log(kError, kSource, __LINE__,
                    "Invalid field type: '%s' is expected to be of type '%s'.", "patternBoost",
                    "integer");
            ok = false;
        }
    }
    if (!checkFieldSpecs(root, kRootSpecs, false, ok)) return false;
    const json& tracks = member(root, "tracks");
    if (tracks.empty()) return false;
    for (const json& track : tracks) {
        if (!checkFieldSpecs(track, kTrackSpecs, false, ok)) return false;
        if (!checkSamples(member(track, "samples"))) ok = false;
    }
    return ok;
}

// Ascending merge of per-track ascending lists: repeatedly takes the smallest
// head, the first track in order on ties. A heap of the heads ordered by
// (value, track) makes each step O(log T) for T tracks.
std::vector<double> mergeTracks(const std::vector<std::vector<double>>& lists) {
    struct Head {
        double value;
        std::size_t list;
        std::size_t index;
    };
    // std::priority_queue keeps the greatest on top: "greater" puts the
    // smallest value, then the lowest track, there.
    const auto later = [](const Head& a, const Head& b) {
        if (a.value != b.value) return a.value > b.value;
        return a.list > b.list;
    };
    std::vector<Head> heap;
    heap.reserve(lists.size());
    std::size_t total = 0;
    for (std::size_t i = 0; i < lists.size(); ++i) {
        total += lists[i].size();
        if (!lists[i].empty()) heap.push_back({lists[i][0], i, 0});
    }
    std::make_heap(heap.begin(), heap.end(), later);
    std::vector<double> merged;
    merged.reserve(total);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        Head& head = heap.back();
        merged.push_back(head.value);
        const std::vector<double>& list = lists[head.list];
        if (++head.index < list.size()) {
            head.value = list[head.index];
            std::push_heap(heap.begin(), heap.end(), later);
        } else {
            heap.pop_back();
        }
    }
    return merged;
}

}  // namespace

const char* fieldTypeWord(int type, bool positive) {
    switch (type) {
        case 0: return "null";
        case 1: return "object";
        case 2: return "array";
        case 3: return "string";
        case 4: return "boolean";
        case 5: return "integer";
        case 6: return "unsigned integer";
        case 7: return positive ? "positive float" : "float";
        case 8: return "binary";
        case 9: return "discarded";
        default: return "unknown type";
    }
}

bool checkFieldSpecs(const json& value, std::span<const FieldSpec> specs, bool silent,
                     bool& result) {
    for (const FieldSpec& spec : specs) {
        const auto it = value.is_object() ? value.find(spec.fieldName) : value.end();
        if (!value.is_object() || it == value.end()) {
            if (!silent) {
                tsr_log(kError, kSource, __LINE__, "Missing field: '%s' is required.",
                        spec.fieldName);
            }
            result = false;
            return false;
        }
        bool typeOk;
        if (spec.type == kNumber) {
            typeOk = it->is_number() && (!spec.positive || it->get<double>() >= 0.0);
        } else {
            typeOk = static_cast<int>(it->type()) == spec.type;
        }
        if (!typeOk) {
            if (!silent) {
                tsr_log(kError, kSource, __LINE__,
                        "Invalid field type: '%s' is expected to be of type '%s'.",
                        spec.fieldName, fieldTypeWord(spec.type, spec.positive));
            }
            result = false;
            return false;
        }
    }
    return true;
}

bool checkNumberArray(const json& value, std::size_t count, double min, double max) {
    if (!value.is_array()) return false;
    if (count != 0 && value.size() != count) return false;
    for (const json& item : value) {
        if (!item.is_number()) return false;
        const double v = item.get<double>();
        if (!(min <= v && v <= max)) return false;
    }
    return true;
}

void countMaxSimultaneousSamples(PatternEntry& entry, const json& tracks) {
    entry.maxSimultaneousSamples = 0;
    if (!tracks.is_array()) return;
    std::vector<std::vector<double>> starts;
    std::vector<std::vector<double>> ends;
    starts.reserve(tracks.size());
    ends.reserve(tracks.size());
    for (const json& track : tracks) {
        starts.emplace_back();
        ends.emplace_back();
        const auto samples = track.is_object() ? track.find("samples") : track.end();
        if (!track.is_object() || samples == track.end() || !samples->is_array()) continue;
        bool open = true;  // false from the first sample that lasts to the end
        for (const json& sample : *samples) {
            const double t = numberOrZero(sample, "timestamp");
            const double maxDuration = numberOrZero(sample, "maxDuration");
            starts.back().push_back(t);
            if (open && !(maxDuration > 0.0)) open = false;
            if (open) ends.back().push_back(t + maxDuration);
        }
    }
    const std::vector<double> startTimes = mergeTracks(starts);
    const std::vector<double> endTimes = mergeTracks(ends);
    int64_t count = 0;
    int64_t best = 0;
    std::size_t s = 0;
    std::size_t e = 0;
    while (s < startTimes.size()) {
        if (e < endTimes.size() && endTimes[e] <= startTimes[s]) {
            ++e;
            --count;
        } else {
            ++s;
            ++count;
            best = std::max(best, count);
        }
    }
    entry.maxSimultaneousSamples = static_cast<uint64_t>(best);
}

PatternEntry loadPatternFromJson(const char* text) {
    PatternEntry entry;
    if (!text) {
        tsr_log(kError, kSource, __LINE__, "Invalid json format: %s", "(null text)");
        return entry;
    }
    try {
        entry.root = json::parse(text, nullptr, /*allow_exceptions=*/false,
                                 /*ignore_comments=*/false);
        if (entry.root.is_discarded()) {
            tsr_log(kError, kSource, __LINE__, "Invalid json format: %s", text);
            return entry;
        }
        entry.ok = checkRoot(entry.root);
        if (entry.ok) {
            entry.boost = numberOf(entry.root, "patternBoost") / 100.0;
            countMaxSimultaneousSamples(entry, member(entry.root, "tracks"));
        }
    } catch (const std::exception& e) {
        // Only memory exhaustion can get here: every access above is checked
        // first. The entry is then invalid rather than half filled.
        tsr_log(kError, kSource, __LINE__, "Invalid json format: %s", e.what());
        entry.ok = false;
        entry.boost = 0.0;
        entry.maxSimultaneousSamples = 0;
    }
    return entry;
}

}  // namespace tsr
