// The spatial transform of one play on the legacy back-end, as its Sequence
// converted it from the effect's properties: height in metres of the capsule
// (the effect's height x 0.24), heading and tilt in radians, and the six mirror
// flags. Owned by value by the Sequence; read by the play message and the
// sphere vicinities on the sequencing thread.
#pragma once

namespace vbz::seq {

struct SpatialBlock {
    float height = 0.0f;
    float heading = 0.0f;
    float tilt = 0.0f;
    bool frontBackInversion = false;
    bool rightLeftInversion = false;
    bool upDownInversion = false;
    bool frontBackAddition = false;
    bool rightLeftAddition = false;
    bool upDownAddition = false;

    // Field by field; NaN moves never compare equal.
    bool operator==(const SpatialBlock&) const = default;
};

}  // namespace vbz::seq
