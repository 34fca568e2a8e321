// The StreamData frame (id 0x96, 1012 bytes) that answers each data request
// of the vest, and the sample encoding that fills its 1000-byte payload:
//
//   [0] 0x96  [1..2] AD DE  [3] encoding byte (rate code << 2 | depth code)
//   [4..7] u32 timestamp of the request answered  [8..9] u16 samples per
//   actuator  [10..1009] payload  [1010..1011] CRC-16, low byte first
//
// For each request the finest encoding that fits the requested span is
// chosen: 2000 Hz at 16, 8 or 4 bits, then 1000 Hz and 500 Hz at 4 bits.
// Samples are stored sample by sample, the vest's channels in order within
// each sample (pairs of samples per byte at 4 bits, the earlier one in the
// high nibble).
//
// Owned by its stream and used on the stream's thread only. The frame and
// the companding tables are fixed memory: encoding allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "streaming/AbstractCore.h"

namespace vbz {

// Rate codes (500, 1000, 2000 Hz) and depth codes (4, 8, 16 bits).
enum : uint8_t { kRate500 = 1, kRate1000 = 2, kRate2000 = 3 };
enum : uint8_t { kDepth4 = 1, kDepth8 = 2, kDepth16 = 3 };

// 500.0, 1000.0, 2000.0 for the codes 1, 2, 3; 1.0 for any other.
float sampleRateFromCode(uint8_t rateCode);

// One sample, as single precision, to its code at each depth. Magnitudes
// at or above full scale saturate; NaN encodes as 0 and infinities as full
// scale.
int16_t encode16Bit(float x);
uint8_t encode8Bit(float x);  // signed magnitude code, two's complement
uint8_t encode4Bit(float x);  // low 4 bits significant

// Companding: magnitude k (0..32767, in 1/32768 of full scale) to its code.
uint8_t compand8Bit(uint16_t k);  // 0..127
uint8_t compand4Bit(uint16_t k);  // 0..7

class StreamDataFrame {
public:
    static constexpr std::size_t kLength = 1012;
    static constexpr std::size_t kHeaderLength = 10;
    static constexpr std::size_t kPayloadSize = 1000;
    static constexpr int kEncodings = 5;

    // What the source is to render for one request.
    struct Block {
        double sampleRate;
        unsigned samples;
    };

    StreamDataFrame();

    // Channel count of the vest; computes the longest span (microseconds)
    // that each encoding carries in one frame. Called at the start of each
    // stream run. 0 channels leave every capacity at 0.
    void setChannelCount(unsigned channels);
    unsigned channelCount() const { return channels_; }
    const std::array<uint32_t, kEncodings>& capacities() const { return capacity_; }

    // Chooses the encoding of a request of durationUs, writes the encoding
    // byte, and advances streamClock by the span of the samples asked for.
    // A request longer than the coarsest capacity is cut to it (warning).
    // The sample count never exceeds what the payload holds.
    Block chooseEncoding(uint32_t durationUs, uint32_t& streamClock);

    void setTimestamp(uint32_t timestampUs);
    // Writes the count of samples per actuator that packPayload will store,
    // given what the source rendered (cut to what the payload holds).
    void setSampleCount(unsigned rendered);
    // Encodes the source's current block (setSampleCount's count of samples
    // per channel) into the payload at the depth of the encoding byte; vest
    // channels beyond the source's carry zero codes, source channels beyond
    // the vest's are not sent. Payload bytes past the block keep their
    // earlier contents.
    void packPayload(AbstractCore& source);
    // Stores the CRC of bytes [0, 1010).
    void seal();

    const uint8_t* data() const { return frame_.data(); }
    uint8_t encodingByte() const { return frame_[3]; }
    uint16_t sampleCount() const;
    // Payload bytes that the current block fills.
    std::size_t payloadBytes() const;
    // Most samples per channel that fit the payload at a depth.
    unsigned maxSamples(uint8_t depthCode) const;

private:
    std::array<uint8_t, kLength> frame_{};
    std::array<uint32_t, kEncodings> capacity_{};
    unsigned channels_ = 0;
};

}  // namespace vbz
