// Tokens from outside through the audio-to-haptics decoder: the first bytes
// choose the rate, channel count, precision and preset, the rest are the
// token stream, decoded for a frame count that may ask for more blocks than
// the stream holds. The output must stay finite.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "orv-fx/orvfx.h"

namespace {
constexpr uint32_t kRates[] = {500, 1000, 2000, 4000, 8000, 16000, 32000, 44100, 48000, 88200, 96000};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint32_t rate = kRates[data[0] % 11];
    const uint32_t channels = data[1] % 4 + 1;
    const uint32_t precision = data[2] & 1;
    const uint32_t preset = (data[2] >> 1) % 5;  // 4 is refused
    const uint64_t blocks = data[3] % 8 + 1;
    orvfx_processor_t* p = orvfx_create(rate, channels, ORVFX_INPUT_F32, precision);
    if (!p) __builtin_trap();
    (void)orvfx_set_preset(p, preset);
    // A last block cut short by up to 15 frames (never below one frame).
    const uint64_t blockSize = static_cast<uint64_t>(orvfx_block_size(p));
    const uint64_t frames = blocks * blockSize - std::min<uint64_t>(data[3] >> 4, blockSize - 1);
    std::vector<float> out(frames * channels);
    if (orvfx_decode_f32(p, data + 4, size - 4, out.data(), frames) != ORVFX_SUCCESS) __builtin_trap();
    for (float v : out)
        if (!std::isfinite(v)) __builtin_trap();
    orvfx_destroy(p);
    return 0;
}
