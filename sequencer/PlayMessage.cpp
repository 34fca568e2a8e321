#include "sequencer/PlayMessage.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "device/Frame.h"
#include "sequencer/VicinitySphere.h"

namespace vbz::seq {
namespace {

constexpr std::size_t kBlockLength = 4 + kActuatorCount;
constexpr std::size_t kCrcLength = 2;
static_assert(kPlayHeaderLength + kMaxKeyframes * kBlockLength + kCrcLength == kPlayMessageLength);

// The vest takes a volume below 250, a speed strictly between 0.01 and 100
// and an offset above 0.0 (0.0 would mean "no offset field" to it).
const float kVolumeMin = std::nextafter(0.0f, 1.0f);
const float kVolumeMax = std::nextafter(250.0f, 1.0f);
const float kSpeedMin = std::nextafter(0.01f, 1.0f);
const float kSpeedMax = std::nextafter(100.0f, 1.0f);
const float kOffsetMin = std::nextafter(0.0f, 1.0f);

// NaN takes the lower bound.
float clampFloat(float v, float lo, float hi) {
    if (!(v >= lo)) return lo;
    return v > hi ? hi : v;
}

void putF32(PlayMessage& m, std::size_t at, float v) { writeU32(&m[at], std::bit_cast<uint32_t>(v)); }

int64_t saturatingTrunc(float v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2e18f) return INT64_MAX;
    if (v <= -9.2e18f) return INT64_MIN;
    return static_cast<int64_t>(v);
}

}  // namespace

std::size_t writeKeyframeBlocks(SampleRecord& record, PlayMessage& message,
                                const std::array<uint8_t, kPlayHeaderLength>& header, const SpatialBlock& spatial,
                                int64_t boost) {
    std::copy(header.begin(), header.end(), message.begin());
    computeKeyframeWeights(record, spatial);

    const std::size_t n = std::min(record.keyframes.size(), kMaxKeyframes);
    message[SampleRecord::kKeyframeCount] = static_cast<uint8_t>(n);
    const float p = static_cast<float>(std::clamp<int64_t>(boost, 0, 100));
    std::size_t at = kPlayHeaderLength;
    for (std::size_t k = 0; k < n; ++k, at += kBlockLength) {
        const KeyframeRecord& key = record.keyframes[k];
        putF32(message, at, key.timestamp);
        const float gain = k < record.keyframeGains.size() ? record.keyframeGains[k] : 1.0f;
        const int64_t add = saturatingTrunc(p * gain);
        for (std::size_t a = 0; a < key.values.size(); ++a) {
            // A boost lifts every actuator of the keyframe alike, silent ones too.
            const int64_t v = static_cast<int64_t>(key.values[a]) + std::clamp<int64_t>(add, -255, 255);
            message[at + 4 + a] = static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255));
        }
    }
    std::fill(message.begin() + static_cast<std::ptrdiff_t>(at), message.end() - kCrcLength, uint8_t{0});
    return n;
}

int writePlayMessage(std::vector<SampleRecord>& samples, int index, float volumeFactor, float speedFactor,
                     bool overBudget, float startOffset, const SpatialBlock& spatial, int64_t boost,
                     PlayMessage& message) {
    if (index < 0 || static_cast<std::size_t>(index) >= samples.size()) return -2;
    SampleRecord& record = samples[static_cast<std::size_t>(index)];

    std::array<uint8_t, kPlayHeaderLength> header = record.header;
    const float volume =
        clampFloat(static_cast<float>(record.trackVolume()) * 0.01f * volumeFactor, kVolumeMin, kVolumeMax);
    header[SampleRecord::kTrackVolume] = static_cast<uint8_t>(volume);
    const float speed = clampFloat(record.speed() * speedFactor, kSpeedMin, kSpeedMax);
    writeU32(&header[SampleRecord::kSpeed], std::bit_cast<uint32_t>(speed));
    if (overBudget) header[SampleRecord::kFlags] |= SampleRecord::kOverBudgetFlag;
    const float offset = startOffset > kOffsetMin ? startOffset : kOffsetMin;
    writeU32(&header[SampleRecord::kStartOffset], std::bit_cast<uint32_t>(offset));

    const std::size_t n = writeKeyframeBlocks(record, message, header, spatial, boost);
    return static_cast<int>(n * kBlockLength + kPlayHeaderLength + kCrcLength);
}

}  // namespace vbz::seq
