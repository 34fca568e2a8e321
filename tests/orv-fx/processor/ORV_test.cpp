// The processor object through its C++ interface: creation and its refusals,
// block and token sizes, the block loops (interleaving, zero padding,
// missing tokens), and the synthesis that decoding crafted tokens gives.
#include "orv-fx/processor/ORV.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

#include "orv-fx/processor/OrvSampleRates.h"
#include "tests/support/WhiteNoise.h"

namespace {

constexpr auto kRates = orv::kOrvSampleRates;

std::unique_ptr<orv::BaseORV> make(std::uint32_t rate, std::uint32_t channels, std::uint32_t input,
                                   std::uint32_t processing) {
    std::int32_t error = 1;
    auto orv = orv::createOrv(rate, channels, input, processing, error);
    EXPECT_EQ(error, 0);
    EXPECT_NE(orv, nullptr);
    return orv;
}

// A token stream of the given band values (one token per entry) in the
// precision of processing type p.
std::vector<std::uint8_t> tokens(const std::vector<std::array<double, 4>>& bands, std::uint32_t p) {
    std::vector<std::uint8_t> bytes;
    for (const auto& token : bands) {
        for (double v : token) {
            std::uint8_t raw[8];
            if (p == orv::kProcessFloat) {
                const float f = static_cast<float>(v);
                std::memcpy(raw, &f, 4);
                bytes.insert(bytes.end(), raw, raw + 4);
            } else {
                std::memcpy(raw, &v, 8);
                bytes.insert(bytes.end(), raw, raw + 8);
            }
        }
    }
    return bytes;
}

// Decodes one token per block, the first `first` then `rest` for blocks-1
// more blocks, on a fresh mono double-input processor.
std::vector<double> decodeBlocks(std::uint32_t rate, std::uint32_t preset, std::uint32_t p,
                                 std::array<double, 4> first, std::array<double, 4> rest, int blocks) {
    auto orv = make(rate, 1, orv::kInputDouble, p);
    orv->setPreset(preset);
    const std::uint64_t frames = orv->getBlockSize();
    std::vector<double> out;
    for (int b = 0; b < blocks; ++b) {
        const auto t = tokens({b == 0 ? first : rest}, p);
        std::vector<double> part(frames, -7.0);
        EXPECT_TRUE(orv->decode(t.data(), t.size(), part.data(), frames));
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// A deterministic test signal: bursts of a low and a high tone over noise.
std::vector<double> music(std::uint32_t rate, std::size_t frames, std::uint32_t channels) {
    std::vector<double> s(frames * channels);
    vbz_test::WhiteNoise noise;
    for (std::size_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / rate;
        const bool burst = std::fmod(t, 0.25) < 0.08;
        for (std::uint32_t c = 0; c < channels; ++c) {
            const double hiss = 0.025 * noise.next();
            const double tone = burst ? 0.6 * std::sin(2 * std::numbers::pi * (60.0 + 40.0 * c) * t) +
                                            0.2 * std::sin(2 * std::numbers::pi * 6000.0 * t)
                                      : 0.0;
            s[f * channels + c] = tone + hiss;
        }
    }
    return s;
}

}  // namespace

TEST(CreateOrv, RefusesBadArgumentsWithoutAProcessor) {
    struct Case {
        std::uint32_t rate, channels, input, processing;
    };
    const Case refused[] = {{22050, 1, 2, 1}, {48000, 0, 2, 1}, {48000, 1, 4, 1},
                            {48000, 1, 2, 2}, {0, 1, 2, 1},     {48000, 134217728u, 2, 1},
                            {48000, 268435456u, 2, 0}};
    for (const Case& c : refused) {
        std::int32_t error = 0;
        EXPECT_EQ(orv::createOrv(c.rate, c.channels, c.input, c.processing, error), nullptr) << c.rate;
        EXPECT_EQ(error, -22) << c.rate << " " << c.channels << " " << c.input << " " << c.processing;
    }
}

TEST(CreateOrv, EveryTypePairReportsItsCodesAndSizes) {
    for (std::uint32_t input = 0; input < 4; ++input) {
        for (std::uint32_t processing = 0; processing < 2; ++processing) {
            auto orv = make(44100, 3, input, processing);
            EXPECT_EQ(orv->getInputType(), static_cast<std::int32_t>(input));
            EXPECT_EQ(orv->getProcessingType(), static_cast<std::int32_t>(processing));
            EXPECT_EQ(orv->getSampleRate(), 44100u);
            EXPECT_EQ(orv->getChannelCount(), 3u);
            EXPECT_EQ(orv->getPreset(), 0u);
            EXPECT_EQ(orv->getBlockSize(), 882u);
            EXPECT_EQ(orv->getTokenBytes(882), 3u * (processing == 0 ? 16u : 32u));
        }
    }
}

TEST(CreateOrv, BlockSizesFollowTheRate) {
    const std::uint64_t expected[] = {10, 20, 40, 80, 160, 320, 640, 882, 960, 1764, 1920};
    for (std::size_t k = 0; k < std::size(kRates); ++k)
        EXPECT_EQ(make(kRates[k], 1, 2, 1)->getBlockSize(), expected[k]) << kRates[k];
}

TEST(ORV, TokenBytesCountStartedBlocksAndRefuseSizesBeyond32Bits) {
    auto stereo = make(48000, 2, 2, 1);
    EXPECT_EQ(stereo->getTokenBytes(0), 0u);
    EXPECT_EQ(stereo->getTokenBytes(960), 64u);
    EXPECT_EQ(stereo->getTokenBytes(961), 128u);
    auto mono = make(500, 1, 2, 1);
    EXPECT_EQ(mono->getTokenBytes(1342177270ull), 4294967264u);
    EXPECT_EQ(mono->getTokenBytes(1342177280ull), 0u);
    EXPECT_EQ(mono->getTokenBytes(std::numeric_limits<std::uint64_t>::max()), 0u);
}

TEST(ORV, OnlyTheOverloadsOfTheInputTypeWork) {
    auto orv = make(8000, 1, orv::kInputInt, 0);
    std::vector<double> d(160, 0.5);
    std::vector<float> f(160, 0.5f);
    std::vector<std::int16_t> s(160, 7);
    std::vector<std::uint8_t> t(16, 0xAB);
    EXPECT_FALSE(orv->process(d.data(), d.data(), 160));
    EXPECT_FALSE(orv->encode(f.data(), t.data(), 160));
    EXPECT_FALSE(orv->decode(t.data(), t.size(), s.data(), 160));
    EXPECT_EQ(d, std::vector<double>(160, 0.5));
    EXPECT_EQ(s, std::vector<std::int16_t>(160, 7));
    EXPECT_EQ(t, std::vector<std::uint8_t>(16, 0xAB));
    std::vector<std::int32_t> i(160, 0);
    EXPECT_TRUE(orv->encode(i.data(), t.data(), 160));
    EXPECT_EQ(t, std::vector<std::uint8_t>(16, 0));  // silence gives a token of zeros
}

TEST(ORV, AShortEncodeEqualsItsZeroPaddedTwin) {
    const auto signal = music(48000, 1920, 1);
    auto shortOne = make(48000, 1, orv::kInputDouble, 1), padded = make(48000, 1, orv::kInputDouble, 1);
    std::vector<double> twin(signal.begin(), signal.begin() + 1000);
    twin.resize(1920, 0.0);
    std::vector<std::uint8_t> a(shortOne->getTokenBytes(1000), 0xCD), b(padded->getTokenBytes(1920), 0xEF);
    ASSERT_EQ(a.size(), 64u);
    ASSERT_TRUE(shortOne->encode(signal.data(), a.data(), 1000));
    ASSERT_TRUE(padded->encode(twin.data(), b.data(), 1920));
    EXPECT_EQ(a, b);
}

TEST(ORV, TokensAreBlockMajorAndChannelMinor) {
    // Channel 1 silent, channel 0 loud: every odd token is zeros.
    auto stereo = make(16000, 2, orv::kInputDouble, 1);
    auto mono = make(16000, 1, orv::kInputDouble, 1);
    const auto left = music(16000, 3 * 320, 1);
    std::vector<double> interleaved(2 * left.size(), 0.0);
    for (std::size_t f = 0; f < left.size(); ++f) interleaved[2 * f] = left[f];
    std::vector<std::uint8_t> st(stereo->getTokenBytes(960)), mt(mono->getTokenBytes(960));
    ASSERT_TRUE(stereo->encode(interleaved.data(), st.data(), 960));
    ASSERT_TRUE(mono->encode(left.data(), mt.data(), 960));
    for (std::size_t b = 0; b < 3; ++b) {
        EXPECT_EQ(0, std::memcmp(st.data() + (2 * b) * 32, mt.data() + b * 32, 32)) << b;
        EXPECT_EQ(std::vector<std::uint8_t>(st.begin() + (2 * b + 1) * 32, st.begin() + (2 * b + 2) * 32),
                  std::vector<std::uint8_t>(32, 0))
            << b;
    }
}

TEST(ORV, MissingTokensDecodeToZerosWithoutAdvancing) {
    auto orv = make(48000, 1, orv::kInputDouble, 1), reference = make(48000, 1, orv::kInputDouble, 1);
    const auto loud = tokens({{0.8, 1.0, 0.5, 0.5}}, 1);
    std::vector<double> out(960, -7.0), expected(960);
    ASSERT_TRUE(orv->decode(loud.data(), 31, out.data(), 960));
    EXPECT_EQ(out, std::vector<double>(960, 0.0));
    // The generators did not move: the next block is the first one's.
    ASSERT_TRUE(orv->decode(loud.data(), loud.size(), out.data(), 960));
    ASSERT_TRUE(reference->decode(loud.data(), loud.size(), expected.data(), 960));
    EXPECT_EQ(out, expected);
}

TEST(ORV, APartialLastDecodeBlockWritesOnlyTheFramesAsked) {
    auto orv = make(2000, 2, orv::kInputFloat, 0);
    const auto t = tokens({{0.5, 1, 0, 0}, {0.5, 1, 0, 0}}, 0);
    std::vector<float> out(2 * 50, -7.0f);
    ASSERT_TRUE(orv->decode(t.data(), t.size(), out.data(), 30));
    for (std::size_t i = 0; i < 60; ++i) EXPECT_NE(out[i], -7.0f) << i;
    for (std::size_t i = 60; i < out.size(); ++i) EXPECT_EQ(out[i], -7.0f) << i;
}

TEST(ORV, SilenceGivesSilenceForEveryRatePresetAndPrecision) {
    for (std::uint32_t rate : kRates) {
        for (std::uint32_t preset = 0; preset < 4; ++preset) {
            for (std::uint32_t p = 0; p < 2; ++p) {
                auto orv = make(rate, 2, orv::kInputFloat, p);
                orv->setPreset(preset);
                const std::uint64_t frames = 3 * orv->getBlockSize() + 1;
                std::vector<float> in(2 * frames, 0.0f), out(2 * frames, 1.0f);
                ASSERT_TRUE(orv->process(in.data(), out.data(), frames));
                ASSERT_EQ(out, in) << rate << " " << preset << " " << p;
                std::vector<std::uint8_t> t(orv->getTokenBytes(frames), 1);
                ASSERT_TRUE(orv->encode(in.data(), t.data(), frames));
                ASSERT_EQ(t, std::vector<std::uint8_t>(t.size(), 0));
                ASSERT_TRUE(orv->decode(t.data(), t.size(), out.data(), frames));
                ASSERT_EQ(out, in) << rate << " " << preset << " " << p;
            }
        }
    }
}

TEST(Synthesis, DefaultPulseLastsAbout61MsAtEveryRate) {
    for (std::uint32_t rate : kRates) {
        const auto out = decodeBlocks(rate, 0, 1, {0, 1, 0, 0}, {0, 0, 0, 0}, 6);
        // Asking the same amplitude again while it plays (60 ms) does not
        // restart it.
        const auto again = decodeBlocks(rate, 0, 1, {0, 1, 0, 0}, {0, 1, 0, 0}, 3);
        EXPECT_TRUE(std::equal(again.begin(), again.end(), out.begin())) << rate;
        std::size_t last = 0;
        double lowest = 0;
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (out[i] != 0.0) last = i;
            lowest = std::min(lowest, out[i]);
        }
        const double duration = static_cast<double>(last + 1) / rate;
        EXPECT_NEAR(duration, 0.061, 2.0 / rate + 1e-4) << rate;
        EXPECT_GE(lowest, -0.8 - 1e-9) << rate;
        EXPECT_LT(lowest, rate >= 8000 ? -0.79 : -0.5) << rate;
    }
}

TEST(Synthesis, DefaultRumbleAtBandPoint36IsAn80HzSineOfAmplitudePoint45) {
    for (std::uint32_t p = 0; p < 2; ++p) {
        const auto out = decodeBlocks(2000, 0, p, {0.36, 0, 0, 0}, {0.36, 0, 0, 0}, 50);
        for (std::size_t i = 1; i < out.size(); ++i) {
            const double expected = 0.45 * std::sin(2 * std::numbers::pi * 80.0 * static_cast<double>(i) / 2000.0);
            ASSERT_NEAR(out[i], expected, p == 0 ? 2e-3 : 1e-4) << i;
        }
        // Band 0 gives amplitude 0 (after the ramp).
        const auto quiet = decodeBlocks(2000, 0, p, {0, 0, 0, 0}, {0, 0, 0, 0}, 3);
        EXPECT_EQ(quiet, std::vector<double>(quiet.size(), 0.0));
    }
}

TEST(Synthesis, SharpDucksTheRumbleUnderItsPulses) {
    // Pulse amplitudes 0.6, 0.3 and 0.2 leave nothing for the rumble.
    const double b2 = std::pow(0.6, 1 / 0.6), b3 = std::pow(0.6, 2.5), b4 = std::pow(0.2 / 0.75, 2.5);
    EXPECT_EQ(decodeBlocks(48000, 1, 1, {1, b2, b3, b4}, {1, 0, 0, 0}, 1),
              decodeBlocks(48000, 1, 1, {0, b2, b3, b4}, {0, 0, 0, 0}, 1));
    // A pulse of 0.5 leaves half: the rumble part is half the unducked one
    // once the ramps are over.
    const double half = std::pow(0.5, 1 / 0.6);
    const auto both = decodeBlocks(48000, 1, 1, {0.5, half, 0, 0}, {0.5, half, 0, 0}, 2);
    const auto pulse = decodeBlocks(48000, 1, 1, {0, half, 0, 0}, {0, half, 0, 0}, 2);
    const auto rumble = decodeBlocks(48000, 1, 1, {0.5, 0, 0, 0}, {0.5, 0, 0, 0}, 2);
    double largest = 0;
    for (std::size_t i = 48; i < both.size(); ++i) {
        ASSERT_NEAR(both[i] - pulse[i], 0.5 * rumble[i], 1e-12) << i;
        largest = std::max(largest, std::abs(rumble[i]));
    }
    EXPECT_GT(largest, 0.5);
    // Default does not duck.
    EXPECT_NE(decodeBlocks(48000, 0, 1, {1, 1, 1, 1}, {1, 1, 1, 1}, 1),
              decodeBlocks(48000, 0, 1, {0, 1, 1, 1}, {0, 1, 1, 1}, 1));
}

TEST(Synthesis, SmoothNeverRumbles) {
    EXPECT_EQ(decodeBlocks(48000, 3, 1, {1, 0, 0, 0}, {0.5, 0, 0, 0}, 3), std::vector<double>(3 * 960, 0.0));
    EXPECT_EQ(decodeBlocks(48000, 3, 0, {1, 1, 0.5, 0.5}, {1, 0, 0, 0}, 3),
              decodeBlocks(48000, 3, 0, {0, 1, 0.5, 0.5}, {0, 0, 0, 0}, 3));
}

TEST(Synthesis, HostileTokensGiveFiniteOutput) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::array<double, 4> hostile[] = {{nan, nan, nan, nan},         {inf, inf, inf, inf},
                                             {-inf, -1, -0.5, -1e300},     {1e300, 1e300, 1e300, 1e300},
                                             {3.4e38, 3.4e38, 3.4e38, 3.4e38}, {2, 5, 1e-310, 4.9e-324}};
    for (std::uint32_t preset = 0; preset < 4; ++preset) {
        for (std::uint32_t p = 0; p < 2; ++p) {
            for (const auto& token : hostile) {
                const auto out = decodeBlocks(4000, preset, p, token, token, 4);
                for (double v : out) ASSERT_TRUE(std::isfinite(v)) << preset << " " << p << " " << token[0];
            }
            // NaN, infinities and negative values count as 0.
            EXPECT_EQ(decodeBlocks(4000, preset, p, hostile[0], hostile[2], 3), std::vector<double>(3 * 80, 0.0));
        }
    }
}

TEST(Synthesis, ResetAndSetPresetEqualAFreshProcessor) {
    const auto warmUp = music(44100, 44100 / 2, 2);
    const auto signal = music(44100, 44100, 2);
    for (std::uint32_t p = 0; p < 2; ++p) {
        auto used = make(44100, 2, orv::kInputDouble, p), fresh = make(44100, 2, orv::kInputDouble, p);
        std::vector<double> a(signal.size()), b(signal.size()), scratch(warmUp.size());
        ASSERT_TRUE(used->process(warmUp.data(), scratch.data(), warmUp.size() / 2));
        used->reset();
        ASSERT_TRUE(used->process(signal.data(), a.data(), signal.size() / 2));
        ASSERT_TRUE(fresh->process(signal.data(), b.data(), signal.size() / 2));
        EXPECT_EQ(a, b);

        used->setPreset(2);
        used->setPreset(4);  // not a preset: ignored
        fresh = make(44100, 2, orv::kInputDouble, p);
        fresh->setPreset(2);
        EXPECT_EQ(used->getPreset(), 2u);
        ASSERT_TRUE(used->process(signal.data(), a.data(), signal.size() / 2));
        ASSERT_TRUE(fresh->process(signal.data(), b.data(), signal.size() / 2));
        EXPECT_EQ(a, b);
        double energy = 0;
        for (double v : a) energy += v * v;
        EXPECT_GT(energy, 1.0);  // the bursts did make vibration
    }
}

TEST(Synthesis, FloatAndDoubleProcessingAgree) {
    const auto signal = music(48000, 48000, 1);
    for (std::uint32_t preset = 0; preset < 4; ++preset) {
        auto single = make(48000, 1, orv::kInputDouble, 0), twice = make(48000, 1, orv::kInputDouble, 1);
        single->setPreset(preset);
        twice->setPreset(preset);
        std::vector<double> a(signal.size()), b(signal.size());
        ASSERT_TRUE(single->process(signal.data(), a.data(), signal.size()));
        ASSERT_TRUE(twice->process(signal.data(), b.data(), signal.size()));
        double worst = 0, peak = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            worst = std::max(worst, std::abs(a[i] - b[i]));
            peak = std::max(peak, std::abs(b[i]));
        }
        EXPECT_LT(worst, 1e-3) << preset;
        EXPECT_GT(peak, 0.1) << preset;
    }
}
