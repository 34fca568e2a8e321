// The engine as a sample source: the stream's settings reach the engine, and
// a playing effect comes out of the blocks.
#include "streaming/TesCore.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/StreamPatterns.h"

using namespace vbz;

TEST(TesCore, BlocksHaveTheStreamsSizeAndRateAndTheLayoutsChannels) {
    TesCore src(tsr::makeDefaultLayout(), 48000.0, 512);
    EXPECT_EQ(src.getChannelCount(), 20u);
    EXPECT_TRUE(src.isPlaying());  // also with nothing playing
    src.setSampleRate(2000.0);
    src.setBufferSize(25);
    src.render();
    EXPECT_EQ(src.getBufferSize(), 25u);
    EXPECT_EQ(src.getSampleRate(), 2000.0);
    for (unsigned c = 0; c < 20; ++c)
        for (unsigned i = 0; i < 25; ++i) ASSERT_EQ(src.getSample(c, i), 0.0);

    // An empty block is one sample; a rate not above 0 is refused.
    src.setBufferSize(0);
    EXPECT_EQ(src.getBufferSize(), 1u);
    src.setSampleRate(-5.0);
    src.setSampleRate(std::nan(""));
    EXPECT_EQ(src.getSampleRate(), 2000.0);
}

TEST(TesCore, APlayingEffectFillsTheBlocks) {
    TesCore src(tsr::makeDefaultLayout(), 2000.0, 25);
    auto& core = src.core();
    const int pattern = core.pattern_load_from_vpt(vbz_test::endlessPattern(*core.layout_get()), -1);
    ASSERT_GE(pattern, 0);
    const int id = core.sequence_new(pattern, false, -1);
    ASSERT_EQ(core.sequence_play(id, 0.0, 0.0), 0);
    double energy = 0.0;
    for (int block = 0; block < 40; ++block) {
        src.render();
        for (unsigned c = 0; c < src.getChannelCount(); ++c)
            for (unsigned i = 0; i < src.getBufferSize(); ++i) {
                const double v = src.getSample(c, i);
                ASSERT_LE(std::fabs(v), 1.0);
                energy += v * v;
            }
    }
    EXPECT_GT(energy, 0.0);
}
