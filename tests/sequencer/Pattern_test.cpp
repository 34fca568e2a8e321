// The legacy pattern model as loading leaves it: refusals of patterns the
// vest cannot play, saturated byte fields, the keyframe merge, the sample
// accessors and the accumulation record.
#include "sequencer/Pattern.h"

#include <climits>
#include <cmath>

#include <gtest/gtest.h>

#include "tests/support/LegacyPatterns.h"
#include "tests/support/LogCapture.h"

using namespace vbz_test;
using vbz::seq::Pattern;
using vbz::seq::SampleRecord;

namespace {

std::shared_ptr<Pattern> load(const std::string& text, int expectedError = 0) {
    int error = 1;
    auto p = Pattern::create(text, error);
    EXPECT_EQ(error, expectedError) << text;
    EXPECT_EQ(p == nullptr, expectedError != 0);
    return p;
}

const SampleRecord& firstSample(const Pattern& p) { return p.tracks().at(0)->samples().at(0); }

std::vector<int> actuatorColumn(const SampleRecord& r, int actuator) {
    std::vector<int> out;
    for (const auto& k : r.keyframes) out.push_back(k.values[static_cast<std::size_t>(actuator)]);
    return out;
}

const char* kSlotsLine = "Incorrect pattern construction: maximum number of simultaneous slots (5) exceeded.";
const char* kKeyframesLine = "Incorrect pattern construction: maximum number of keyframes per sample (20) exceeded.";

}  // namespace

TEST(Pattern, PatternBoostIsTruncatedTowardZeroAndSaturates) {
    const struct {
        json boost;
        int expected;
    } cases[] = {{12.9, 12}, {-3.5, -3}, {50, 50}, {1e12, INT_MAX}, {-1e12, INT_MIN}, {json(), 0}};
    for (const auto& c : cases) {
        json root = patternOf({trackOf({sampleAt(0)})});
        if (!c.boost.is_null()) root["patternBoost"] = c.boost;
        const auto p = load(root.dump());
        ASSERT_TRUE(p);
        EXPECT_EQ(p->patternBoost(), c.expected) << c.boost;
    }
}

TEST(Pattern, ByteFieldsSaturateInsteadOfWrapping) {
    const struct {
        const char* key;
        json value;
        SampleRecord::Offset at;
        int expected;
    } cases[] = {
        {"repeatCount", 256, SampleRecord::kRepeatCount, 255},
        {"repeatCount", 300, SampleRecord::kRepeatCount, 255},
        {"repeatCount", 7, SampleRecord::kRepeatCount, 7},
        {"signalIndex", 255, SampleRecord::kSignalIndex, 255},
        // Bits above the row are generator options: the row still fits.
        {"signalIndex", 0x10000 + 5, SampleRecord::kSignalIndex, 5},
    };
    for (const auto& c : cases) {
        json sample = sampleAt(0);
        sample[c.key] = c.value;
        const auto p = load(singleSamplePattern(sample));
        ASSERT_TRUE(p);
        EXPECT_EQ(firstSample(*p).byte(c.at), c.expected) << c.key << " " << c.value;
    }

    const struct {
        json volume;
        int expected;
    } volumes[] = {{300, 255}, {12.7, 12}, {100, 100}, {0, 0}, {1e30, 255}};
    for (const auto& v : volumes) {
        const auto p = load(patternOf({trackOf({sampleAt(0), sampleAt(2)}, v.volume)}).dump());
        ASSERT_TRUE(p);
        for (const auto& record : p->tracks()[0]->samples()) EXPECT_EQ(record.trackVolume(), v.expected) << v.volume;
    }
}

TEST(Pattern, SignalRowBeyondTheVestsBankIsRefused) {
    LogCapture log;
    json sample = sampleAt(0);
    sample["signalIndex"] = 300;
    load(singleSamplePattern(sample), -5);
    EXPECT_EQ(log.countContaining("Pattern", "Incorrect pattern construction: signal index 300"), 1);
}

TEST(Pattern, SixSimultaneousSamplesAreRefusedFiveAccepted) {
    LogCapture log;
    std::vector<json> tracks;
    for (int t = 0; t < 5; ++t) tracks.push_back(trackOf({sampleAt(0, 0)}));
    const auto five = load(patternOf(tracks).dump());
    ASSERT_TRUE(five);
    EXPECT_EQ(five->slotCount(), 5);
    EXPECT_EQ(log.count("Pattern", kSlotsLine), 0);

    tracks.push_back(trackOf({sampleAt(0.5, 1)}));
    load(patternOf(tracks).dump(), -5);
    EXPECT_EQ(log.count("Pattern", kSlotsLine, 4), 1);
}

TEST(Pattern, TextTheEngineRefusesGivesMinusFiveWithoutPatternLine) {
    LogCapture log;
    for (const char* text : {"{", "", "[1, 2]", "{\"duration\": 1, \"tracks\": []}"}) load(text, -5);
    EXPECT_EQ(log.countContaining("Pattern", ""), 0);
}

TEST(Pattern, HeaderCarriesTheSampleFields) {
    json sample = sampleAt(0.25, 1.5);
    sample["preDelay"] = 0.125;
    sample["postDelay"] = 0.5;
    sample["speed"] = 2;
    sample["startCrop"] = 0.75;
    sample["stopCrop"] = 3;
    sample["repeatSpat"] = true;
    const auto p = load(singleSamplePattern(sample, 40));
    ASSERT_TRUE(p);
    const SampleRecord& r = firstSample(*p);
    EXPECT_EQ(r.timestamp, 0.25f);
    const uint8_t head[] = {0x01, 0xAD, 0xDE, 12, 40, 1, 2, 1};
    for (std::size_t b = 0; b < sizeof head; ++b) EXPECT_EQ(r.header[b], head[b]) << b;
    EXPECT_EQ(r.maxDuration(), 1.5f);
    EXPECT_EQ(r.preDelay(), 0.125f);
    EXPECT_EQ(r.postDelay(), 0.5f);
    EXPECT_EQ(r.speed(), 2.0f);
    EXPECT_EQ(r.f32(SampleRecord::kStartOffset), 0.0f);
    EXPECT_EQ(r.startCrop(), 0.75f);
    EXPECT_EQ(r.stopCrop(), 3.0f);
}

TEST(Pattern, MergeInterpolatesWeightsAndVolumes) {
    std::vector<json> w0(20, 0), w1(20, 0);
    w1[3] = 100;
    const struct {
        std::vector<json> spat;
        std::vector<json> volume;
        std::vector<float> times;
        std::vector<int> actuator3;
        std::vector<float> gains;
    } cases[] = {
        // Volume key between two spatial keys.
        {{weightKey(0.0, w0), weightKey(1.0, w1)}, {volumeKey(0.5, 50)}, {0.0f, 0.5f, 1.0f}, {0, 25, 50},
         {0.5f, 0.5f, 0.5f}},
        // No volume keys: unscaled, gain 1.
        {{weightKey(0.0, w0), weightKey(1.0, w1)}, {}, {0.0f, 1.0f}, {0, 100}, {1.0f, 1.0f}},
        // Volume keys only after the last spatial key repeat its content.
        {{weightKey(0, w1)}, {volumeKey(0, 100), volumeKey(2, 50), volumeKey(3, 25)}, {0.0f, 2.0f, 3.0f},
         {100, 50, 25}, {1.0f, 0.5f, 0.25f}},
        // Spatial key between volume keys: the gain is interpolated in time.
        {{weightKey(0, w1), weightKey(1, w1)}, {volumeKey(0, 100), volumeKey(2, 50)}, {0.0f, 1.0f, 2.0f},
         {100, 75, 50}, {1.0f, 0.75f, 0.5f}},
        // Equal times given as integer and float meet in one keyframe; the
        // single-precision 30 x 0.01 lies just below 0.3, so 100 gives 29.
        {{weightKey(1, w1)}, {volumeKey(1.0, 30)}, {1.0f}, {29}, {0.3f}},
    };
    for (const auto& c : cases) {
        json sample = sampleAt(0);
        sample["spatKeyframes"] = c.spat;
        sample["volumeKeyframes"] = c.volume;
        const auto p = load(singleSamplePattern(sample));
        ASSERT_TRUE(p);
        const SampleRecord& r = firstSample(*p);
        std::vector<float> times;
        for (const auto& k : r.keyframes) times.push_back(k.timestamp);
        EXPECT_EQ(times, c.times);
        EXPECT_EQ(actuatorColumn(r, 3), c.actuator3);
        ASSERT_EQ(r.keyframeGains.size(), c.gains.size());
        for (std::size_t k = 0; k < c.gains.size(); ++k) EXPECT_FLOAT_EQ(r.keyframeGains[k], c.gains[k]);
        EXPECT_EQ(r.keyframeCount(), c.times.size());
        EXPECT_TRUE(r.keyframeVicinities.empty());
        EXPECT_EQ(actuatorColumn(r, 0), std::vector<int>(c.times.size(), 0));
    }
}

TEST(Pattern, WeightArraysOfOtherLengthsAndLargeValues) {
    const struct {
        std::vector<json> weights;
        std::array<int, 20> expected;
    } cases[] = {
        {{10, 20, 300}, {10, 20, 255}},
        {std::vector<json>(25, 7), {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}},
        {{}, {}},
        {{1.9, 1e40}, {1, 255}},
    };
    for (const auto& c : cases) {
        json sample = sampleAt(0);
        sample["spatKeyframes"] = json::array({weightKey(0, c.weights)});
        const auto p = load(singleSamplePattern(sample));
        ASSERT_TRUE(p);
        const auto& values = firstSample(*p).keyframes.at(0).values;
        for (std::size_t a = 0; a < 20; ++a) EXPECT_EQ(values[a], c.expected[a]) << a;
    }
}

TEST(Pattern, KeyframeHoldingBothKindsIsReadAsWeights) {
    json key = weightKey(0, std::vector<json>(20, 9));
    key["vicinities"] = json::array({json{{"nonsense", true}}});
    json sample = sampleAt(0);
    sample["spatKeyframes"] = json::array({key});
    const auto p = load(singleSamplePattern(sample));
    ASSERT_TRUE(p);
    EXPECT_TRUE(firstSample(*p).keyframeVicinities.empty());
    EXPECT_EQ(firstSample(*p).keyframes.at(0).values[19], 9);
}

TEST(Pattern, MoreThanTwentyMergedKeyframesAreRefused) {
    LogCapture log;
    const auto withKeys = [](int spatial, int volume, double volumeOffset) {
        json sample = sampleAt(0);
        for (int k = 0; k < spatial; ++k) sample["spatKeyframes"][k] = weightKey(k);
        for (int k = 0; k < volume; ++k) sample["volumeKeyframes"][k] = volumeKey(k + volumeOffset, 100);
        return singleSamplePattern(sample);
    };
    EXPECT_EQ(firstSample(*load(withKeys(20, 0, 0))).keyframeCount(), 20);
    EXPECT_EQ(firstSample(*load(withKeys(20, 20, 0))).keyframeCount(), 20);  // the times meet
    EXPECT_EQ(log.count("Pattern", kKeyframesLine), 0);
    load(withKeys(21, 0, 0), -5);
    load(withKeys(1, 21, 0), -5);
    load(withKeys(11, 10, 0.5), -5);  // 21 once merged
    EXPECT_EQ(log.count("Pattern", kKeyframesLine, 4), 3);
}

TEST(Pattern, VicinityKeyframesKeepSpheresAndCarryVolumeInTheirAmplitude) {
    json sample = sampleAt(0);
    sample["spatKeyframes"] = json::array(
        {vicinityKey(0, {vicinity({0.1, 0.2, 0.3}, 80, {1, 2, 3}, {0.5, 0.1, 0.2, 0.3})}),
         vicinityKey(1, {vicinity({0, 0, 0}, 40), vicinity({0, 0, 0}, 60)})});
    sample["volumeKeyframes"] = json::array({volumeKey(0.25, 50)});
    const auto p = load(singleSamplePattern(sample));
    ASSERT_TRUE(p);
    const SampleRecord& r = firstSample(*p);
    ASSERT_EQ(r.keyframes.size(), 3u);
    ASSERT_EQ(r.keyframeVicinities.size(), 3u);

    const auto& first = *r.keyframeVicinities[0].at(0);
    EXPECT_EQ(first.position()[1], static_cast<double>(0.2f));
    const tsr::Quaternion xyzw{0.1f, 0.2f, 0.3f, 0.5f};
    EXPECT_EQ(first.orientation(), xyzw);
    EXPECT_EQ(first.scale()[2], 3.0);

    const auto amplitudes = [&](std::size_t k) {
        std::vector<float> out;
        for (const auto& v : r.keyframeVicinities[k]) {
            float a = -1;
            EXPECT_EQ(v->getDistributionGain(0, a), 0);
            out.push_back(a);
        }
        return out;
    };
    EXPECT_EQ(amplitudes(0), std::vector<float>({40.0f}));  // first volume key held: 80 x 0.5
    // At 0.25 between the keys: 80 x 0.75, then 40 x 0.25 and 60 x 0.25, all x 0.5.
    EXPECT_EQ(amplitudes(1), std::vector<float>({30.0f, 5.0f, 7.5f}));
    EXPECT_EQ(amplitudes(2), std::vector<float>({20.0f, 30.0f}));  // last volume key held
    for (const auto& k : r.keyframes) EXPECT_EQ(k.values, (std::array<uint8_t, 20>{}));
}

TEST(Pattern, SampleAccessorsAndIndicesOutOfRange) {
    const auto p = load(patternOf({trackOf({sampleAt(0, 0.5), sampleAt(1, 0)}), trackOf({sampleAt(0.25)})}, 3.0).dump());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->duration(), 3.0f);
    EXPECT_EQ(p->trackCount(), 2);
    EXPECT_EQ(p->slotCount(), 2);
    EXPECT_EQ(p->sampleCount(0), 2);
    EXPECT_EQ(p->sampleTimestamp(0, 1), 1.0f);
    EXPECT_EQ(p->sampleEndTime(0, 0), 0.5f);
    EXPECT_EQ(p->sampleEndTime(0, 1), 0.0f);  // no max duration
    EXPECT_EQ(p->sampleEndTime(1, 0), 1.25f);
    EXPECT_FALSE(p->isLastSample(0, 0));
    EXPECT_TRUE(p->isLastSample(0, 1));
    EXPECT_TRUE(p->isLastSample(1, 0));

    EXPECT_EQ(p->sampleCount(2), 0);
    EXPECT_EQ(p->sampleCount(-1), 0);
    EXPECT_EQ(p->sampleTimestamp(0, 5), 0.0f);
    EXPECT_EQ(p->sampleEndTime(7, 0), 0.0f);
    EXPECT_TRUE(p->isLastSample(9, 0));
}

TEST(Pattern, AccumulationWindowIsCreatedUpdatedAndErased) {
    const auto main = load(singleSamplePattern(sampleAt(0)));
    auto fallback = load(singleSamplePattern(sampleAt(0)));
    auto other = load(singleSamplePattern(sampleAt(0)));
    EXPECT_EQ(main->accumulation(), nullptr);
    main->eraseAccumulationWindow();  // nothing to erase

    main->setAccumulationWindow(fallback, 1.5f, 2);
    auto* a = main->accumulation();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->windowStart, 0);
    EXPECT_EQ(a->windowSeconds, 1.5f);
    EXPECT_EQ(a->count, 0);
    EXPECT_EQ(a->maxAccumulation, 2);
    EXPECT_EQ(a->fallbackPattern, fallback);

    a->windowStart = 1234;
    a->count = 2;
    a->anchorEffectId = 7;
    a->mainPriority = 3;
    main->setAccumulationWindow(other, 0.5f, 0);
    EXPECT_EQ(main->accumulation(), a);
    EXPECT_EQ(a->windowStart, 0);  // the next main play opens a new window
    EXPECT_EQ(a->count, 2);
    EXPECT_EQ(a->anchorEffectId, 7);
    EXPECT_EQ(a->mainPriority, 3);
    EXPECT_EQ(a->windowSeconds, 0.5f);
    EXPECT_EQ(a->maxAccumulation, 0);
    EXPECT_EQ(a->fallbackPattern, other);

    const std::weak_ptr<Pattern> watch = other;
    other.reset();
    EXPECT_FALSE(watch.expired());  // the record holds its fallback
    main->eraseAccumulationWindow();
    EXPECT_EQ(main->accumulation(), nullptr);
    EXPECT_TRUE(watch.expired());
}
