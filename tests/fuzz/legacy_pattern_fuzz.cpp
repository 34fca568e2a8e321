// Pattern text through the legacy back-end's pattern model: Pattern::create
// (the engine's validation, then the legacy readers), and for a pattern it
// takes, the play message of every sample, with play properties taken from
// the input's first bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sequencer/Pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const float volume = static_cast<float>(data[0]) / 50.0f;
    const float speed = static_cast<float>(data[1] % 64 + 1) / 16.0f;
    const int boost = static_cast<int8_t>(data[2]);
    vbz::seq::SpatialBlock spatial;
    spatial.heading = static_cast<float>(data[3]) * 3.0f;
    spatial.rightLeftInversion = data[3] & 1;
    spatial.upDownAddition = data[3] & 2;
    const std::string text(reinterpret_cast<const char*>(data + 4), size - 4);
    int error = 0;
    const auto pattern = vbz::seq::Pattern::create(text, error);
    if (!pattern) return 0;
    vbz::seq::PlayMessage message{};
    for (int i = 0; i < pattern->trackCount(); ++i)
        for (int j = 0; j < pattern->sampleCount(i); ++j) {
            const int n = pattern->playSample(i, j, volume, speed, (i + j) % 2 == 1, 0.0f, spatial,
                                              boost, -boost, j % 2 == 0, message);
            if (n > static_cast<int>(message.size())) __builtin_trap();
        }
    return 0;
}
