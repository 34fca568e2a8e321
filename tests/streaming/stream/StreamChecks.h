// Checks shared by the vest-stream tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "streaming/StreamDataFrame.h"
#include "tests/support/FakeSampleSource.h"
#include "tools/vest-emulator/StreamingVest.h"

namespace vbz_test {

// Every decoded sample equals the fake source's value at its time, as the
// vest's decoder gives it back. Requests whose spans are not whole samples
// (or are cut to fit the payload) leave the source up to one 2000 Hz sample
// behind the vest's time stamps; with lagging allowed, the value of the
// sample just before is accepted too.
inline void expectSamplesOfTheSource(const std::vector<vbz::emu::StreamBlock>& blocks,
                                     unsigned channels, bool lagging = false) {
    int checked = 0;
    for (const auto& b : blocks) {
        if (!b.answered) continue;
        const uint8_t depth = b.encoding & 0x03;
        const double rate = vbz::sampleRateFromCode(static_cast<uint8_t>(b.encoding >> 2));
        for (unsigned i = 0; i < b.samples; ++i)
            for (unsigned ch = 0; ch < channels; ++ch) {
                const uint64_t t = b.timestampUs + static_cast<uint64_t>(i * 1e6 / rate);
                const auto want = [&](uint64_t at) {
                    return vbz::emu::quantized(
                        depth,
                        ch < 20 ? static_cast<float>(FakeSampleSource::expected(ch, at)) : 0.0f);
                };
                const float got = b.values[i * channels + ch];
                if (lagging && t >= 500 && got == want(t - 500)) continue;
                ASSERT_EQ(got, want(t))
                    << "request at " << b.timestampUs << " sample " << i << " channel " << ch;
                ++checked;
            }
    }
    EXPECT_GT(checked, 0);
}

}  // namespace vbz_test
