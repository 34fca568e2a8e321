// The processor for one pair of interface sample type T and processing
// precision U: the block loops that deinterleave, convert and zero-pad the
// caller's samples around one OrvChannel per audio channel, and interleave
// the results back. Made only by createOrv (ORV.cpp), which instantiates the
// eight pairs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "orv-fx/processor/BaseORV.h"
#include "orv-fx/processor/OrvChannel.h"
#include "orv-fx/processor/OrvPreset.h"
#include "orv-fx/processor/SampleConversion.h"

namespace orv {

template <class T>
constexpr std::int32_t inputTypeCode() {
    if constexpr (std::is_same_v<T, std::int16_t>) return kInputShort;
    else if constexpr (std::is_same_v<T, std::int32_t>) return kInputInt;
    else if constexpr (std::is_same_v<T, float>) return kInputFloat;
    else return kInputDouble;
}

template <class T, class U>
class ORV final : public BaseORV {
public:
    // Empty; init fills it, so that the object itself is allocated apart
    // from its channels and work blocks.
    ORV() = default;

    // Builds the channels and work blocks for the rate and channel count
    // (both checked by createOrv). Throws std::bad_alloc.
    void init(std::uint32_t rate, std::uint32_t channelTotal) {
        sampleRate = rate;
        channelCount = channelTotal;
        preset = 0;
        channels = buildChannels();
        tokenBytesPerBlock = 0;
        for (const auto& channel : channels) tokenBytesPerBlock += channel.tokenSize();
        workA.assign(channels.front().blockLength(), U(0));
        workB.assign(workA.size(), U(0));
        samplesPerBlock = static_cast<std::uint64_t>(channelCount) * workA.size();
    }

    void reset() override {
        for (auto& channel : channels) channel.reset();
    }
    std::uint64_t getBlockSize() override { return workA.size(); }
    std::uint32_t getSampleRate() override { return sampleRate; }
    std::uint32_t getChannelCount() override { return channelCount; }
    std::int32_t getInputType() override { return inputTypeCode<T>(); }
    std::int32_t getProcessingType() override {
        return std::is_same_v<U, float> ? kProcessFloat : kProcessDouble;
    }
    std::uint32_t getTokenBytes(std::uint64_t frames) override {
        if (workA.empty()) return 0;
        const std::uint64_t blocks = frames / workA.size() + (frames % workA.size() != 0 ? 1 : 0);
        // Truncating to 32 bits would have the caller under-allocate.
        if (blocks > std::numeric_limits<std::uint32_t>::max() / tokenBytesPerBlock) return 0;
        return static_cast<std::uint32_t>(blocks * tokenBytesPerBlock);
    }
    std::uint32_t getPreset() override { return preset; }
    void setPreset(std::uint32_t p) override {
        if (p >= kOrvPresetCount) return;
        preset = p;
        // Built aside first: a failed allocation leaves the old channels.
        auto fresh = buildChannels();
        channels.swap(fresh);
    }

    bool process(const double* in, double* out, std::uint64_t frames) override { return processAs(in, out, frames); }
    bool process(const float* in, float* out, std::uint64_t frames) override { return processAs(in, out, frames); }
    bool process(const std::int32_t* in, std::int32_t* out, std::uint64_t frames) override {
        return processAs(in, out, frames);
    }
    bool process(const std::int16_t* in, std::int16_t* out, std::uint64_t frames) override {
        return processAs(in, out, frames);
    }
    bool encode(const double* in, std::uint8_t* tokens, std::uint64_t frames) override {
        return encodeAs(in, tokens, frames);
    }
    bool encode(const float* in, std::uint8_t* tokens, std::uint64_t frames) override {
        return encodeAs(in, tokens, frames);
    }
    bool encode(const std::int32_t* in, std::uint8_t* tokens, std::uint64_t frames) override {
        return encodeAs(in, tokens, frames);
    }
    bool encode(const std::int16_t* in, std::uint8_t* tokens, std::uint64_t frames) override {
        return encodeAs(in, tokens, frames);
    }
    bool decode(const std::uint8_t* tokens, std::uint64_t tokenBytes, double* out, std::uint64_t frames) override {
        return decodeAs(tokens, tokenBytes, out, frames);
    }
    bool decode(const std::uint8_t* tokens, std::uint64_t tokenBytes, float* out, std::uint64_t frames) override {
        return decodeAs(tokens, tokenBytes, out, frames);
    }
    bool decode(const std::uint8_t* tokens, std::uint64_t tokenBytes, std::int32_t* out,
                std::uint64_t frames) override {
        return decodeAs(tokens, tokenBytes, out, frames);
    }
    bool decode(const std::uint8_t* tokens, std::uint64_t tokenBytes, std::int16_t* out,
                std::uint64_t frames) override {
        return decodeAs(tokens, tokenBytes, out, frames);
    }

private:
    std::vector<OrvChannel<U>> buildChannels() const {
        std::vector<OrvChannel<U>> built;
        built.reserve(channelCount);
        for (std::uint32_t c = 0; c < channelCount; ++c) built.emplace_back(sampleRate, preset);
        return built;
    }

    // Checks shared by the three loops: false for a call that cannot be
    // served (a null buffer with frames to handle, a sample count beyond 64
    // bits); frames == 0 is served by doing nothing.
    bool usable(bool buffersGiven, std::uint64_t frames) const {
        if (channelCount == 0 || samplesPerBlock == 0) return false;
        if (frames == 0) return true;
        if (!buffersGiven) return false;
        return frames <= std::numeric_limits<std::uint64_t>::max() / channelCount;
    }

    // Copies channel c of the frames [first, first + count) into workA and
    // zero-pads the rest of the block.
    template <class S>
    void deinterleave(const S* in, std::uint64_t first, std::uint64_t count, std::uint32_t c) {
        const S* src = in + first * channelCount + c;
        for (std::uint64_t j = 0; j < count; ++j) workA[j] = toProcessing<U>(src[j * channelCount]);
        std::fill(workA.begin() + static_cast<std::ptrdiff_t>(count), workA.end(), U(0));
    }

    template <class S>
    void interleave(S* out, std::uint64_t first, std::uint64_t count, std::uint32_t c) const {
        S* dst = out + first * channelCount + c;
        for (std::uint64_t j = 0; j < count; ++j) dst[j * channelCount] = fromProcessing<S>(workA[j]);
    }

    // Runs step(first frame, frame count, channel) for every channel of every
    // block in order, a last block being partial, and ands the results; every
    // step runs even after a failed one.
    template <class Step>
    bool eachBlock(std::uint64_t frames, Step&& step) {
        bool ok = true;
        for (std::uint64_t first = 0; first < frames;) {
            const std::uint64_t count = std::min<std::uint64_t>(workA.size(), frames - first);
            for (std::uint32_t c = 0; c < channelCount; ++c) ok = step(first, count, c) && ok;
            first += count;
        }
        return ok;
    }

    template <class S>
    bool encodeAs(const S* in, std::uint8_t* tokens, std::uint64_t frames) {
        if constexpr (!std::is_same_v<S, T>) {
            return false;
        } else {
            if (!usable(in != nullptr && tokens != nullptr, frames)) return false;
            std::uint64_t offset = 0;
            return eachBlock(frames, [&](std::uint64_t first, std::uint64_t count, std::uint32_t c) {
                deinterleave(in, first, count, c);
                const bool done = channels[c].encodeBlock(std::span<const U>(workA), tokens + offset, std::span<U>(workB));
                offset += channels[c].tokenSize();
                return done;
            });
        }
    }

    template <class S>
    bool decodeAs(const std::uint8_t* tokens, std::uint64_t tokenBytes, S* out, std::uint64_t frames) {
        if constexpr (!std::is_same_v<S, T>) {
            return false;
        } else {
            if (!usable(out != nullptr && (tokens != nullptr || tokenBytes == 0), frames)) return false;
            std::uint64_t start = 0;
            return eachBlock(frames, [&](std::uint64_t first, std::uint64_t count, std::uint32_t c) {
                const std::uint32_t size = channels[c].tokenSize();
                bool done = true;
                if (start > tokenBytes || tokenBytes - start < size) {
                    // A missing token is silence; the channel does not advance.
                    std::fill(workA.begin(), workA.end(), U(0));
                } else {
                    done = channels[c].decodeBlock(tokens + start, std::span<U>(workA), std::span<U>(workB));
                }
                start += size;
                interleave(out, first, count, c);
                return done;
            });
        }
    }

    template <class S>
    bool processAs(const S* in, S* out, std::uint64_t frames) {
        if constexpr (!std::is_same_v<S, T>) {
            return false;
        } else {
            if (!usable(in != nullptr && out != nullptr, frames)) return false;
            return eachBlock(frames, [&](std::uint64_t first, std::uint64_t count, std::uint32_t c) {
                deinterleave(in, first, count, c);
                const bool done = channels[c].processBlock(std::span<U>(workA), std::span<U>(workB));
                interleave(out, first, count, c);
                return done;
            });
        }
    }

    std::vector<OrvChannel<U>> channels;
    std::vector<U> workA;
    std::vector<U> workB;
    std::uint32_t channelCount = 0;
    std::uint32_t sampleRate = 0;
    std::uint64_t samplesPerBlock = 0;
    std::uint32_t tokenBytesPerBlock = 0;
    std::uint32_t preset = 0;
};

}  // namespace orv
