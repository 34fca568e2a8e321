// Captured audio from outside through the audio-to-haptics encode side: the
// capture callback of a loopback device (over the fake audio host) turns
// float frames (NaN, infinities and samples far beyond full scale included)
// into haptics, which the sample source renders as a stream would. The first
// two bytes choose the device's channels and rate, the output rate and the
// preset; then each callback is one byte (top bit: the host gave no buffer;
// the rest: frames) followed by its frames, cut short where the input ends.
// Every rendered sample must be finite and within [-1, 1].
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "orv-fx/OrvCore.h"
#include "sdk/core/LogLine.h"
#include "tests/support/FakeAudioHost.h"

namespace {
constexpr double kInputRates[] = {16000, 32000, 44100, 48000, 88200, 96000, 8000, 500};
constexpr double kOutputRates[] = {500, 1000, 2000, 48000};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    vbz::setMinLogLevel(5);
    const int channels = data[0] % 8 + 1;
    vbz_test::FakeAudioHost host;
    host.addOutput("Speakers", 1, channels);
    const PaDeviceIndex device = host.addLoopback("Speakers [Loopback]", channels);
    host.devices[static_cast<std::size_t>(device)].defaultSampleRate = kInputRates[(data[0] >> 3) % 8];
    vbz_test::ScopedAudioHost installed(host);
    {
        vbz::OrvCore core;
        core.setPreset(data[1] % 4);
        core.setVolume(static_cast<float>(data[1] >> 4) / 4.0f);
        core.setBufferSize(25);
        core.setSampleRate(kOutputRates[(data[1] >> 2) % 4]);
        core.setDevice({device, "Speakers [Loopback]"});
        std::vector<float> frames;
        std::size_t i = 2;
        while (i < size && !host.streams.empty()) {
            const bool missing = (data[i] & 0x80) != 0;
            unsigned long count = data[i] & 0x7f;
            ++i;
            const auto& stream = host.streams.back();
            if (missing) {
                stream.callback(nullptr, nullptr, count, nullptr, 0, stream.userData);
            } else {
                const std::size_t floats = (size - i) / sizeof(float);
                count = std::min<unsigned long>(count, static_cast<unsigned long>(floats / channels));
                frames.resize(count * static_cast<std::size_t>(channels));
                if (!frames.empty()) std::memcpy(frames.data(), data + i, frames.size() * sizeof(float));
                i += frames.size() * sizeof(float);
                stream.callback(frames.data(), nullptr, count, nullptr, 0, stream.userData);
            }
            core.render();
            for (unsigned k = 0; k < core.getBufferSize(); ++k) {
                const double s = core.getSample(0, k);
                if (!(s >= -1.0 && s <= 1.0)) __builtin_trap();
            }
        }
    }
    return 0;
}
