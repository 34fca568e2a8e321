#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "EngineTestSupport.h"
#include "tessaron-core/src/model/Effect.h"
#include "tessaron-core/src/model/Track.h"
#include "tessaron-core/src/model/TrackList.h"
#include "tessaron-core/src/signal/EngineClock.h"

namespace {
using engine_test::bankSample;
using engine_test::kRow;
using engine_test::SampleSpec;
using engine_test::sampleJson;

constexpr double kRate = 8000.0;  // the bank's rate: content comes out sample for sample

struct Render {
    std::shared_ptr<tsr::ILayout> layout = tsr::makeDefaultLayout();
    tsr::SpatialProperties props;
    tsr::FadeOut fade;
    tsr::ActuatorBuffers buffers;
    explicit Render(std::size_t n) : buffers(20, std::vector<double>(n, 0.0)) {}
    template <class Node>
    std::size_t operator()(Node& node, std::size_t offset, std::size_t count, double speed = 1.0,
                           double volume = 1.0) {
        return node.render(kRate, volume, speed, 0.0, fade, layout, props, buffers, offset, count);
    }
};

SampleSpec cropped(double seconds, int actuator = 0) {
    SampleSpec s;
    s.stopCrop = seconds;
    s.actuator = actuator;
    return s;
}

nlohmann::json trackJson(const std::vector<SampleSpec>& samples, double volume = 100.0) {
    nlohmann::json items = nlohmann::json::array();
    for (const auto& s : samples) items.push_back(sampleJson(s));
    return {{"volume", volume}, {"samples", items}};
}

TEST(Effect, PlaysItsCropOnTheWeightedActuatorOnly) {
    tsr::resetEngineClockForTesting();
    tsr::Effect effect(sampleJson(cropped(0.0125, 4)));  // 100 samples
    EXPECT_DOUBLE_EQ(effect.duration(), 0.0125);
    Render r(128);
    EXPECT_EQ(r(effect, 10, 118), 110u) << "finished after its 100 samples";
    for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(r.buffers[4][10 + i], bankSample(kRow, i)) << i;
    for (std::size_t ch = 0; ch < 20; ++ch) {
        if (ch == 4) continue;
        for (double x : r.buffers[ch]) ASSERT_EQ(x, 0.0) << "actuator " << ch;
    }
}

TEST(Effect, OwnSpeedShortensTheSoundButNotTheDuration) {
    SampleSpec s = cropped(0.0125);
    s.speed = 2.0;
    tsr::Effect effect(sampleJson(s));
    EXPECT_DOUBLE_EQ(effect.duration(), 0.0125) << "the duration ignores the sample's own speed";
    Render r(128);
    EXPECT_EQ(r(effect, 0, 128), 50u);
}

TEST(Effect, EnvelopeRunsOnAcrossRepetitionsUntilASeek) {
    SampleSpec s = cropped(0.0125);
    s.volumeKeyframes = nlohmann::json::array({{{"timestamp", 0.0}, {"volume", 0}}, {{"timestamp", 0.025}, {"volume", 100}}});
    tsr::Effect effect(sampleJson(s));
    Render r(256);
    EXPECT_EQ(r(effect, 0, 256), 100u);
    effect.resetToStart();
    EXPECT_DOUBLE_EQ(effect.elapsedBefore(), 0.0125);
    EXPECT_EQ(r(effect, 100, 156), 200u);
    // The second pass continues the ramp from 0.5: sample i of it at envelope time (100 + i) / 8000.
    for (std::size_t i = 0; i < 100; i += 9) {
        const double env = effect.envelope().valueAt((100.0 + i) / kRate);
        EXPECT_NEAR(r.buffers[0][100 + i], bankSample(kRow, i) * env, 1e-6) << i;
    }
    effect.reset(0.0);
    EXPECT_EQ(effect.elapsedBefore(), 0.0);
}

TEST(Track, DurationSumsItsSamplesAndAnEndlessOneMakesItUnbounded) {
    tsr::Track track(trackJson({cropped(0.5), cropped(0.25)}, 50.0));
    EXPECT_DOUBLE_EQ(track.duration(), 0.75);
    EXPECT_DOUBLE_EQ(track.volume(), 0.5);

    SampleSpec endless = cropped(0.5);
    endless.repeatCount = 0;
    tsr::Track unbounded(trackJson({cropped(0.5), endless}));
    EXPECT_EQ(unbounded.duration(), 0.0);
}

TEST(Track, SeekPicksTheSampleAndPlaysTheRestInOrder) {
    SampleSpec a = cropped(0.0125, 0), b = cropped(0.0125, 1);
    tsr::Track track(trackJson({a, b}, 50.0));
    track.reset(0.02);
    EXPECT_EQ(track.current(), 1u);
    Render r(128);
    EXPECT_EQ(r(track, 0, 128), 40u) << "the second sample from 0.0075 s on: 40 samples left";
    for (std::size_t i = 0; i < 40; ++i) ASSERT_NEAR(r.buffers[1][i], 0.5 * bankSample(kRow, 60 + i), 1e-7);

    track.reset(5.0);
    EXPECT_EQ(track.current(), 2u) << "past every sample: nothing to play";
    Render q(16);
    EXPECT_EQ(q(track, 0, 16), 0u);
}

TEST(TrackList, PlaysTracksInParallelAndEndsWithTheLongest) {
    nlohmann::json tracks = nlohmann::json::array({trackJson({cropped(0.0125, 0)}), trackJson({cropped(0.025, 1)})});
    tsr::TrackList list(tracks);
    EXPECT_DOUBLE_EQ(list.duration(), 0.025);
    list.reset(0.0);
    Render r(256);
    EXPECT_EQ(r(list, 0, 256), 200u);
    EXPECT_EQ(r.buffers[0][50], bankSample(kRow, 50));
    EXPECT_EQ(r.buffers[1][150], bankSample(kRow, 150));
    EXPECT_EQ(r.buffers[0][150], 0.0);
}
}  // namespace
