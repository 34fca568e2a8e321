#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "tessaron-core/src/signal/EngineClock.h"
#include "tessaron-core/src/tsr/TessaronCore.h"

namespace {
using engine_test::bankSample;
using engine_test::EngineLog;
using engine_test::kRow;
using engine_test::patternText;
using engine_test::SampleSpec;
using tsr::TessaronCore;

// At the bank's rate the content reaches the buffers sample for sample.
constexpr double kRate = 8000.0;

struct Engine {
    TessaronCore core;
    explicit Engine(std::size_t bufferSize, double rate = kRate,
                    std::shared_ptr<tsr::ILayout> layout = tsr::makeDefaultLayout())
        : core(std::move(layout), rate, bufferSize) {}

    int start(const SampleSpec& s, bool autoDelete = false, double playAt = 0.0, double latency = 0.0) {
        const int p = core.pattern_load_from_vpt(patternText(s), -1);
        const int id = core.sequence_new(p, autoDelete, -1);
        EXPECT_EQ(core.sequence_play(id, playAt, latency), 0);
        return id;
    }
    const std::vector<double>& render(std::size_t ch = 0) {
        core.render_buffer();
        return core.buffers_get()[ch];
    }
};

SampleSpec crop(uint64_t samples, int actuator = 0) {
    SampleSpec s;
    s.stopCrop = static_cast<double>(samples) / kRate;
    s.actuator = actuator;
    return s;
}

// buffer[at + i] == bank[from + i] for i < n, and 0 outside [at, at + n).
void expectContentAt(const std::vector<double>& b, std::size_t at, std::size_t n, uint64_t from = 0,
                     double gain = 1.0) {
    for (std::size_t i = 0; i < b.size(); ++i) {
        const double want = (i >= at && i < at + n) ? gain * bankSample(kRow, from + (i - at)) : 0.0;
        ASSERT_EQ(b[i], want) << "sample " << i;
    }
}

TEST(RenderBuffer, LatencyDelaysTheStartWithinAndAcrossBuffers) {
    // 48 kHz, 512-sample buffers: 0.01 s leaves 480 samples to the others.
    Engine fast(512, 48000.0);
    const int id = fast.start(SampleSpec{}, false, 0.0, 0.01);
    const auto& b = fast.render();
    for (std::size_t i = 0; i < 480; ++i) ASSERT_EQ(b[i], 0.0);
    EXPECT_EQ(fast.core.sequences().find(id)->startDelay, 0.0);

    Engine twoBuffers(512, 48000.0);
    const int id2 = twoBuffers.start(SampleSpec{}, false, 0.0, 0.02);
    twoBuffers.render();
    EXPECT_NEAR(twoBuffers.core.sequences().find(id2)->startDelay, 448.0 / 48000.0, 1e-12);
    EXPECT_EQ(twoBuffers.core.sequence_state_get(id2), 1);

    // Exact content at the bank's rate: 0.01 s is 80 samples.
    Engine e(128);
    e.start(SampleSpec{}, false, 0.0, 0.01);
    expectContentAt(e.render(), 80, 48);
    expectContentAt(e.render(), 0, 128, 48);

    Engine across(64);
    across.start(SampleSpec{}, false, 0.0, 0.01);
    expectContentAt(across.render(), 0, 0);
    expectContentAt(across.render(), 16, 48);
}

TEST(RenderBuffer, PlayAtSeeksAndTheSequenceCutOffCountsFromThePatternStart) {
    Engine e(8000);
    SampleSpec s;  // row 3 lasts over 8 s
    const int p = e.core.pattern_load_from_vpt(patternText(s), -1);
    const int id = e.core.sequence_new(p, false, -1);
    e.core.property_max_duration_set(id, 3.0);
    e.core.sequence_play(id, 1.0, 0.0);
    expectContentAt(e.render(), 0, 8000, 8000);
    expectContentAt(e.render(), 0, 8000, 16000);
    EXPECT_EQ(e.core.sequence_state_get(id), 1);
    expectContentAt(e.render(), 0, 0);
    EXPECT_EQ(e.core.sequence_state_get(id), 3) << "2 s of sound from play_at 1 under a 3 s cut-off";
}

TEST(RenderBuffer, SampleRepetitionsDelaysAndCutOffsLandOnExactSamples) {
    // 100 samples, repeated 3 times, 80 samples before each and 160 after all but the last.
    SampleSpec s = crop(100);
    s.repeatCount = 3;
    s.preDelay = 0.01;
    s.postDelay = 0.02;
    Engine e(1024);
    e.start(s);
    const auto& b = e.render();
    for (std::size_t start : {80u, 420u, 760u}) {
        for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(b[start + i], bankSample(kRow, i)) << start << "+" << i;
    }
    double outside = 0.0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        const bool in = (i >= 80 && i < 180) || (i >= 420 && i < 520) || (i >= 760 && i < 860);
        if (!in) outside += std::fabs(b[i]);
    }
    EXPECT_EQ(outside, 0.0);

    // The sample's cut-off of 0.1 s (800 samples) ends the third repetition after 40 samples.
    s.maxDuration = 0.1;
    Engine cut(1024);
    const int id = cut.start(s);
    const auto& c = cut.render();
    EXPECT_EQ(c[799], bankSample(kRow, 39));
    for (std::size_t i = 800; i < c.size(); ++i) ASSERT_EQ(c[i], 0.0) << i;
    EXPECT_EQ(cut.core.sequence_state_get(id), 3);
}

TEST(RenderBuffer, SequenceRepetitionsRestartThePatternAfterTheirDelay) {
    Engine e(512);
    const int p = e.core.pattern_load_from_vpt(patternText(crop(100)), -1);
    const int id = e.core.sequence_new(p, false, -1);
    e.core.property_repeat_count_set(id, 2);
    e.core.property_repeat_delay_set(id, 0.005);  // 40 samples
    e.core.sequence_play(id, 0.0, 0.0);
    const auto& b = e.render();
    for (std::size_t i = 0; i < 100; ++i) {
        ASSERT_EQ(b[i], bankSample(kRow, i));
        ASSERT_EQ(b[140 + i], bankSample(kRow, i));
    }
    for (std::size_t i = 100; i < 140; ++i) ASSERT_EQ(b[i], 0.0);
    for (std::size_t i = 240; i < 512; ++i) ASSERT_EQ(b[i], 0.0);
    EXPECT_EQ(e.core.sequence_state_get(id), 3);
}

TEST(RenderBuffer, SamplesOfATrackFollowOneAnotherAndAnEndlessOneRestartsAtPlayAt) {
    SampleSpec first = crop(100), second = crop(50);
    first.maxDuration = 0.0125;
    second.timestamp = 0.025;  // 100 samples after the first one's end
    Engine e(512);
    const int p = e.core.pattern_load_from_vpt(patternText(std::vector<std::vector<SampleSpec>>{{first, second}}), -1);
    e.core.sequence_play(e.core.sequence_new(p, false, -1), 0.0, 0.0);
    const auto& b = e.render();
    for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(b[i], bankSample(kRow, i));
    for (std::size_t i = 100; i < 200; ++i) ASSERT_EQ(b[i], 0.0);
    for (std::size_t i = 0; i < 50; ++i) ASSERT_EQ(b[200 + i], bankSample(kRow, i));

    SampleSpec endless = crop(100);
    endless.repeatCount = 0;
    Engine f(256);
    f.start(endless, false, 3.7);
    const auto& c = f.render();
    for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(c[i], bankSample(kRow, i % 100)) << i;
}

TEST(RenderBuffer, BoostsAddUpAndAreClampedToOne) {
    // Keyframe weights all 0: only the boost makes actuators move.
    SampleSpec s = crop(64, -1);
    Engine full(64);
    full.core.config_global_boost_set(0.5);
    const int a = full.start(s);
    full.core.property_boost_set(a, 0.7);
    expectContentAt(full.render(13), 0, 64, 0, 1.0);

    Engine none(64);
    none.core.config_global_boost_set(-0.2);
    none.start(s);
    expectContentAt(none.render(13), 0, 0);

    Engine part(64);
    part.core.config_global_boost_set(0.5);
    const int c = part.start(s);
    part.core.property_boost_set(c, 0.2);
    const auto& b = part.render(5);
    for (std::size_t i = 0; i < 64; ++i) ASSERT_NEAR(b[i], 0.7 * bankSample(kRow, i), 1e-15);
}

TEST(RenderBuffer, SumsAreClampedToFullScaleAndNaNBecomesSilence) {
    Engine e(256);
    const int a = e.start(crop(256, 2));
    const int b = e.start(crop(256, 2));
    e.core.property_volume_set(a, 1e6);
    e.core.property_volume_set(b, 1e6);
    const auto& out = e.render(2);
    bool sawFull = false;
    for (double x : out) {
        ASSERT_LE(std::fabs(x), 1.0);
        sawFull = sawFull || x == 1.0;
    }
    EXPECT_TRUE(sawFull);

    // An infinite volume times a weight of 0 is NaN on every other actuator: silence there.
    Engine inf(64);
    const int c = inf.start(crop(64, 2));
    inf.core.property_volume_set(c, std::numeric_limits<double>::infinity());
    inf.core.render_buffer();
    for (double x : inf.core.buffers_get()[3]) ASSERT_EQ(x, 0.0);
    for (double x : inf.core.buffers_get()[2]) ASSERT_TRUE(x == 1.0 || x == -1.0 || x == 0.0) << x;
}

TEST(RenderBuffer, PauseRendersSilenceAndHoldsEverything) {
    tsr::resetEngineClockForTesting();
    Engine e(64);
    const int id = e.start(crop(100), true);
    e.core.set_pause(true);
    expectContentAt(e.render(), 0, 0);
    expectContentAt(e.render(), 0, 0);
    EXPECT_EQ(tsr::engineTick(), 0u) << "a paused engine does not move the clock";
    e.core.set_pause(false);
    expectContentAt(e.render(), 0, 64);
    EXPECT_EQ(tsr::engineTick(), 1u);
    e.core.set_pause(true);
    e.core.render_buffer();
    EXPECT_EQ(e.core.sequence_state_get(id), 1) << "not removed while paused";
    e.core.set_pause(false);
    expectContentAt(e.render(), 0, 36, 64);
    EXPECT_EQ(e.core.sequences().size(), 0u) << "an ended auto-delete sequence is gone after its last render";
}

TEST(RenderBuffer, AnEndedSequenceWithoutAutoDeleteCanPlayAgain) {
    Engine e(128);
    const int id = e.start(crop(100));
    expectContentAt(e.render(), 0, 100);
    EXPECT_EQ(e.core.sequence_state_get(id), 3);
    expectContentAt(e.render(), 0, 0);
    EXPECT_EQ(e.core.sequence_play(id, 0.0, 0.0), 0);
    expectContentAt(e.render(), 0, 100);
}

TEST(RenderBuffer, FadeOutRampsTheSoundDownAndEndsTheSequence) {
    Engine e(256);
    const int id = e.start(crop(2000));
    e.render();
    EXPECT_EQ(e.core.sequence_stop(id, 100.0 / kRate), 0);  // step 1/100
    const auto& b = e.render();
    double level = 1.0;
    for (std::size_t i = 0; i < 256; ++i) {
        const double want = i < 100 ? bankSample(kRow, 256 + i) * static_cast<float>(level) : 0.0;
        ASSERT_NEAR(b[i], want, 1e-7) << i;
        level = std::max(level - 0.01, 0.0);
    }
    EXPECT_EQ(e.core.sequence_state_get(id), 3);
}

TEST(RenderBuffer, StopAllFadesEverySequenceOrCutsThemAtOnce) {
    Engine e(256);
    const int a = e.start(crop(2000, 0)), b = e.start(crop(2000, 1));
    e.core.stop_all(0.5);
    EXPECT_EQ(e.core.sequence_state_get(a), 2);
    EXPECT_EQ(e.core.sequence_state_get(b), 2);
    e.render();
    EXPECT_LT(std::fabs(e.core.buffers_get()[1][255]), std::fabs(bankSample(kRow, 255)) + 1e-12);
    e.core.stop_all(0.0);
    EXPECT_EQ(e.core.sequence_state_get(a), 3);
    EXPECT_EQ(e.core.sequence_state_get(b), 3);
    expectContentAt(e.render(1), 0, 0);
}

TEST(RenderBuffer, VicinityKeyframesPutTheToneOnTheNearestActuators) {
    auto layout = tsr::makeDefaultLayout();
    const auto& pos = layout->positions();
    constexpr std::size_t target = 7;
    SampleSpec s = crop(512);
    s.spatKeyframes = nlohmann::json::array(
        {{{"timestamp", 0.0},
          {"vicinities",
           {{{"position", {pos(0, target), pos(1, target), pos(2, target)}},
             {"orientation", {1, 0, 0, 0}},
             {"scale", {0.05, 0.05, 0.05}},
             {"amplitude", 100}}}}}});
    Engine e(512, kRate, layout);
    e.start(s);
    e.core.render_buffer();
    std::vector<double> energy(20, 0.0);
    for (std::size_t ch = 0; ch < 20; ++ch) {
        for (double x : e.core.buffers_get()[ch]) energy[ch] += x * x;
    }
    for (std::size_t ch = 0; ch < 20; ++ch) {
        if (ch != target) {
            EXPECT_LT(energy[ch], energy[target]) << "actuator " << ch;
        }
    }
    EXPECT_GT(energy[target], 0.0);
}

TEST(RenderBuffer, LayoutChangesResizeTheBufferListAtTheNextRender) {
    auto layout = tsr::makeLayout(tsr::kLayoutBasic);
    ASSERT_EQ(layout->loadPositions(R"({"position": [[0,0,0],[0,0.1,0],[0,0.2,0]]})"), 0);
    Engine e(32, kRate, layout);
    EXPECT_EQ(e.core.buffers_get().size(), 3u);
    e.start(crop(64, 2));
    e.render();

    EngineLog log;
    ASSERT_EQ(layout->loadPositions(R"({"position": [[0,0,0],[0,0.1,0]]})"), 0);
    e.core.render_buffer();
    EXPECT_EQ(e.core.buffers_get().size(), 2u);
    EXPECT_TRUE(log.has("config_buffer_size_set(32)", 2));
    EXPECT_FALSE(layout->changed()) << "the render clears the layout's flag";

    // No actuator at all: no buffer, nothing rendered, no failure.
    ASSERT_EQ(layout->loadPositions(R"({"position": []})"), 0);
    e.core.render_buffer();
    EXPECT_TRUE(e.core.buffers_get().empty());
    EXPECT_EQ(e.core.config_buffer_size_get(), 0u);
    ASSERT_EQ(layout->loadPositions(R"({"position": [[0,0,0]]})"), 0);
    e.core.render_buffer();
    ASSERT_EQ(e.core.buffers_get().size(), 1u);
    EXPECT_EQ(e.core.buffers_get()[0].size(), 32u) << "the buffer size survives a layout without actuators";
}

TEST(RenderBuffer, ExtremeSettingsNeitherHangNorFail) {
    Engine e(256);
    // Speed 0: a finite play ends at once, an endless one stays silent.
    const int stopped = e.start(crop(100));
    e.core.property_speed_set(stopped, 0.0);
    SampleSpec loop = crop(100);
    loop.repeatCount = 0;
    const int frozen = e.start(loop);
    e.core.property_speed_set(frozen, 0.0);
    const int far = e.start(crop(100), false, 1e300, 1e300);
    SampleSpec empty = crop(100);
    empty.signalIndex = 204;  // no such row: empty content
    empty.repeatCount = 4294967295ull;
    const int spin = e.start(empty);
    const int endless = e.start(empty);
    e.core.property_repeat_count_set(endless, 0);
    for (int k = 0; k < 3; ++k) expectContentAt(e.render(), 0, 0);
    EXPECT_EQ(e.core.sequence_state_get(stopped), 3);
    EXPECT_EQ(e.core.sequence_state_get(frozen), 1);
    EXPECT_EQ(e.core.sequence_state_get(far), 1);
    EXPECT_EQ(e.core.sequence_state_get(spin), 3);
}

TEST(RenderBuffer, CoresWithoutARateOrALayoutRenderSilence) {
    EngineLog log;
    for (double rate : {0.0, -8000.0, std::nan("")}) {
        Engine e(64, rate);
        const int id = e.start(crop(100));
        for (int k = 0; k < 2; ++k) expectContentAt(e.render(), 0, 0);
        e.core.sequence_stop(id, 0.5);
    }
    EXPECT_TRUE(log.has("invalid sample rate: 0.000000", 3));

    TessaronCore bare(nullptr, kRate, 64);
    EXPECT_TRUE(log.has("TessaronCore: no layout, nothing will be rendered", 3));
    bare.render_buffer();
    EXPECT_TRUE(bare.buffers_get().empty());
    EXPECT_EQ(bare.layout_actuator_count(), 0u);
}

TEST(RenderBuffer, EveryRenderOfEveryEngineTicksTheSharedClockOnce) {
    tsr::resetEngineClockForTesting();
    Engine a(64), b(32);
    a.render();
    b.render();
    a.render();
    EXPECT_EQ(tsr::engineTick(), 3u);
}
}  // namespace
