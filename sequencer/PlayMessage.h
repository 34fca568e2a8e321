// The PlaySample message: 518 bytes that tell the vest which waveform of its
// bank to play on a slot, how loud, how fast, from which offset, and each
// actuator's intensity over up to 20 keyframes. Written on the sequencing
// thread into the Sequence's own buffer; the CRC (bytes 516-517) is added by
// the transaction that sends it. Nothing here allocates.
#pragma once

#include <cstdint>
#include <vector>

#include "sequencer/Pattern.h"
#include "sequencer/SampleRecord.h"
#include "sequencer/SpatialBlock.h"

namespace vbz::seq {

// Writes the message for samples[index] for one play: the record's header
// with the volume byte (track volume x 0.01 x volumeFactor, 0 to 249), the
// clamped speed, the over-budget flag and the start offset (never 0.0), then
// the keyframe blocks with the boost added. Returns n * 24 + 38, or -2 with
// message untouched when index names no sample.
int writePlayMessage(std::vector<SampleRecord>& samples, int index, float volumeFactor, float speedFactor,
                     bool overBudget, float startOffset, const SpatialBlock& spatial, int64_t boost,
                     PlayMessage& message);

// The second half of writePlayMessage: copies header as bytes 0-35,
// refreshes the record's vicinity keyframes for spatial, copies up to 20
// keyframe blocks from byte 36 (zeroing the unused rest up to byte 515) and
// raises every actuator byte of keyframe k by clamp(boost, 0, 100) x its
// volume factor. Returns the number of blocks written.
std::size_t writeKeyframeBlocks(SampleRecord& record, PlayMessage& message,
                                const std::array<uint8_t, kPlayHeaderLength>& header, const SpatialBlock& spatial,
                                int64_t boost);

}  // namespace vbz::seq
