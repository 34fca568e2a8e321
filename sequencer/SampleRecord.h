// One sample of a legacy pattern, read once at load and laid out so that its
// header is the first 36 bytes of the play message that starts it on the
// vest. Owned by value by its Track; the actuator values of vicinity
// keyframes are rewritten at every play, on the sequencing thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sequencer/IVicinity.h"
#include "sequencer/SpatialBlock.h"

namespace vbz::seq {

// One keyframe as the vest takes it: time stamp (seconds into the sample) and
// one intensity per actuator, actuator 0 first.
struct KeyframeRecord {
    float timestamp = 0.0f;
    std::array<uint8_t, kActuatorCount> values{};
};

using VicinityList = std::vector<std::shared_ptr<IVicinity>>;

inline constexpr std::size_t kPlayHeaderLength = 36;
// A play message has room for this many keyframe blocks.
inline constexpr std::size_t kMaxKeyframes = 20;

struct SampleRecord {
    // Offsets into header, which is the play message's bytes 0 to 35.
    enum Offset : std::size_t {
        kCommandId = 0,
        kSyncWord = 1,
        kSignalIndex = 3,
        kTrackVolume = 4,
        kRepeatCount = 5,
        kFlags = 6,
        kKeyframeCount = 7,
        kMaxDuration = 8,
        kPreDelay = 12,
        kPostDelay = 16,
        kSpeed = 20,
        kStartOffset = 24,
        kStartCrop = 28,
        kStopCrop = 32,
    };
    static constexpr uint8_t kRepeatSpatFlag = 0x02;
    static constexpr uint8_t kOverBudgetFlag = 0x01;

    // Id 0x01 and the sync word in place, everything else zero.
    SampleRecord();

    float timestamp = 0.0f;
    std::array<uint8_t, kPlayHeaderLength> header{};
    // One volume factor per keyframe (1.0 without volume keyframes).
    std::vector<float> keyframeGains;
    std::vector<KeyframeRecord> keyframes;
    // One list per keyframe for vicinity keyframes; empty for weight keyframes.
    std::vector<VicinityList> keyframeVicinities;
    // The transform the vicinity keyframes' bytes were last computed for:
    // the vicinities do not change after loading, so a play under the same
    // transform finds its bytes already right.
    std::optional<SpatialBlock> weighedFor;

    uint8_t byte(Offset at) const { return header[at]; }
    void setByte(Offset at, uint8_t value) { header[at] = value; }
    float f32(Offset at) const;
    void setF32(Offset at, float value);

    uint8_t signalIndex() const { return byte(kSignalIndex); }
    uint8_t trackVolume() const { return byte(kTrackVolume); }
    uint8_t repeatCount() const { return byte(kRepeatCount); }
    bool repeatSpat() const { return (byte(kFlags) & kRepeatSpatFlag) != 0; }
    uint8_t keyframeCount() const { return byte(kKeyframeCount); }
    float maxDuration() const { return f32(kMaxDuration); }
    float preDelay() const { return f32(kPreDelay); }
    float postDelay() const { return f32(kPostDelay); }
    float speed() const { return f32(kSpeed); }
    float startCrop() const { return f32(kStartCrop); }
    float stopCrop() const { return f32(kStopCrop); }
};

}  // namespace vbz::seq
