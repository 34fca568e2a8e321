// The 518-byte PlaySample message for one play: a golden frame checked byte
// for byte, then the volume, speed, offset, flag and boost rules.
#include "sequencer/PlayMessage.h"

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "device/Frame.h"
#include "sequencer/VicinitySphere.h"
#include "tests/support/LegacyPatterns.h"

using namespace vbz_test;
using namespace vbz::seq;

namespace {

std::shared_ptr<Pattern> load(const std::string& text) {
    int error = 1;
    auto p = Pattern::create(text, error);
    EXPECT_EQ(error, 0);
    return p;
}

uint32_t u32At(const PlayMessage& m, std::size_t at) { return vbz::readU32(&m[at]); }
float f32At(const PlayMessage& m, std::size_t at) { return std::bit_cast<float>(u32At(m, at)); }

// One sample of the given track volume and speed, one weights keyframe with
// actuator 0 at 10 and actuator 19 at 250, optional volume keys.
std::shared_ptr<Pattern> simplePattern(json trackVolume = 100, json speed = 1, int patternBoost = 0,
                                       std::vector<json> volumeKeys = {}, bool repeatSpat = false) {
    std::vector<json> w(20, 0);
    w[0] = 10;
    w[19] = 250;
    json sample = sampleAt(0);
    sample["speed"] = speed;
    sample["repeatSpat"] = repeatSpat;
    sample["spatKeyframes"] = json::array({weightKey(0, w)});
    sample["volumeKeyframes"] = volumeKeys;
    json root = patternOf({trackOf({sample}, trackVolume)});
    root["patternBoost"] = patternBoost;
    return load(root.dump());
}

struct Play {
    float volume = 100.0f;
    float speed = 1.0f;
    bool overBudget = false;
    float offset = 0.0f;
    SpatialBlock spatial{};
    int global = 0;
    int effectBoost = 0;
    bool usePatternBoost = true;
};

PlayMessage play(Pattern& p, const Play& how = {}, int* length = nullptr) {
    PlayMessage m{};
    const int n = p.playSample(0, 0, how.volume, how.speed, how.overBudget, how.offset, how.spatial, how.global,
                               how.effectBoost, how.usePatternBoost, m);
    if (length) *length = n;
    return m;
}

}  // namespace

TEST(PlayMessage, GoldenFrameByteForByte) {
    std::vector<json> w0(20, 0), w1(20, 0);
    w0[0] = 10;
    w0[3] = 100;
    w1[3] = 50;
    w1[19] = 20;
    const json sample = {{"maxDuration", 1.5},  {"postDelay", 0.125},   {"preDelay", 0.25},
                         {"repeatCount", 2},    {"repeatSpat", true},   {"signalIndex", 12},
                         {"spatKeyframes", {weightKey(0, w0), weightKey(1, w1)}},
                         {"speed", 2.0},        {"startCrop", 0.5},     {"stopCrop", 0.75},
                         {"timestamp", 0},      {"volumeKeyframes", json::array()}};
    json root = patternOf({trackOf({sample}, 80)});
    root["patternBoost"] = 10;
    const auto p = load(root.dump());
    ASSERT_TRUE(p);

    // Effect volume 100 over track volume 80 (79.99999 in single precision),
    // speed x1.5, over budget, no seek, global boost 5 + pattern boost 10.
    PlayMessage m{};
    const int length = p->playSample(0, 0, 100.0f, 1.5f, true, 0.0f, SpatialBlock{}, 5, 0, true, m);
    EXPECT_EQ(length, 2 * 24 + 38);

    // clang-format off
    const uint8_t expected[84] = {
        0x01, 0xAD, 0xDE,        // id, sync word
        0x0C,                    // signal index 12
        0x4F,                    // volume 79
        0x02,                    // repeat count
        0x03,                    // repeatSpat | over budget
        0x02,                    // two keyframes
        0x00, 0x00, 0xC0, 0x3F,  // max duration 1.5
        0x00, 0x00, 0x80, 0x3E,  // pre-delay 0.25
        0x00, 0x00, 0x00, 0x3E,  // post-delay 0.125
        0x00, 0x00, 0x40, 0x40,  // speed 2.0 x 1.5 = 3.0
        0x01, 0x00, 0x00, 0x00,  // start offset: the smallest positive float
        0x00, 0x00, 0x00, 0x3F,  // start crop 0.5
        0x00, 0x00, 0x40, 0x3F,  // stop crop 0.75
        0x00, 0x00, 0x00, 0x00,  // keyframe 0 at 0.0; each actuator + 15
        0x19, 0x0F, 0x0F, 0x73, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F,
        0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F,
        0x00, 0x00, 0x80, 0x3F,  // keyframe 1 at 1.0
        0x0F, 0x0F, 0x0F, 0x41, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F,
        0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x23,
    };
    // clang-format on
    for (std::size_t b = 0; b < sizeof expected; ++b) EXPECT_EQ(m[b], expected[b]) << "byte " << b;

    // The transaction adds the CRC of bytes 0-515 (the rest of a fresh buffer is 0).
    vbz::commandCrc16(m.data(), static_cast<uint16_t>(m.size()));
    EXPECT_EQ(m[516], 0x44);
    EXPECT_EQ(m[517], 0xEE);
    EXPECT_TRUE(vbz::checkCommandCrc16(m.data(), static_cast<uint16_t>(m.size())));
}

TEST(PlayMessage, VolumeByteStaysBelow250AndTruncates) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        int trackVolume;
        float volumeFactor;
        int expected;
    } cases[] = {
        {100, 250.0f, 249}, {100, 0.0f, 0},     {50, 100.0f * 0.5f, 25}, {80, 100.0f, 79},
        {255, 250.0f, 249}, {100, -5.0f, 0},    {100, nan, 0},           {100, 1e30f, 249},
    };
    for (const auto& c : cases) {
        const auto p = simplePattern(c.trackVolume);
        Play how;
        how.volume = c.volumeFactor;
        EXPECT_EQ(play(*p, how)[4], c.expected) << c.trackVolume << " x " << c.volumeFactor;
    }
}

TEST(PlayMessage, SpeedIsClampedJustInsideItsBounds) {
    const struct {
        double sampleSpeed;
        float effectSpeed;
        uint32_t expectedBits;
    } cases[] = {
        {1.0, 100.0f, std::bit_cast<uint32_t>(std::nextafter(100.0f, 0.0f))},  // 99.99999
        {0.005, 1.0f, std::bit_cast<uint32_t>(std::nextafter(0.01f, 1.0f))},   // 0.010000001
        {2.0, 0.5f, std::bit_cast<uint32_t>(1.0f)},
        {0.0, 1.0f, std::bit_cast<uint32_t>(std::nextafter(0.01f, 1.0f))},
        {1.0, std::numeric_limits<float>::quiet_NaN(), std::bit_cast<uint32_t>(std::nextafter(0.01f, 1.0f))},
    };
    for (const auto& c : cases) {
        const auto p = simplePattern(100, c.sampleSpeed);
        Play how;
        how.speed = c.effectSpeed;
        EXPECT_EQ(u32At(play(*p, how), 20), c.expectedBits) << c.sampleSpeed << " x " << c.effectSpeed;
    }
}

TEST(PlayMessage, StartOffsetIsNeverZero) {
    const struct {
        float offset;
        uint32_t expectedBits;
    } cases[] = {{0.0f, 0x00000001u},
                 {-1.0f, 0x00000001u},
                 {std::numeric_limits<float>::quiet_NaN(), 0x00000001u},
                 {0.5f, std::bit_cast<uint32_t>(0.5f)}};
    const auto p = simplePattern();
    for (const auto& c : cases) {
        Play how;
        how.offset = c.offset;
        EXPECT_EQ(u32At(play(*p, how), 24), c.expectedBits) << c.offset;
    }
}

TEST(PlayMessage, FlagsCarryRepeatSpatAndTheBudget) {
    const struct {
        bool repeatSpat, overBudget;
        int expected;
    } cases[] = {{false, false, 0}, {false, true, 1}, {true, false, 2}, {true, true, 3}};
    for (const auto& c : cases) {
        const auto p = simplePattern(100, 1, 0, {}, c.repeatSpat);
        Play how;
        how.overBudget = c.overBudget;
        EXPECT_EQ(play(*p, how)[6], c.expected);
        EXPECT_EQ(play(*p)[6], c.repeatSpat ? 2 : 0);  // the record keeps its flags between plays
    }
}

TEST(PlayMessage, BoostRaisesEveryActuatorByItsKeyframeGain) {
    const struct {
        const char* name;
        int patternBoost, global, effectBoost;
        bool usePatternBoost;
        std::vector<json> volumeKeys;
        int actuator0, actuator19, silent;
    } cases[] = {
        {"pattern boost 30 at gain 0.5", 30, 0, 0, true, {volumeKey(0, 50)}, 5 + 15, 125 + 15, 15},
        {"pattern boost 30 at gain 1", 30, 0, 0, true, {}, 40, 255, 30},
        {"negative boost", -20, 0, 0, true, {}, 10, 250, 0},
        {"no boost", 0, 0, 0, true, {}, 10, 250, 0},
        {"boost above 100 acts as 100", 150, 0, 0, true, {}, 110, 255, 100},
        {"global and pattern add", 10, 20, 99, true, {}, 40, 255, 30},
        {"effect boost instead of the pattern's", 90, 20, -15, false, {}, 15, 255, 5},
        {"sum beyond int range clamps", INT_MAX, INT_MAX, 0, true, {}, 110, 255, 100},
        {"sum below int range clamps", 0, INT_MIN, INT_MIN, false, {}, 10, 250, 0},
    };
    for (const auto& c : cases) {
        const auto boosted = simplePattern(100, 1, c.patternBoost, c.volumeKeys);
        ASSERT_TRUE(boosted) << c.name;
        Play how;
        how.global = c.global;
        how.effectBoost = c.effectBoost;
        how.usePatternBoost = c.usePatternBoost;
        const PlayMessage m = play(*boosted, how);
        EXPECT_EQ(m[40], c.actuator0) << c.name;
        EXPECT_EQ(m[40 + 19], c.actuator19) << c.name;
        EXPECT_EQ(m[40 + 7], c.silent) << c.name;
    }
}

TEST(PlayMessage, ThreeKeyframesGiveLength110AndBlocksAt36_60_84) {
    json sample = sampleAt(0);
    std::vector<json> w(20, 0);
    for (int k = 0; k < 3; ++k) {
        w[0] = 10 * (k + 1);
        sample["spatKeyframes"][k] = weightKey(0.5 * k, w);
    }
    const auto p = load(singleSamplePattern(sample));
    ASSERT_TRUE(p);
    PlayMessage m;
    m.fill(0xEE);  // a buffer still holding an earlier, longer message
    int length = 0;
    Play how;
    length = p->playSample(0, 0, how.volume, how.speed, false, 0.0f, {}, 0, 0, true, m);
    EXPECT_EQ(length, 110);
    EXPECT_EQ(m[7], 3);
    for (int k = 0; k < 3; ++k) {
        const std::size_t at = 36 + 24 * static_cast<std::size_t>(k);
        EXPECT_EQ(f32At(m, at), 0.5f * static_cast<float>(k));
        EXPECT_EQ(m[at + 4], 10 * (k + 1));
    }
    EXPECT_EQ(m[516], 0xEE);  // the CRC is the transaction's
}

TEST(PlayMessage, NeverMoreThanTwentyBlocks) {
    auto p = simplePattern();
    ASSERT_TRUE(p);
    // A record grown past what loading accepts must still fit the frame.
    SampleRecord& r = p->tracks()[0]->samples()[0];
    while (r.keyframes.size() < 25) {
        r.keyframes.push_back(KeyframeRecord{1.0f, {}});
        r.keyframeGains.push_back(1.0f);
    }
    PlayMessage m{};
    m[516] = 0xAB;
    m[517] = 0xCD;
    const int length = p->playSample(0, 0, 100.0f, 1.0f, false, 0.0f, {}, 0, 0, true, m);
    EXPECT_EQ(length, 518);
    EXPECT_EQ(m[7], 20);
    EXPECT_EQ(m[516], 0xAB);
    EXPECT_EQ(m[517], 0xCD);
}

TEST(PlayMessage, UnknownTrackOrSampleLeavesTheMessageAlone) {
    auto p = simplePattern();
    for (const auto& [i, j] : {std::pair{1, 0}, std::pair{-1, 0}, std::pair{0, 1}, std::pair{0, -1}}) {
        PlayMessage m;
        m.fill(0x5A);
        EXPECT_EQ(p->playSample(i, j, 100.0f, 1.0f, false, 0.0f, {}, 0, 0, true, m), -2);
        EXPECT_EQ(m[0], 0x5A);
        EXPECT_EQ(m[515], 0x5A);
    }
}

TEST(PlayMessage, VicinityKeyframesAreWeighedAnewAtEveryPlay) {
    json sample = sampleAt(0);
    sample["spatKeyframes"] =
        json::array({vicinityKey(0, {vicinity({0.1039, -0.06, -0.06}, 100, {0.1, 0.1, 0.1})})});
    const auto p = load(singleSamplePattern(sample));
    ASSERT_TRUE(p);
    Play mirrored;
    mirrored.spatial.frontBackInversion = true;
    PlayMessage m = play(*p, mirrored);
    EXPECT_EQ(m[40 + 7], 100);
    EXPECT_EQ(m[40 + 1], 0);
    m = play(*p);
    EXPECT_EQ(m[40 + 7], 0);
    EXPECT_EQ(m[40 + 1], 100);
    EXPECT_EQ(p->tracks()[0]->samples()[0].keyframes[0].values[1], 100);  // the last play's values stay
}
