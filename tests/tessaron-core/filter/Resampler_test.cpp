#include "tessaron-core/src/filter/Resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

using tsr::ResampleJob;
using tsr::Resampler;

namespace {

constexpr double kSourceRate = 8000.0;

// Filter off for any output rate used here: the band lies far below every
// Nyquist frequency.
constexpr double kLowBandLow = 1.0;
constexpr double kLowBandHigh = 10.0;

struct Block {
    int32_t result;
    std::vector<float> out;
    uint64_t consumed;
};

Block run(Resampler& r, const float* src, uint64_t length, bool useNext, float next, uint64_t capacity,
          double outputRate, double bandLow = kLowBandLow, double bandHigh = kLowBandHigh) {
    ResampleJob job;
    std::vector<float> out(capacity, -99.0f);
    job.setSource(src, length, useNext, next);
    job.setDestination(out.data(), capacity);
    job.setRatio(kSourceRate, outputRate);
    r.configure(outputRate, bandLow, bandHigh, job);
    const int32_t result = r.process(job);
    out.resize(job.produced());
    return {result, out, job.consumed()};
}

std::vector<float> tone(double freq, std::size_t n) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * freq * static_cast<double>(i) / kSourceRate));
    }
    return x;
}

// Plays a whole source through the resampler in blocks of `block` outputs, as
// the playback generator does.
std::vector<float> playInBlocks(const std::vector<float>& src, double outputRate, uint64_t block, double bandLow,
                                double bandHigh) {
    Resampler r;
    std::vector<float> all;
    uint64_t read = 0;
    for (int guard = 0; guard < 100000 && read < src.size(); ++guard) {
        const uint64_t left = src.size() - read;
        Block b = run(r, src.data() + read, left, false, 0.0f, block, outputRate, bandLow, bandHigh);
        EXPECT_EQ(b.result, 0);
        all.insert(all.end(), b.out.begin(), b.out.end());
        read += b.consumed;
        if (b.out.empty()) break;
    }
    return all;
}

double rms(const std::vector<float>& x, std::size_t from) {
    double sum = 0.0;
    for (std::size_t i = from; i < x.size(); ++i) sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / static_cast<double>(x.size() - from));
}

}  // namespace

TEST(Resampler, RefusesBadJobsAndChangesNothing) {
    const float src[3] = {0.1f, 0.2f, 0.3f};
    float out[4] = {7.0f, 7.0f, 7.0f, 7.0f};
    Resampler r;
    r.position = 0.5;
    r.previousSample = 0.25f;
    const auto refused = [&](ResampleJob& job) {
        EXPECT_EQ(r.process(job), Resampler::kInvalidArgument);
        EXPECT_EQ(job.consumed(), 0u);
        EXPECT_EQ(job.produced(), 0u);
        EXPECT_EQ(r.position, 0.5);
        EXPECT_EQ(r.previousSample, 0.25f);
        EXPECT_EQ(out[0], 7.0f);
    };
    ResampleJob job;
    job.setSource(nullptr, 3, false, 0.0f);
    job.setDestination(out, 4);
    refused(job);
    job.setSource(src, 3, false, 0.0f);
    job.setDestination(nullptr, 4);
    refused(job);
    job.setDestination(out, 4);
    for (double ratio : {1000.0000001, 0.000999, 0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        job.ratio = ratio;
        refused(job);
    }
    // A null buffer of length 0 is no error.
    ResampleJob empty;
    empty.setSource(nullptr, 0, false, 0.0f);
    empty.setDestination(nullptr, 0);
    EXPECT_EQ(r.process(empty), 0);
}

TEST(Resampler, RatioLimitsPassAndAJobRunsOnce) {
    const std::vector<float> src(3000, 0.5f);
    for (double ratio : {1000.0, 0.001}) {
        Resampler r;
        std::vector<float> out(8);
        ResampleJob job;
        job.setSource(src.data(), src.size(), false, 0.0f);
        job.setDestination(out.data(), out.size());
        job.ratio = ratio;
        r.configure(kSourceRate / ratio, kLowBandLow, kLowBandHigh, job);
        EXPECT_EQ(r.process(job), 0) << ratio;
        EXPECT_GT(job.produced(), 0u);
        // The same job again, without new setSource/setDestination, is refused.
        const double position = r.position;
        EXPECT_EQ(r.process(job), Resampler::kInvalidArgument);
        EXPECT_EQ(r.position, position);
    }
}

TEST(Resampler, ZeroCapacityOnlyConsumesWholeSamplesOfThePosition) {
    const float src[5] = {1, 2, 3, 4, 5};
    Resampler r;
    r.position = 2.999995;
    Block b = run(r, src, 5, false, 0.0f, 0, kSourceRate);
    EXPECT_EQ(b.result, 0);
    EXPECT_TRUE(b.out.empty());
    EXPECT_EQ(b.consumed, 3u);
    EXPECT_NEAR(r.position, -0.000005, 1e-12);

    r.position = 7.5;
    b = run(r, src, 5, false, 0.0f, 0, kSourceRate);
    EXPECT_EQ(b.consumed, 5u);
    EXPECT_EQ(r.position, 2.5);

    Resampler empty;
    b = run(empty, nullptr, 0, false, 0.0f, 4, kSourceRate);
    EXPECT_EQ(b.result, 0);
    EXPECT_TRUE(b.out.empty());
    EXPECT_EQ(b.consumed, 0u);
}

TEST(Resampler, InterpolatesTowardsTheFollowingSample) {
    const float a = 0.1f, bb = 0.5f, c = -0.3f, n = 0.9f;
    const float src[3] = {a, bb, c};
    {
        Resampler r;
        Block b = run(r, src, 3, true, n, 10, kSourceRate);
        EXPECT_EQ(b.out, (std::vector<float>{a, bb, c}));
        EXPECT_EQ(b.consumed, 3u);
        EXPECT_EQ(r.position, 0.0);
        EXPECT_EQ(r.previousSample, c);
    }
    {
        Resampler r;
        Block b = run(r, src, 3, true, n, 10, 2.0 * kSourceRate);
        EXPECT_EQ(b.out, (std::vector<float>{a, 0.5f * (bb - a) + a, bb, 0.5f * (c - bb) + bb, c, 0.5f * (n - c) + c}));
        EXPECT_EQ(b.consumed, 3u);
        EXPECT_EQ(r.position, 0.0);
    }
    {
        // Without a following sample the last one is left for the next block.
        Resampler r;
        Block b = run(r, src, 3, false, 0.0f, 10, kSourceRate);
        EXPECT_EQ(b.out, (std::vector<float>{a, bb}));
        EXPECT_EQ(b.consumed, 2u);
        EXPECT_EQ(r.position, 0.0);
    }
}

// Before the block's first sample, the previous block's last sample stands at
// index -1; an empty block can still interpolate towards the following one.
TEST(Resampler, PositionBeforeTheBlockStartsFromThePreviousSample) {
    const float src[2] = {0.8f, 0.4f};
    Resampler r;
    r.previousSample = 0.2f;
    r.position = -0.5;
    const auto lerp = [](float t, float a, float b) { return t * (b - a) + a; };
    Block b = run(r, src, 2, false, 0.0f, 2, kSourceRate);
    EXPECT_EQ(b.out, (std::vector<float>{lerp(0.5f, 0.2f, 0.8f), lerp(0.5f, 0.8f, 0.4f)}));
    EXPECT_EQ(b.consumed, 1u);
    EXPECT_EQ(r.position, 0.5);

    Resampler empty;
    empty.previousSample = 0.2f;
    empty.position = -0.5;
    b = run(empty, nullptr, 0, true, 0.6f, 4, kSourceRate);
    EXPECT_EQ(b.out, (std::vector<float>{lerp(0.5f, 0.2f, 0.6f)}));
    EXPECT_EQ(b.consumed, 0u);
    EXPECT_EQ(empty.position, 0.5);
    empty.position = -0.5;
    EXPECT_TRUE(run(empty, nullptr, 0, false, 0.6f, 4, kSourceRate).out.empty());
}

TEST(Resampler, PositionJustBelowASampleGivesThatSample) {
    const float src[6] = {0.0f, 0.1f, 0.2f, 0.7f, 0.4f, 0.5f};
    Resampler r;
    r.position = 2.999995;
    Block b = run(r, src, 6, false, 0.0f, 1, kSourceRate);
    ASSERT_EQ(b.out.size(), 1u);
    EXPECT_EQ(b.out[0], 0.7f);
}

TEST(Resampler, ConfigureChoosesOffMuteOrTheNyquistLowPass) {
    const float src[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    ResampleJob job;
    job.setSource(src, 4, false, 0.0f);
    Resampler r;
    r.configure(800.0, 100.0, 400.0, job);
    EXPECT_TRUE(r.filter.enabled);
    EXPECT_FALSE(r.filter.mute);
    EXPECT_EQ(r.filter.sections()[0].b0, lpfTable[370][0].b0);
    EXPECT_EQ(r.filter.sections()[3].a1, lpfTable[370][3].a1);

    r.configure(800.0001, 100.0, 400.0, job);
    EXPECT_FALSE(r.filter.enabled);

    r.configure(800.0, 400.0, 419.0, job);  // bandLow equal to Nyquist: not muted
    EXPECT_TRUE(r.filter.enabled);
    EXPECT_FALSE(r.filter.mute);

    r.configure(800.0, 401.0, 419.0, job);
    EXPECT_TRUE(r.filter.enabled);
    EXPECT_TRUE(r.filter.mute);
}

TEST(Resampler, MutedBandGivesTheCascadesResponseToSilence) {
    const std::vector<float> src = tone(300.0, 400);
    Resampler r;
    // From rest, a muted block is silent whatever the source holds.
    Block b = run(r, src.data(), src.size(), false, 0.0f, 30, 800.0, 401.0, 419.0);
    ASSERT_EQ(b.out.size(), 30u);
    for (float v : b.out) EXPECT_EQ(v, 0.0f);

    // After an active block the states ring down on zero input.
    Resampler ringing;
    const std::vector<float> dc(400, 1.0f);
    run(ringing, dc.data(), dc.size(), false, 0.0f, 30, 800.0, 100.0, 400.0);
    b = run(ringing, src.data(), src.size(), false, 0.0f, 30, 800.0, 401.0, 419.0);
    ASSERT_EQ(b.out.size(), 30u);
    EXPECT_NE(b.out[0], 0.0f);
    EXPECT_LT(std::fabs(b.out.back()), std::fabs(b.out[0]));
}

// A 100 Hz tone at several output rates (speeds), filter off (every Nyquist
// frequency lies above the band's 120 Hz): the output is the tone at the new
// rate, up to linear interpolation's error.
TEST(Resampler, ResamplesAToneAtSeveralRates) {
    const std::vector<float> src = tone(100.0, 8000);
    for (double outputRate : {2000.0, 3000.0, 1000.0 / 1.5, 8000.0, 12345.0, 44100.0}) {
        const std::vector<float> out = playInBlocks(src, outputRate, 97, 90.0, 120.0);
        const double ratio = kSourceRate / outputRate;
        // Every source sample but the last is reached.
        EXPECT_NEAR(static_cast<double>(out.size()), 7999.0 / ratio, 1.5) << outputRate;
        double worst = 0.0;
        for (std::size_t n = 0; n < out.size(); ++n) {
            const double expected = std::sin(2.0 * std::numbers::pi * 100.0 * static_cast<double>(n) / outputRate);
            worst = std::max(worst, std::fabs(out[n] - expected));
        }
        EXPECT_LT(worst, 2e-3) << outputRate;
    }
}

TEST(Resampler, BlocksJoinWithoutSeamsWhenTheFilterIsOff) {
    const std::vector<float> src = tone(123.0, 5000);
    const double outputRate = 8000.0 / 2.7;
    const std::vector<float> whole = playInBlocks(src, outputRate, 100000, kLowBandLow, kLowBandHigh);
    for (uint64_t block : {1ull, 7ull, 64ull, 500ull}) {
        EXPECT_EQ(playInBlocks(src, outputRate, block, kLowBandLow, kLowBandHigh), whole) << block;
    }
}

// With the low-pass on, a tone in the pass band keeps its level and a tone
// above the output's Nyquist frequency is removed instead of aliasing.
TEST(Resampler, LowPassKeepsThePassBandAndRemovesAliases) {
    const std::size_t n = 16000;
    const std::vector<float> low = tone(100.0, n);
    const std::vector<float> high = tone(400.0, n);
    const double outputRate = 500.0;  // Nyquist 250 Hz

    const std::vector<float> kept = playInBlocks(low, outputRate, 100000, 50.0, 300.0);
    EXPECT_NEAR(rms(kept, kept.size() / 2), std::sqrt(0.5), 0.01);

    const std::vector<float> aliased = playInBlocks(high, outputRate, 100000, 50.0, 200.0);  // filter off
    EXPECT_GT(rms(aliased, aliased.size() / 2), 0.6);
    const std::vector<float> filtered = playInBlocks(high, outputRate, 100000, 50.0, 419.0);
    EXPECT_LT(rms(filtered, filtered.size() / 2), 0.03);
}

// At a whole ratio the outputs are the filtered source samples themselves.
TEST(Resampler, FilteredOutputIsTheCascadeOverTheSource) {
    const std::vector<float> src = tone(90.0, 4000);
    tsr::LowPassFilter reference;
    reference.enabled = true;
    reference.mute = false;
    reference.setCoefficients(tsr::lowPassCoefficients(250.0));
    reference.setSource(src.data());

    Resampler r;
    Block b = run(r, src.data(), src.size(), false, 0.0f, 1000, 500.0, 50.0, 300.0);
    ASSERT_EQ(b.out.size(), 250u);
    for (std::size_t i = 0; i < b.out.size(); ++i) ASSERT_EQ(b.out[i], reference.sample(16 * i)) << i;
}

// Consecutive blocks of one job filter as one block would: the cascade
// carries its states over the boundary (also through samples that no output
// position reached); a block that does not continue the previous one (another
// source, another rate, a reset) starts from rest.
TEST(Resampler, ContinuingBlocksKeepTheCascadeOthersStartFromRest) {
    const std::vector<float> src = tone(90.0, 4000);
    const std::vector<float> whole = playInBlocks(src, 500.0, 100000, 50.0, 300.0);
    for (uint64_t block : {1ull, 3ull, 25ull, 64ull}) {
        const std::vector<float> blocks = playInBlocks(src, 500.0, block, 50.0, 300.0);
        ASSERT_EQ(blocks.size(), whole.size()) << block;
        for (std::size_t i = 0; i < whole.size(); ++i) ASSERT_NEAR(blocks[i], whole[i], 1e-6) << block << " " << i;
    }

    Resampler fresh;
    const Block alone = run(fresh, src.data() + 2000, 2000, false, 0.0f, 20, 500.0, 50.0, 300.0);
    const auto firstHalf = [&](Resampler& r) {
        const Block first = run(r, src.data(), 2000, true, src[2000], 200, 500.0, 50.0, 300.0);
        EXPECT_EQ(first.consumed, 2000u);
    };
    Resampler continued;
    firstHalf(continued);
    EXPECT_NE(run(continued, src.data() + 2000, 2000, false, 0.0f, 20, 500.0, 50.0, 300.0).out, alone.out);

    Resampler elsewhere;
    firstHalf(elsewhere);
    run(elsewhere, src.data(), 10, false, 0.0f, 0, 500.0, 50.0, 300.0);  // a source that does not follow on
    EXPECT_EQ(run(elsewhere, src.data() + 2000, 2000, false, 0.0f, 20, 500.0, 50.0, 300.0).out, alone.out);

    Resampler rate;
    firstHalf(rate);
    run(rate, src.data() + 2000, 2000, false, 0.0f, 0, 510.0, 50.0, 300.0);  // consumes nothing
    EXPECT_EQ(run(rate, src.data() + 2000, 2000, false, 0.0f, 20, 500.0, 50.0, 300.0).out, alone.out);

    Resampler seeked;
    firstHalf(seeked);
    seeked.reset();
    EXPECT_EQ(run(seeked, src.data() + 2000, 2000, false, 0.0f, 20, 500.0, 50.0, 300.0).out, alone.out);
}

TEST(Resampler, ResetReturnsToTheStart) {
    const std::vector<float> src = tone(100.0, 100);
    Resampler r;
    const Block first = run(r, src.data(), src.size(), false, 0.0f, 7, 3000.0);
    run(r, src.data() + first.consumed, src.size() - first.consumed, false, 0.0f, 7, 3000.0);
    r.reset();
    EXPECT_EQ(r.position, 0.0);
    EXPECT_EQ(r.previousSample, 0.0f);
    EXPECT_EQ(run(r, src.data(), src.size(), false, 0.0f, 7, 3000.0).out, first.out);
}

TEST(Resampler, NotANumberRateIsRefusedWithoutHarm) {
    const std::vector<float> src(10, 0.5f);
    Resampler r;
    const Block b = run(r, src.data(), src.size(), false, 0.0f, 4, std::nan(""), 50.0, 300.0);
    EXPECT_EQ(b.result, Resampler::kInvalidArgument);
    EXPECT_TRUE(b.out.empty());
}
