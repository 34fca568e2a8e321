#include "orv-fx/processor/OrvChannel.h"

#include "orv-fx/processor/OrvPreset.h"
#include "orv-fx/processor/OrvSampleRates.h"
#include "tests/support/WhiteNoise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

using namespace orv;
using vbz_test::WhiteNoise;

namespace {

template <typename U>
class OrvChannelTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(OrvChannelTest, Precisions);

template <typename U>
std::vector<uint8_t> encode(OrvChannel<U>& channel, const std::vector<U>& block) {
    std::vector<U> scratch(channel.blockLength());
    std::vector<uint8_t> token(OrvChannel<U>::tokenSize());
    EXPECT_TRUE(channel.encodeBlock(block, token.data(), scratch));
    return token;
}

}  // namespace

TEST(OrvChannel, BlockLengthsAndTokenSizes) {
    const uint64_t expected[] = {10, 20, 40, 80, 160, 320, 640, 882, 960, 1764, 1920};
    for (std::size_t i = 0; i < kOrvSampleRates.size(); ++i) {
        EXPECT_EQ(OrvChannel<float>(kOrvSampleRates[i], 0).blockLength(), expected[i]) << kOrvSampleRates[i];
        EXPECT_EQ(OrvChannel<double>(kOrvSampleRates[i], 3).blockLength(), expected[i]) << kOrvSampleRates[i];
    }
    EXPECT_EQ(OrvChannel<float>::tokenSize(), 16u);
    EXPECT_EQ(OrvChannel<double>::tokenSize(), 32u);
    // A rate beyond the signed 32-bit range has no blocks.
    EXPECT_EQ(OrvChannel<float>(0x80000000u, 0).blockLength(), 0u);
}

// A steady full-scale 100 Hz sine into a fresh Default channel at 48000 Hz:
// band 2 rises to 1 twice, then sinks as the smoothed energy catches up.
TYPED_TEST(OrvChannelTest, SteadySineAtOneHundredHertz) {
    using U = TypeParam;
    OrvChannel<U> channel(48000, 0);
    const double expectedBand2[] = {1, 1, 0.960, 0.922, 0.885, 0.850};
    std::vector<U> block(960);
    for (std::size_t b = 0; b < 6; ++b) {
        for (std::size_t j = 0; j < block.size(); ++j) {
            const double n = static_cast<double>(b * block.size() + j);
            block[j] = static_cast<U>(std::sin(2.0 * std::numbers::pi * 100.0 * n / 48000.0));
        }
        const std::vector<uint8_t> token = encode(channel, block);
        const OrvToken<U> read = OrvToken<U>::read(token.data());
        EXPECT_EQ(read.bands, channel.bands());
        EXPECT_NEAR(read.bands[1], expectedBand2[b], 2e-3) << "block " << b;
        EXPECT_LT(read.bands[2], U(1e-3)) << "block " << b;
        EXPECT_LT(read.bands[3], U(1e-3)) << "block " << b;
    }
}

// A band without a filter at the rate stays 0 under white noise; every band
// with one responds.
TYPED_TEST(OrvChannelTest, RateGatingWithWhiteNoise) {
    using U = TypeParam;
    for (uint32_t preset = 0; preset < kOrvPresetCount; ++preset) {
        for (uint32_t rate : kOrvSampleRates) {
            const bool smooth = preset == 3;
            const bool hasFilter[4] = {rate >= 4000, true, rate >= 16000, rate >= (smooth ? 16000u : 32000u)};
            OrvChannel<U> channel(rate, preset);
            WhiteNoise noise;
            bool nonZero[4] = {false, false, false, false};
            std::vector<U> block(channel.blockLength());
            for (int b = 0; b < 8; ++b) {
                for (U& x : block) x = static_cast<U>(noise.next());
                encode(channel, block);
                for (std::size_t k = 0; k < 4; ++k) nonZero[k] = nonZero[k] || channel.bands()[k] != U(0);
            }
            for (std::size_t k = 0; k < 4; ++k) {
                EXPECT_EQ(nonZero[k], hasFilter[k]) << "preset " << preset << " rate " << rate << " band " << k + 1;
                EXPECT_EQ(channel.detector(k).filter().isEmpty(), !hasFilter[k]);
            }
        }
    }
}

TYPED_TEST(OrvChannelTest, SilenceAndRepeatedBlocks) {
    using U = TypeParam;
    OrvChannel<U> channel(44100, 1);
    const std::vector<uint8_t> zeros(OrvChannel<U>::tokenSize(), 0);
    const std::vector<U> silence(channel.blockLength(), U(0));
    EXPECT_EQ(encode(channel, silence), zeros);

    WhiteNoise noise;
    std::vector<U> loud(channel.blockLength());
    for (U& x : loud) x = static_cast<U>(noise.next());
    const std::vector<uint8_t> first = encode(channel, loud);
    // The same block again: smoothed and peak have moved.
    EXPECT_NE(encode(channel, loud), first);
    // After loud audio, silence is zeros from its first block on.
    EXPECT_EQ(encode(channel, silence), zeros);
    EXPECT_EQ(encode(channel, silence), zeros);
    // Analysis leaves the block itself unfiltered.
    std::vector<U> copy = loud;
    encode(channel, copy);
    EXPECT_EQ(copy, loud);
}

TYPED_TEST(OrvChannelTest, WrongBufferLengthsTouchNothing) {
    using U = TypeParam;
    OrvChannel<U> channel(1000, 0);
    OrvChannel<U> untouched(1000, 0);
    std::vector<U> block(20, U(0.5));
    std::vector<U> scratch(20, U(-3));
    std::vector<uint8_t> token(OrvChannel<U>::tokenSize(), 0xAB);
    const std::vector<uint8_t> before = token;
    std::vector<U> shortBlock(19, U(0.5));
    std::vector<U> longScratch(21, U(-3));
    EXPECT_FALSE(channel.encodeBlock(shortBlock, token.data(), scratch));
    EXPECT_FALSE(channel.encodeBlock(block, token.data(), longScratch));
    EXPECT_FALSE(channel.encodeBlock(block, token.data(), std::span<U>()));
    EXPECT_FALSE(channel.encodeBlock(block, nullptr, scratch));
    EXPECT_EQ(token, before);
    EXPECT_EQ(scratch, std::vector<U>(20, U(-3)));
    // The refused calls left the detectors where they were.
    EXPECT_EQ(encode(channel, block), encode(untouched, block));
}

TEST(OrvToken, FloatTokenBytes) {
    uint8_t bytes[16];
    OrvToken<float>{{1.0f, 0.0f, 0.5f, 0.0f}}.write(bytes);
    const uint8_t expected[16] = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(bytes, expected, 16), 0);
    EXPECT_EQ(OrvToken<float>::read(bytes).bands, (std::array<float, 4>{1.0f, 0.0f, 0.5f, 0.0f}));
}

TEST(OrvToken, DoubleTokenBytes) {
    uint8_t bytes[32];
    OrvToken<double>{{1.0, 0.25, -2.0, 0.1}}.write(bytes);
    const uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    const uint8_t minusTwo[8] = {0, 0, 0, 0, 0, 0, 0x00, 0xC0};
    EXPECT_EQ(std::memcmp(bytes, one, 8), 0);
    EXPECT_EQ(std::memcmp(bytes + 16, minusTwo, 8), 0);
    // Foreign values come back as written, without range checks.
    EXPECT_EQ(OrvToken<double>::read(bytes).bands, (std::array<double, 4>{1.0, 0.25, -2.0, 0.1}));
}

