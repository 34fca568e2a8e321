// The audio-to-haptics processor as the rest of the system sees it: interleaved
// audio of any channel count is cut into 20 ms blocks, each block of each
// channel reduced to a token of four band values (encode), tokens turned back
// into vibration at the processor's own rate (decode), or both in place
// (process). A processor works only through the overloads of the sample type
// it was created for; every other overload returns false and touches nothing.
//
// Made by createOrv and owned by its caller. Not synchronised: one thread at a
// time per processor; different processors may run on different threads. The
// block loops allocate nothing, so they may run on an audio callback.
#pragma once

#include <cstdint>
#include <memory>

namespace orv {

// Result codes shared with the C interface.
constexpr std::int32_t kOrvSuccess = 0;
constexpr std::int32_t kOrvInvalidParameter = -22;
constexpr std::int32_t kOrvNoMemory = -12;
constexpr std::int32_t kOrvUnknownError = -256;

// Codes of the interface sample type T and of the processing precision U.
enum OrvInputType : std::int32_t { kInputShort = 0, kInputInt = 1, kInputFloat = 2, kInputDouble = 3 };
enum OrvProcessingType : std::int32_t { kProcessFloat = 0, kProcessDouble = 1 };

class BaseORV {
public:
    virtual ~BaseORV() = default;

    // Returns every channel to its initial state (detectors and generators).
    virtual void reset() = 0;
    // Frames per block: 20 ms at the processor's rate.
    virtual std::uint64_t getBlockSize() = 0;
    virtual std::uint32_t getSampleRate() = 0;
    virtual std::uint32_t getChannelCount() = 0;
    virtual std::int32_t getInputType() = 0;
    virtual std::int32_t getProcessingType() = 0;
    // Token bytes that encoding that many frames writes (a last partial block
    // still makes a whole token per channel); 0 for 0 frames and when the
    // size does not fit in 32 bits.
    virtual std::uint32_t getTokenBytes(std::uint64_t frames) = 0;
    virtual std::uint32_t getPreset() = 0;
    // Stores the preset (0 to 3) and rebuilds every channel from scratch; the
    // block size and token sizes do not change. A larger value is ignored.
    // Allocates (throws std::bad_alloc, keeping the old channels): not from
    // an audio callback.
    virtual void setPreset(std::uint32_t preset) = 0;

    // Buffers are interleaved (channel c of frame f at f x channels + c) and
    // hold frames x channels samples. The results are the logical and of the
    // blocks' results; every block is handled even after a failed one. A null
    // buffer with a non-zero count is refused (false, nothing touched).
    virtual bool process(const double* in, double* out, std::uint64_t frames) = 0;
    virtual bool process(const float* in, float* out, std::uint64_t frames) = 0;
    virtual bool process(const std::int32_t* in, std::int32_t* out, std::uint64_t frames) = 0;
    virtual bool process(const std::int16_t* in, std::int16_t* out, std::uint64_t frames) = 0;
    // Writes getTokenBytes(frames) bytes: block after block, channel after
    // channel; a last partial block is zero-padded.
    virtual bool encode(const double* in, std::uint8_t* tokens, std::uint64_t frames) = 0;
    virtual bool encode(const float* in, std::uint8_t* tokens, std::uint64_t frames) = 0;
    virtual bool encode(const std::int32_t* in, std::uint8_t* tokens, std::uint64_t frames) = 0;
    virtual bool encode(const std::int16_t* in, std::uint8_t* tokens, std::uint64_t frames) = 0;
    // Blocks whose tokens lie beyond tokenBytes come out silent and do not
    // advance the generators; of a last partial block only the frames asked
    // for are written.
    virtual bool decode(const std::uint8_t* tokens, std::uint64_t tokenBytes, double* out,
                        std::uint64_t frames) = 0;
    virtual bool decode(const std::uint8_t* tokens, std::uint64_t tokenBytes, float* out,
                        std::uint64_t frames) = 0;
    virtual bool decode(const std::uint8_t* tokens, std::uint64_t tokenBytes, std::int32_t* out,
                        std::uint64_t frames) = 0;
    virtual bool decode(const std::uint8_t* tokens, std::uint64_t tokenBytes, std::int16_t* out,
                        std::uint64_t frames) = 0;
};

// Makes the processor of the given input type (0 short, 1 int, 2 float,
// 3 double) and processing type (0 float, 1 double), preset 0. Null with
// error -22 for a rate not accepted, no channel, an unknown type code or a
// channel count whose token size would not fit in 32 bits; null with -12
// when the processor object cannot be allocated; error 0 otherwise. Memory
// exhausted while building the channels throws std::bad_alloc (nothing
// leaks). Any thread; it allocates, so not from an audio callback.
std::unique_ptr<BaseORV> createOrv(std::uint32_t sampleRate, std::uint32_t channels, std::uint32_t inputType,
                                   std::uint32_t processingType, std::int32_t& error);

}  // namespace orv
