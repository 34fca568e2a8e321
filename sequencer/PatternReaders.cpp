#include "sequencer/PatternReaders.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "sdk/core/LogLine.h"
#include "sequencer/VicinitySphere.h"
#include "tessaron-core/src/filter/Saturating.h"

namespace vbz::seq {
namespace {

using json = nlohmann::json;

constexpr uint64_t kSignalRowMask = 0xFFFF;
constexpr uint64_t kLastVestSignalRow = 255;

uint8_t floatToByte(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 255.0f) return 255;
    return static_cast<uint8_t>(v);
}

float volumeGain(const json& volumeKey) {
    return static_cast<float>(jsonToU64(volumeKey.at("volume"))) * 0.01f;
}

float timestampOf(const json& key) { return jsonToF32(key.at("timestamp")); }

// The two kinds of spatial content that the merge combines with the volume
// keys: fixed weights, or vicinities whose amplitude carries the volume.
class WeightContent {
public:
    explicit WeightContent(SampleRecord& record) : record_(record) {}

    void append(float t, float g, const json& key, bool scale) {
        const auto w = weightsOf(key);
        KeyframeRecord k{t, {}};
        for (std::size_t a = 0; a < w.size(); ++a) k.values[a] = scale ? floatToByte(w[a] * g) : w[a];
        push(k, g);
    }
    void appendBetween(float t, float g, const json& before, const json& after, float r) {
        const auto w0 = weightsOf(before);
        const auto w1 = weightsOf(after);
        KeyframeRecord k{t, {}};
        for (std::size_t a = 0; a < w0.size(); ++a) {
            const float v0 = w0[a], v1 = w1[a];
            k.values[a] = floatToByte(((v1 - v0) * r + v0) * g);
        }
        push(k, g);
    }

private:
    // A shorter array leaves the remaining actuators at 0; a longer one is
    // cut to the vest's actuators.
    static std::array<uint8_t, kActuatorCount> weightsOf(const json& key) {
        std::array<uint8_t, kActuatorCount> out{};
        const json& w = key.at("weights");
        const std::size_t n = std::min<std::size_t>(w.size(), out.size());
        for (std::size_t a = 0; a < n; ++a) out[a] = jsonToU8(w.at(a));
        return out;
    }
    void push(const KeyframeRecord& k, float g) {
        record_.keyframes.push_back(k);
        record_.keyframeGains.push_back(g);
    }

    SampleRecord& record_;
};

class VicinityContent {
public:
    explicit VicinityContent(SampleRecord& record) : record_(record) {}

    void append(float t, float g, const json& key, bool scale) {
        VicinityList list = read(key, 1.0f);
        if (scale) scaleVicinityAmplitudes(list, g);
        push(t, g, std::move(list));
    }
    void appendBetween(float t, float g, const json& before, const json& after, float r) {
        VicinityList list = read(before, 1.0f - r);
        VicinityList later = read(after, r);
        list.insert(list.end(), later.begin(), later.end());
        scaleVicinityAmplitudes(list, g);
        push(t, g, std::move(list));
    }

private:
    static VicinityList read(const json& key, float share) {
        VicinityList list;
        for (const json& v : key.at("vicinities")) list.push_back(readVicinity(v));
        if (share != 1.0f) scaleVicinityAmplitudes(list, share);
        return list;
    }
    void push(float t, float g, VicinityList list) {
        record_.keyframes.push_back(KeyframeRecord{t, {}});
        record_.keyframeGains.push_back(g);
        record_.keyframeVicinities.push_back(std::move(list));
    }

    SampleRecord& record_;
};

// Merges the spatial keys S with the volume keys V (both strictly increasing
// in time): every time of either gets a keyframe, the missing side being
// interpolated (or held at its first or last value).
template <class Content>
void mergeKeyframes(SampleRecord& record, const json& S, const json& V, Content content) {
    if (!S.is_array() || !V.is_array()) {
        throw json::type_error::create(302, "keyframes must be arrays", &S);
    }
    const std::size_t ns = S.size(), nv = V.size();
    std::size_t i = 0, j = 0;
    while (i < ns && j < nv) {
        const json& tS = S[i].at("timestamp");
        const json& tV = V[j].at("timestamp");
        if (tV == tS) {
            content.append(jsonToF32(tS), volumeGain(V[j]), S[i], true);
            ++i;
            ++j;
        } else if (tV < tS) {
            const float t = jsonToF32(tV);
            const float g = volumeGain(V[j]);
            if (i == 0) {
                content.append(t, g, S[0], true);
            } else {
                const float t0 = timestampOf(S[i - 1]);
                const float r = (t - t0) / (jsonToF32(tS) - t0);
                content.appendBetween(t, g, S[i - 1], S[i], r);
            }
            ++j;
        } else {
            const float t = jsonToF32(tS);
            float g = volumeGain(V[0]);
            if (j > 0) {
                const float g0 = volumeGain(V[j - 1]), g1 = volumeGain(V[j]);
                const float t0 = timestampOf(V[j - 1]), t1 = jsonToF32(tV);
                g = g0 + (g1 - g0) * (t - t0) / (t1 - t0);
            }
            content.append(t, g, S[i], true);
            ++i;
        }
    }
    for (; i < ns; ++i) {
        if (j == 0) {
            content.append(timestampOf(S[i]), 1.0f, S[i], false);
        } else {
            content.append(timestampOf(S[i]), volumeGain(V[j - 1]), S[i], true);
        }
    }
    for (; j < nv; ++j) {
        content.append(timestampOf(V[j]), volumeGain(V[j]), S.at(ns - 1), true);
    }
    record.setByte(SampleRecord::kKeyframeCount,
                   static_cast<uint8_t>(std::min<std::size_t>(record.keyframes.size(), 255)));
}

void logConstructionError(const std::string& what) {
    LogLine(4, "Pattern") << "Incorrect pattern construction: " << what;
}

}  // namespace

float jsonToF32(const json& value) { return tsr::narrowToFloat(value.get<double>()); }

int jsonToInt(const json& value) {
    if (value.is_number_unsigned()) {
        return static_cast<int>(std::min<uint64_t>(value.get<uint64_t>(), std::numeric_limits<int>::max()));
    }
    if (value.is_number_integer()) {
        return static_cast<int>(std::clamp<int64_t>(value.get<int64_t>(), std::numeric_limits<int>::min(),
                                                    std::numeric_limits<int>::max()));
    }
    const double v = std::trunc(value.get<double>());
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

uint64_t jsonToU64(const json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_number_integer()) return static_cast<uint64_t>(std::max<int64_t>(value.get<int64_t>(), 0));
    return tsr::saturatingToU64(value.get<double>());
}

uint8_t jsonToU8(const json& value) { return static_cast<uint8_t>(std::min<uint64_t>(jsonToU64(value), 255)); }

int readSample(SampleRecord& record, const json& sample, uint8_t trackVolume) {
    record.setByte(SampleRecord::kTrackVolume, trackVolume);
    record.timestamp = jsonToF32(sample.at("timestamp"));
    const uint64_t signal = jsonToU64(sample.at("signalIndex"));
    if ((signal & kSignalRowMask) > kLastVestSignalRow) {
        logConstructionError("signal index " + std::to_string(signal & kSignalRowMask) +
                             " exceeds the vest's last waveform (255).");
        return -5;
    }
    record.setByte(SampleRecord::kSignalIndex, static_cast<uint8_t>(signal & 0xFF));
    record.setF32(SampleRecord::kSpeed, jsonToF32(sample.at("speed")));
    record.setByte(SampleRecord::kRepeatCount, jsonToU8(sample.at("repeatCount")));
    record.setF32(SampleRecord::kPreDelay, jsonToF32(sample.at("preDelay")));
    record.setF32(SampleRecord::kPostDelay, jsonToF32(sample.at("postDelay")));
    record.setF32(SampleRecord::kMaxDuration, jsonToF32(sample.at("maxDuration")));
    record.setByte(SampleRecord::kFlags, sample.at("repeatSpat").get<bool>() ? SampleRecord::kRepeatSpatFlag : 0);
    record.setF32(SampleRecord::kStartCrop, jsonToF32(sample.at("startCrop")));
    record.setF32(SampleRecord::kStopCrop, jsonToF32(sample.at("stopCrop")));
    record.setF32(SampleRecord::kStartOffset, 0.0f);

    const json& S = sample.at("spatKeyframes");
    const json& V = sample.at("volumeKeyframes");
    // Every spatial and every volume key becomes a keyframe of its own
    // unless their times meet: more than the message holds is refused early.
    const auto tooMany = [](const json& a) { return a.is_array() && a.size() > kMaxKeyframes; };
    if (!tooMany(S) && !tooMany(V)) {
        // A keyframe with "weights" is a weights keyframe whatever else it
        // holds: that is how the engine's loader has validated it.
        const json& first = S.at(0);
        if (first.is_object() && first.contains("vicinities") && !first.contains("weights")) {
            readVicinityKeyframes(record, S, V);
        } else {
            readWeightKeyframes(record, S, V);
        }
    }
    if (tooMany(S) || tooMany(V) || record.keyframes.size() > kMaxKeyframes) {
        logConstructionError("maximum number of keyframes per sample (20) exceeded.");
        return -5;
    }
    return 0;
}

void readWeightKeyframes(SampleRecord& record, const json& spatKeyframes, const json& volumeKeyframes) {
    mergeKeyframes(record, spatKeyframes, volumeKeyframes, WeightContent(record));
}

void readVicinityKeyframes(SampleRecord& record, const json& spatKeyframes, const json& volumeKeyframes) {
    mergeKeyframes(record, spatKeyframes, volumeKeyframes, VicinityContent(record));
}

std::shared_ptr<IVicinity> readVicinity(const json& vicinity) {
    const json& p = vicinity.at("position");
    const json& o = vicinity.at("orientation");
    const json& s = vicinity.at("scale");
    const auto d = [](const json& v) { return static_cast<double>(jsonToF32(v)); };
    // The JSON orientation is w, x, y, z; quaternions are kept x, y, z, w.
    auto sphere = std::make_shared<VicinitySphere>(0u, tsr::Point{d(p.at(0)), d(p.at(1)), d(p.at(2))},
                                                   tsr::Quaternion{d(o.at(1)), d(o.at(2)), d(o.at(3)), d(o.at(0))},
                                                   tsr::Point{d(s.at(0)), d(s.at(1)), d(s.at(2))});
    sphere->setDistributionGain(0, jsonToF32(vicinity.at("amplitude")));
    return sphere;
}

void scaleVicinityAmplitudes(const VicinityList& list, float g) {
    for (const auto& v : list) {
        float amplitude = 0.0f;
        if (v && v->getDistributionGain(0, amplitude) == 0) v->setDistributionGain(0, amplitude * g);
    }
}

}  // namespace vbz::seq
