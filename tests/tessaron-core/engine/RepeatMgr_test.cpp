#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "EngineTestSupport.h"
#include "tessaron-core/src/model/RepeatMgr.h"
#include "tessaron-core/src/model/RepeatedEffect.h"
#include "tessaron-core/src/tsr/time_utils.h"

namespace {
using tsr::ActuatorBuffers;
using tsr::FadeOut;
using tsr::RepeatMgr;

// Writes 1 + (passes since the last seek) on channel 0 for `length` seconds
// of content, one sample per 1 / rate; counts its calls.
class ContentFiller : public tsr::IBufferFiller {
public:
    explicit ContentFiller(double length) : length_(length) {}
    double duration() override { return length_; }
    void reset(double t) override {
        played_ = t;
        lastReset = t;
        pass = 0;
    }
    void resetToStart() override {
        played_ = 0.0;
        ++pass;
    }
    std::size_t render(double rate, double, double, double, FadeOut&, const std::shared_ptr<tsr::ILayout>&,
                       tsr::SpatialProperties&, ActuatorBuffers& buffers, std::size_t offset,
                       std::size_t count) override {
        ++calls;
        const uint64_t left = tsr::secondsToSamples(length_ - played_, rate);
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(left, count));
        for (std::size_t i = 0; i < n; ++i) buffers[0][offset + i] = 1.0 + pass;
        played_ += tsr::samplesToSeconds(rate, n);
        return offset + n;
    }

    int calls = 0;
    int pass = 0;
    double lastReset = -1.0;

private:
    double length_;
    double played_ = 0.0;
};

struct Fixture {
    FadeOut fade;
    std::shared_ptr<tsr::ILayout> layout;
    tsr::SpatialProperties props;
    ActuatorBuffers buffers;

    explicit Fixture(std::size_t n) : buffers(1, std::vector<double>(n, 0.0)) {}
    std::size_t render(RepeatMgr<ContentFiller>& m, double rate, std::size_t offset, std::size_t count,
                       double speed = 1.0) {
        return m.render(rate, 1.0, speed, 0.0, fade, layout, props, buffers, offset, count);
    }
};

// A typical repeated sample: 1 s of content, 3 repetitions, pre-delay
// 0.1 s and post-delay 0.2 s at timestamp 0.
RepeatMgr<ContentFiller> threeRepetitions(double maxDuration = 0.0, uint32_t realTime = 1) {
    RepeatMgr<ContentFiller> m(std::make_unique<ContentFiller>(1.0), realTime);
    m.startOffset = 0.1;
    m.repeatDelay = 0.3;
    m.repeatCount = 3;
    m.maxDuration = maxDuration;
    m.reset(0.0);
    return m;
}

// Where channel 0 holds which pass: [begin, end) runs of equal values.
struct Span {
    std::size_t begin, end;
    double value;
    bool operator==(const Span&) const = default;
};
std::vector<Span> runs(const std::vector<double>& b) {
    std::vector<Span> r;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (b[i] == 0.0) continue;
        if (!r.empty() && r.back().end == i && r.back().value == b[i]) ++r.back().end;
        else r.push_back({i, i + 1, b[i]});
    }
    return r;
}

TEST(RepeatMgr, DurationCountsRepetitionsDelaysAndCutOff) {
    EXPECT_DOUBLE_EQ(threeRepetitions().duration(), 3.7);
    EXPECT_DOUBLE_EQ(threeRepetitions(2.0).duration(), 2.0);
    auto endless = threeRepetitions();
    endless.repeatCount = 0;
    EXPECT_EQ(endless.duration(), 0.0) << "endless without cut-off is unbounded";
    endless.maxDuration = 5.0;
    EXPECT_EQ(endless.duration(), 5.0);
}

TEST(RepeatMgr, RepetitionsStartAfterTheirDelaysWithinOneRender) {
    auto m = threeRepetitions();
    Fixture f(400);
    // 100 Hz: one sample per 10 ms.
    const std::size_t pos = f.render(m, 100.0, 0, 400);
    EXPECT_EQ(pos, 370u) << "finished: no delay after the last repetition";
    EXPECT_EQ(runs(f.buffers[0]), (std::vector<Span>{{10, 110, 1.0}, {140, 240, 2.0}, {270, 370, 3.0}}));
    EXPECT_EQ(m.repetition, 3u);
    EXPECT_DOUBLE_EQ(m.time, 3.7);
}

TEST(RepeatMgr, RepetitionsCarryOverBufferBoundaries) {
    auto m = threeRepetitions();
    Fixture f(400);
    std::size_t pos = 0;
    // Buffers of 64 samples, as a render step would call it.
    while (pos < 400) {
        const std::size_t next = f.render(m, 100.0, pos, std::min<std::size_t>(64, 400 - pos));
        if (next < std::min<std::size_t>(pos + 64, 400)) {
            pos = next;
            break;
        }
        pos = next;
    }
    EXPECT_EQ(pos, 370u);
    EXPECT_EQ(runs(f.buffers[0]), (std::vector<Span>{{10, 110, 1.0}, {140, 240, 2.0}, {270, 370, 3.0}}));
}

TEST(RepeatMgr, CutOffStopsTheThirdRepetitionBeforeItStarts) {
    auto m = threeRepetitions(2.0);
    Fixture f(400);
    EXPECT_EQ(f.render(m, 100.0, 0, 400), 200u);
    EXPECT_EQ(runs(f.buffers[0]), (std::vector<Span>{{10, 110, 1.0}, {140, 200, 2.0}}));
}

TEST(RepeatMgr, PatternTimeIsStretchedBySpeedRealTimeIsNot) {
    auto pattern = threeRepetitions(0.0, 0);
    Fixture f(400);
    EXPECT_EQ(f.render(pattern, 100.0, 0, 400, 2.0), 185u);
    EXPECT_EQ(runs(f.buffers[0]), (std::vector<Span>{{5, 55, 1.0}, {70, 120, 2.0}, {135, 185, 3.0}}));

    auto real = threeRepetitions(0.0, 1);
    Fixture g(400);
    EXPECT_EQ(g.render(real, 100.0, 0, 400, 2.0), 370u) << "the speed goes on to the filler";
}

TEST(RepeatMgr, SeekLandsInTheRightRepetition) {
    auto m = threeRepetitions();
    m.reset(1.2);
    EXPECT_EQ(m.repetition, 1u);
    EXPECT_NEAR(m.wait, 0.2, 1e-12);
    EXPECT_EQ(m.filler->lastReset, 0.0);
    m.reset(2.0);
    EXPECT_EQ(m.repetition, 1u);
    EXPECT_EQ(m.wait, 0.0);
    EXPECT_NEAR(m.filler->lastReset, 0.6, 1e-12);
    m.reset(0.05);
    EXPECT_EQ(m.repetition, 0u);
    EXPECT_NEAR(m.wait, 0.05, 1e-12);

    // From 1.2 s on, the second repetition starts 0.2 s later from its start.
    m.reset(1.2);
    Fixture f(300);
    f.render(m, 100.0, 0, 300);
    EXPECT_EQ(runs(f.buffers[0]).front(), (Span{20, 120, 1.0}));
    EXPECT_NEAR(m.time, 1.2 + 2.5, 1e-9) << "the cut-off clock counts from the node's start";
}

TEST(RepeatMgr, SeeksFarOutOrWithoutANumberNeverOverflow) {
    auto m = threeRepetitions();
    m.reset(1e300);
    EXPECT_EQ(m.repetition, std::numeric_limits<uint32_t>::max());
    m.reset(std::nan(""));
    EXPECT_EQ(m.repetition, 0u);
    EXPECT_DOUBLE_EQ(m.wait, 0.1);
    Fixture f(100);
    m.reset(1e300);
    EXPECT_EQ(f.render(m, 100.0, 0, 100), 0u) << "every repetition is behind: finished";
}

TEST(RepeatMgr, NothingToPlayNeverSpins) {
    Fixture f(400);
    // Endless repetition of empty content: the rest of the buffer is silence.
    RepeatMgr<ContentFiller> endless(std::make_unique<ContentFiller>(0.0), 1);
    endless.repeatCount = 0;
    endless.reset(0.0);
    EXPECT_EQ(f.render(endless, 100.0, 0, 400), 400u);
    EXPECT_LE(endless.filler->calls, 3);

    // Billions of finite repetitions of empty content end at once, as if
    // every one of them had been played.
    RepeatMgr<ContentFiller> many(std::make_unique<ContentFiller>(0.0), 1);
    many.repeatCount = std::numeric_limits<uint32_t>::max();
    many.reset(0.0);
    EXPECT_EQ(f.render(many, 100.0, 0, 400), 0u);
    EXPECT_EQ(many.repetition, many.repeatCount);
    EXPECT_LE(many.filler->calls, 3);

    // With a delay every repetition still moves the position: five
    // repetitions of nothing, four delays of 10 samples.
    RepeatMgr<ContentFiller> delayed(std::make_unique<ContentFiller>(0.0), 1);
    delayed.repeatCount = 5;
    delayed.repeatDelay = 0.1;
    delayed.reset(0.0);
    EXPECT_EQ(f.render(delayed, 100.0, 0, 400), 40u);
    EXPECT_EQ(delayed.repetition, 5u);
    EXPECT_TRUE(runs(f.buffers[0]).empty());
}

TEST(RepeatMgr, AnActiveFadeEndsTheRenderWhereItReachesZero) {
    auto m = threeRepetitions();
    Fixture f(400);
    f.fade.start(0.01);  // 100 samples from position 0
    EXPECT_EQ(f.render(m, 100.0, 0, 400), 100u);
}

TEST(RepeatedEffect, ReadsDelaysGapAndSaturatesTheRepeatCount) {
    engine_test::SampleSpec s;
    s.timestamp = 2.0;
    s.preDelay = 0.1;
    s.postDelay = 0.2;
    s.maxDuration = 1.5;
    s.repeatCount = 4294967297ull;  // 2^32 + 1 must not play once
    tsr::RepeatedEffect e(engine_test::sampleJson(s), 0.5);
    const auto& m = e.manager();
    EXPECT_DOUBLE_EQ(m.startOffset, 0.1 + 1.5);
    EXPECT_DOUBLE_EQ(m.repeatDelay, 0.3);
    EXPECT_DOUBLE_EQ(m.maxDuration, 1.5 + 1.5);
    EXPECT_EQ(m.repeatCount, std::numeric_limits<uint32_t>::max());
    EXPECT_EQ(m.realTime, 0u);

    s.maxDuration = 0.0;
    s.timestamp = 0.0;
    s.repeatCount = 3;
    tsr::RepeatedEffect f(engine_test::sampleJson(s), 1.0);
    EXPECT_EQ(f.manager().maxDuration, 0.0) << "no cut-off stays no cut-off";
    EXPECT_DOUBLE_EQ(f.manager().startOffset, 0.1) << "a sample before the previous end has no gap";
    EXPECT_EQ(f.manager().repeatCount, 3u);
}
}  // namespace
