#include "tessaron-core/src/signal/PlaybackGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tessaron-core/src/signal/EngineClock.h"
#include "tessaron-core/src/signal/SignalBank.h"
#include "tessaron-core/src/signal/SignalSyncTable.h"

using nlohmann::json;
using tsr::PlaybackGenerator;

namespace {

json sampleOf(json index, json startCrop = 0.0, json stopCrop = 0.0) {
    return {{"signalIndex", index}, {"startCrop", startCrop}, {"stopCrop", stopCrop}};
}

class Playback : public ::testing::Test {
protected:
    void SetUp() override {
        tsr::resetEngineClockForTesting();
        tsr::clearSignalSyncTableForTesting();
    }
};

}  // namespace

TEST_F(Playback, IndexFlagsAndCrops) {
    PlaybackGenerator sync5(sampleOf(65541));
    EXPECT_TRUE(sync5.isSynchronized());
    EXPECT_EQ(sync5.index(), 5u);

    for (const json& index : {json(204), json(131071), json(-1), json(1e30)}) {
        PlaybackGenerator empty(sampleOf(index, 1.0, 2.0));
        EXPECT_EQ(empty.index(), 0u) << index;
        EXPECT_EQ(empty.cropStart(), 0u);
        EXPECT_EQ(empty.cropEnd(), 0u);
        EXPECT_EQ(empty.duration(), 0.0);
        EXPECT_EQ(empty.contentKey(), 0u);
        std::vector<float> out(64, 7.0f);
        EXPECT_EQ(empty.render(8000.0, 1.0f, out, 0.0), 0u);
        EXPECT_EQ(out[0], 7.0f);
    }
    EXPECT_FALSE(PlaybackGenerator(sampleOf(204)).isSynchronized());
    EXPECT_TRUE(PlaybackGenerator(sampleOf(131071)).isSynchronized());
    // Floating-point indices truncate and saturate.
    EXPECT_EQ(PlaybackGenerator(sampleOf(5.9)).index(), 5u);
    EXPECT_EQ(PlaybackGenerator(sampleOf(-3.5)).index(), 0u);

    const uint64_t len3 = tsr::signalLength(3);
    PlaybackGenerator whole(sampleOf(3));
    EXPECT_EQ(whole.cropStart(), 0u);
    EXPECT_EQ(whole.cropEnd(), len3);
    EXPECT_EQ(whole.nextSample(), 0.0f);
    EXPECT_DOUBLE_EQ(whole.duration(), static_cast<double>(len3) / 8000.0);

    PlaybackGenerator crop(sampleOf(3, 1.0, 2.0));
    EXPECT_EQ(crop.cropStart(), 8000u);
    EXPECT_EQ(crop.cropEnd(), 16000u);
    EXPECT_EQ(crop.duration(), 1.0);
    EXPECT_EQ(crop.nextSample(), *tsr::signalSamples(3, 16000));
    EXPECT_EQ(crop.contentKey(), 1050624003u);

    PlaybackGenerator beyondStop(sampleOf(3, 1.0, 1000.0));
    EXPECT_EQ(beyondStop.cropEnd(), len3);
    PlaybackGenerator beyondStart(sampleOf(3, 1000.0, 0.0));
    EXPECT_EQ(beyondStart.cropStart(), len3);
    EXPECT_EQ(beyondStart.duration(), 0.0);
    PlaybackGenerator reversed(sampleOf(3, 0.5, 0.25));
    EXPECT_EQ(reversed.cropStart(), 4000u);
    EXPECT_EQ(reversed.cropEnd(), 4000u);
    EXPECT_EQ(PlaybackGenerator(sampleOf(3, 0.0000625)).cropStart(), 1u);
    EXPECT_EQ(PlaybackGenerator(sampleOf(3, 0.00006)).cropStart(), 0u);
    EXPECT_EQ(PlaybackGenerator(sampleOf(3, 1e300)).cropStart(), len3);
}

TEST_F(Playback, NonNumbersRaiseTheLibraryTypeError) {
    const std::vector<json> bad = {
        sampleOf("3"),
        sampleOf(3, "0"),
        sampleOf(3, 0, nullptr),
        json{{"signalIndex", 3}, {"stopCrop", 0}},
        json::array(),
    };
    for (const json& sample : bad) {
        try {
            PlaybackGenerator g(sample);
            ADD_FAILURE() << "accepted " << sample;
        } catch (const json::type_error& e) {
            EXPECT_EQ(e.id, 302) << sample;
        }
    }
}

TEST_F(Playback, CropPlaysItsSamplesOneForOneAtTheBankRate) {
    PlaybackGenerator g(sampleOf(3, 1.0, 2.0));
    const float* source = tsr::signalSamples(3, 8000);
    std::vector<float> played;
    std::vector<float> buf(300);
    uint64_t n;
    while ((n = g.render(8000.0, 0.5f, buf, 0.0)) > 0) {
        played.insert(played.end(), buf.begin(), buf.begin() + static_cast<long>(n));
    }
    ASSERT_EQ(played.size(), 8000u);
    for (std::size_t i = 0; i < played.size(); ++i) {
        ASSERT_EQ(played[i], source[i] * 0.5f) << i;
    }
    EXPECT_DOUBLE_EQ(g.time(), 1.0);
    EXPECT_EQ(g.playhead(), 16000u);
}

TEST_F(Playback, OutputRateScalesTheCountButNotTheContentTime) {
    // The effect passes rate / speed: speed 2 at 8000 Hz is 4000 Hz.
    for (const auto& [rate, expected] : {std::pair{4000.0, 4000u}, std::pair{16000.0, 16000u},
                                         std::pair{1000.0, 1000u}}) {
        PlaybackGenerator g(sampleOf(3, 1.0, 2.0));
        std::vector<float> buf(512);
        uint64_t total = 0;
        uint64_t n;
        while ((n = g.render(rate, 1.0f, buf, 0.0)) > 0) total += n;
        EXPECT_EQ(total, expected) << rate;
        EXPECT_NEAR(g.time(), 1.0, 1e-9) << rate;
        EXPECT_EQ(g.duration(), 1.0);
    }
}

TEST_F(Playback, SetTimeRepositionsWithinTheCrop) {
    PlaybackGenerator g(sampleOf(3, 1.0, 2.0));
    g.setTime(0.5);
    EXPECT_EQ(g.playhead(), 12000u);
    std::vector<float> buf(10);
    ASSERT_EQ(g.render(8000.0, 1.0f, buf, 0.0), 10u);
    EXPECT_EQ(buf[0], *tsr::signalSamples(3, 12000));
    EXPECT_EQ(buf[9], *tsr::signalSamples(3, 12009));

    g.setTime(5.0);  // past the crop
    EXPECT_EQ(g.playhead(), 16000u);
    std::fill(buf.begin(), buf.end(), 9.0f);
    EXPECT_EQ(g.render(8000.0, 1.0f, buf, 0.0), 0u);
    EXPECT_EQ(buf[0], 9.0f);

    g.setTime(1e300);  // start + a huge count saturates instead of wrapping
    EXPECT_EQ(g.playhead(), 16000u);
    g.setTime(-1.5);
    EXPECT_EQ(g.time(), 0.0);
    EXPECT_EQ(g.playhead(), 8000u);
    g.setTime(std::nan(""));
    EXPECT_EQ(g.time(), 0.0);
    EXPECT_EQ(g.playhead(), 8000u);
}

TEST_F(Playback, RefusedRatesAndEmptyBuffersProduceNothing) {
    PlaybackGenerator g(sampleOf(3, 1.0, 2.0));
    std::vector<float> buf(16, 3.0f);
    for (double rate : {0.0, -8000.0, 7.9, 8000001.0, std::nan(""),
                        std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(g.render(rate, 1.0f, buf, 0.0), 0u) << rate;
        EXPECT_EQ(g.playhead(), 8000u) << rate;
        EXPECT_EQ(g.time(), 0.0) << rate;  // never NaN
    }
    EXPECT_EQ(buf[0], 3.0f);
    std::vector<float> none;
    EXPECT_EQ(g.render(8000.0, 1.0f, none, 0.0), 0u);
    EXPECT_EQ(g.time(), 0.0);
    EXPECT_GT(g.render(8.0, 1.0f, buf, 0.0), 0u);  // ratio 1000 is accepted
}

// Rendering a row in blocks is rendering it in one: the low-pass cascade
// (active at these rates for rows 0 and 11, bands 68-368 Hz and 143-419 Hz)
// keeps its states from one block to the next instead of restarting from
// rest, which made a click at every block boundary.
TEST_F(Playback, BlocksOfAnySizeRenderAsOneBlock) {
    for (uint64_t row : {0u, 11u}) {
        for (double rate : {500.0, 640.0, 800.0}) {
            const auto play = [&](std::size_t block) {
                PlaybackGenerator g(sampleOf(row, 0.05, 1.5));
                std::vector<float> all;
                std::vector<float> buf(block);
                uint64_t n;
                while ((n = g.render(rate, 1.0f, buf, 0.0)) > 0) {
                    all.insert(all.end(), buf.begin(), buf.begin() + static_cast<long>(n));
                }
                return all;
            };
            const std::vector<float> whole = play(100000);
            ASSERT_GT(whole.size(), 500u);
            for (std::size_t block : {25u, 50u, 100u, 512u}) {
                const std::vector<float> blocks = play(block);
                ASSERT_EQ(blocks.size(), whole.size()) << row << " " << rate << " " << block;
                for (std::size_t i = 0; i < whole.size(); ++i) {
                    ASSERT_NEAR(blocks[i], whole[i], 1e-6) << row << " " << rate << " " << block << " " << i;
                }
            }
        }
    }
}
