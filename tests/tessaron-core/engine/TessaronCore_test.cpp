#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "EngineTestSupport.h"
#include "tessaron-core/src/tsr/TessaronCore.h"

namespace {
using engine_test::EngineLog;
using engine_test::kAbsent;
using engine_test::patternText;
using engine_test::SampleSpec;
using tsr::TessaronCore;

std::string onePattern(double boostPercent = 0.0) { return patternText(SampleSpec{}, boostPercent); }

TEST(TessaronCore, AutomaticAndExplicitPatternIdsFollowTheInsertRule) {
    TessaronCore core(tsr::makeDefaultLayout(), 48000.0, 512);
    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(), -1), 0);
    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(), -1), 1);
    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(), 10), 10);
    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(), -1), 11);
    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(), 5), 5);
    EXPECT_EQ(core.patterns().nextId(), 12);

    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(), -2), tsr::kErrorInvalidArgument);
    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(70.0), 5), tsr::kErrorAlreadyAllocated);
    EXPECT_EQ(core.pattern_boost_get(5), 0.0) << "a refused load leaves the stored pattern alone";
    EXPECT_EQ(core.pattern_load_from_vpt("{", -1), tsr::kErrorInvalidPattern);
    EXPECT_EQ(core.patterns().size(), 5u);
    EXPECT_EQ(core.patterns().nextId(), 12) << "refused loads take no id";
}

TEST(TessaronCore, ReservedRangesAndTheLastIdNeverOverflow) {
    TessaronCore core(tsr::makeDefaultLayout(), 48000.0, 512);
    EXPECT_EQ(core.pattern_reserve_id_range(3), 3);
    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(), -1), 3);
    EXPECT_EQ(core.pattern_reserve_id_range(2), 4);

    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(), INT_MAX), INT_MAX);
    EXPECT_EQ(core.pattern_load_from_vpt(onePattern(), -1), tsr::kErrorAlreadyAllocated);
    EXPECT_EQ(core.sequence_new(INT_MAX, true, INT_MAX), INT_MAX);
    EXPECT_EQ(core.sequence_new(INT_MAX, true, -1), tsr::kErrorAlreadyAllocated);
    EXPECT_EQ(core.sequence_new(INT_MAX, true, -7), tsr::kErrorInvalidArgument);
}

TEST(TessaronCore, PatternQueriesAndUnloadLeavePlayingSequencesAlone) {
    EngineLog log;
    TessaronCore core(tsr::makeDefaultLayout(), 8000.0, 64);
    const int p = core.pattern_load_from_vpt(onePattern(50.0), -1);
    EXPECT_TRUE(core.pattern_is_allocated(p));
    EXPECT_DOUBLE_EQ(core.pattern_boost_get(p), 0.5);
    EXPECT_EQ(core.pattern_get_max_simultaneous_effects(p), 1);

    const int s = core.sequence_new(p, false, -1);
    ASSERT_GE(s, 0);
    EXPECT_DOUBLE_EQ(core.sequences().find(s)->boost, 0.5) << "a sequence starts with its pattern's boost";
    EXPECT_EQ(core.sequence_pattern_id_get(s), p);
    EXPECT_EQ(core.sequence_play(s, 0.0, 0.0), 0);
    EXPECT_EQ(core.pattern_unload(p), 0);
    EXPECT_EQ(core.pattern_unload(p), 0) << "unloading an absent pattern is no error";
    EXPECT_FALSE(core.pattern_is_allocated(p));
    ASSERT_NE(core.sequence_properties_get(s), nullptr);
    EXPECT_TRUE(core.sequence_properties_get(s)->isDirty());
    core.render_buffer();
    EXPECT_EQ(core.sequence_state_get(s), 1);
    EXPECT_FALSE(core.sequence_properties_get(s)->isDirty()) << "the render clears the spatial record's flag";
    // The pattern's boost of 0.5 reaches every actuator, on top of the keyframe's weight.
    EXPECT_EQ(core.buffers_get()[0][10], 1.5 * engine_test::bankSample(engine_test::kRow, 10));
    EXPECT_EQ(core.buffers_get()[7][10], 0.5 * engine_test::bankSample(engine_test::kRow, 10));

    log.clear();
    EXPECT_EQ(core.sequence_new(p, false, -1), tsr::kErrorPatternNotAllocated);
    EXPECT_FALSE(log.has(kAbsent)) << "a missing pattern in sequence_new is a code, not a warning";
}

TEST(TessaronCore, AbsentIdsWarnAndAnswerTheirDefaults) {
    TessaronCore core(tsr::makeDefaultLayout(), 48000.0, 512);
    EngineLog log;
    EXPECT_EQ(core.pattern_boost_get(3), 0.0);
    EXPECT_EQ(core.pattern_get_max_simultaneous_effects(3), 0);
    EXPECT_EQ(core.sequence_play(3, 0.0, 0.0), tsr::kErrorSequenceNotAllocated);
    EXPECT_EQ(core.sequence_stop(3, 0.0), tsr::kErrorSequenceNotAllocated);
    EXPECT_EQ(core.sequence_state_get(3), 0);
    EXPECT_EQ(core.sequence_pattern_id_get(3), tsr::kErrorSequenceNotAllocated);
    EXPECT_FALSE(core.sequence_mute_get(3));
    EXPECT_EQ(core.sequence_properties_get(3), nullptr);
    core.property_volume_set(3, 1.0);
    core.property_speed_set(3, 1.0);
    core.property_repeat_count_set(3, 2);
    core.property_repeat_delay_set(3, 1.0);
    core.property_max_duration_set(3, 1.0);
    core.property_boost_set(3, 1.0);
    EXPECT_EQ(log.count(kAbsent, 3), 14);
    for (const auto& l : log.all()) {
        if (l.message == kAbsent) {
            EXPECT_EQ(l.where.rfind("tsr:", 0), 0u) << l.where;
        }
    }
    EXPECT_FALSE(core.pattern_is_allocated(3));
    EXPECT_EQ(core.pattern_unload(3), 0);
    EXPECT_EQ(log.count(kAbsent), 14) << "these two answer without a warning";
}

TEST(TessaronCore, ApiCallsLogTheirInfoLines) {
    EngineLog log;
    TessaronCore core(tsr::makeDefaultLayout(), 48000.0, 512);
    const int p = core.pattern_load_from_vpt(onePattern(), -1);
    const int s = core.sequence_new(p, true, -1);
    core.sequence_play(s, 0.25, 0.0);
    core.property_repeat_count_set(s, 4);
    core.stop_all(0.5);
    core.set_pause(true);
    EXPECT_TRUE(log.has("config_buffer_size_set(512)", 2));
    EXPECT_TRUE(log.has("sequence_new(pattern_id=0, auto_delete=1, sequence_id=-1)", 2));
    EXPECT_TRUE(log.has("sequence_play(0, play_at=0.250000, latency=0.000000)", 2));
    EXPECT_TRUE(log.has("property_repeat_count_set(0, repeat_count=4)", 2));
    EXPECT_TRUE(log.has("stop_all(fade_out_duration=0.500000)", 2));
    EXPECT_TRUE(log.has("set_pause(1)", 2));
    EXPECT_EQ(log.all().front().message.rfind("TessaronCore(layout=0x", 0), 0u);
}

TEST(TessaronCore, ConfigurationRefusesBadValuesAndKeepsSamples) {
    EngineLog log;
    TessaronCore core(tsr::makeDefaultLayout(), 48000.0, 0);
    EXPECT_TRUE(log.has("invalid buffer size (set to 1 instead)", 3));
    EXPECT_EQ(core.config_buffer_size_get(), 1u);
    EXPECT_EQ(core.buffers_get().size(), 20u);
    for (const auto& b : core.buffers_get()) EXPECT_EQ(b.size(), 1u);

    core.config_sample_rate_set(-1.0);
    core.config_sample_rate_set(std::nan(""));
    core.config_sample_rate_set(0.0);
    EXPECT_EQ(core.config_sample_rate_get(), 48000.0);
    EXPECT_EQ(log.count("invalid sample rate: -1.000000", 3), 1);
    core.config_sample_rate_set(2000.0);
    EXPECT_EQ(core.config_sample_rate_get(), 2000.0);

    core.config_buffer_size_set(25);
    EXPECT_EQ(core.config_buffer_size_get(), 25u);
    core.config_global_boost_set(-0.3);
    EXPECT_EQ(core.config_global_boost_get(), -0.3);
    EXPECT_EQ(core.layout_actuator_count(), 20u);
}

TEST(TessaronCore, PropertySettersClampWhatMustNotBeNegative) {
    TessaronCore core(tsr::makeDefaultLayout(), 48000.0, 512);
    const int s = core.sequence_new(core.pattern_load_from_vpt(onePattern(), -1), false, -1);
    core.property_volume_set(s, -3.0);
    core.property_speed_set(s, std::nan(""));
    core.property_repeat_delay_set(s, -1.0);
    core.property_max_duration_set(s, -2.0);
    core.property_boost_set(s, -3.0);
    core.property_repeat_count_set(s, 0);
    const tsr::SequenceEntry& e = *core.sequences().find(s);
    EXPECT_EQ(e.volume, 0.0);
    EXPECT_EQ(e.speed, 0.0);
    EXPECT_EQ(e.repeat.repeatDelay, 0.0);
    EXPECT_EQ(e.repeat.maxDuration, 0.0);
    EXPECT_EQ(e.boost, -3.0) << "the boost is kept as given";
    EXPECT_EQ(e.repeat.repeatCount, 0u);
    EXPECT_EQ(e.repeat.realTime, 1u);
    EXPECT_FALSE(core.sequence_mute_get(s));
}

TEST(TessaronCore, PlayAndStopFollowTheSequenceStates) {
    TessaronCore core(tsr::makeDefaultLayout(), 48000.0, 512);
    const int s = core.sequence_new(core.pattern_load_from_vpt(onePattern(), -1), false, -1);
    EXPECT_EQ(core.sequence_state_get(s), 3);
    EXPECT_EQ(core.sequence_stop(s, 0.5), 0);
    EXPECT_EQ(core.sequence_state_get(s), 3) << "stopping a sequence that does not play starts no fade";
    EXPECT_FALSE(core.sequences().find(s)->fade.isActive());

    EXPECT_EQ(core.sequence_play(s, -1.0, 0.0), tsr::kErrorInvalidArgument);
    EXPECT_EQ(core.sequence_play(s, 0.0, -0.1), tsr::kErrorInvalidArgument);
    EXPECT_EQ(core.sequence_play(s, std::nan(""), 0.0), tsr::kErrorInvalidArgument);
    EXPECT_EQ(core.sequence_state_get(s), 3);
    EXPECT_EQ(core.sequence_play(s, 0.0, 0.0), 0);
    EXPECT_EQ(core.sequence_state_get(s), 1);
    EXPECT_EQ(core.sequence_play(s, 0.0, 0.0), tsr::kErrorAlreadyPlaying);

    EXPECT_EQ(core.sequence_stop(s, 0.5), 0);
    EXPECT_EQ(core.sequence_state_get(s), 2);
    EXPECT_DOUBLE_EQ(core.sequences().find(s)->fade.step(), 1.0 / 24000.0);
    EXPECT_EQ(core.sequence_stop(s, 0.25), 0);
    EXPECT_DOUBLE_EQ(core.sequences().find(s)->fade.step(), 1.0 / 12000.0) << "a second stop re-aims the fade";
    EXPECT_EQ(core.sequence_stop(s, 0.0), 0);
    EXPECT_EQ(core.sequence_state_get(s), 3);

    // A negative duration, or one below half a sample, silences at the next render.
    EXPECT_EQ(core.sequence_play(s, 0.0, 0.0), 0);
    EXPECT_EQ(core.sequence_stop(s, -1.0), 0);
    EXPECT_EQ(core.sequences().find(s)->fade.step(), std::numeric_limits<double>::infinity());
    core.render_buffer();
    EXPECT_EQ(core.sequence_state_get(s), 3);
    for (const auto& b : core.buffers_get()) {
        for (double x : b) ASSERT_EQ(x, 0.0);
    }
}
}  // namespace
