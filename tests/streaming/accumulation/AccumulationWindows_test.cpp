// Accumulation windows on a clock moved by hand: which pattern a play
// creates, the count within a window, refusals, and their log lines.
#include "streaming/AccumulationWindows.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "tests/support/LogRecorder.h"
#include "tests/support/ManualClock.h"

using vbz_test::LogRecorder;
using vbz_test::ManualClock;

namespace {
constexpr int kMain = 3, kFallback = 8;

// Stands for the engine: loaded patterns, and sequences made of them.
struct FakeEngine {
    std::set<int> patterns{kMain, kFallback};
    std::vector<int> created;  // pattern of each sequence made
    int failWith = 0;          // non-zero: sequence_new fails with it

    int play(AccumulationWindows& windows, int pattern) {
        return windows.createSequence(
            pattern, [this](int id) { return patterns.count(id) != 0; },
            [this](int id) {
                if (failWith) return failWith;
                if (!patterns.count(id)) return -95;
                created.push_back(id);
                return static_cast<int>(created.size()) + 99;
            });
    }
    int lastPattern() const { return created.empty() ? -1 : created.back(); }
};

struct Fixture : ::testing::Test {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    AccumulationWindows windows{clock};
    FakeEngine engine;

    // Plays at `seconds`; the pattern it created, or the refusal code.
    int playAt(double seconds) {
        clock->at(seconds);
        const size_t before = engine.created.size();
        const int r = engine.play(windows, kMain);
        if (r < 0) return r;
        EXPECT_EQ(engine.created.size(), before + 1);
        return engine.lastPattern();
    }
};
}  // namespace

TEST_F(Fixture, WindowOpensAtFirstPlayFallsBackUpToTheMaximumAndReopensAfterwards) {
    windows.set(kMain, kFallback, 1.0f, 2);
    EXPECT_EQ(playAt(0.0), kMain);
    EXPECT_EQ(playAt(0.1), kFallback);
    EXPECT_EQ(playAt(0.2), kFallback);
    EXPECT_EQ(playAt(0.3), -14);
    EXPECT_EQ(playAt(1.5), kMain);  // a new window
    EXPECT_EQ(playAt(1.6), kFallback);
    EXPECT_EQ(windows.find(kMain)->count, 1);
}

TEST_F(Fixture, MaximumBelowOneNeverRefusesWithinTheWindow) {
    for (int max : {0, -3}) {
        windows.set(kMain, kFallback, 1.0f, max);
        clock->at(100.0 * (1 - max));  // far past any earlier window
        EXPECT_EQ(engine.play(windows, kMain) >= 0, true);
        EXPECT_EQ(engine.lastPattern(), kMain);
        for (int i = 1; i <= 50; ++i) {
            clock->now += 10'000'000;  // 10 ms
            ASSERT_GE(engine.play(windows, kMain), 0);
            EXPECT_EQ(engine.lastPattern(), kFallback) << max << " " << i;
        }
    }
}

TEST_F(Fixture, PatternsWithoutAWindowAlwaysPlayThemselves) {
    windows.set(kMain, kFallback, 1.0f, 1);
    clock->at(0.0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_GE(engine.play(windows, kFallback), 0);
        EXPECT_EQ(engine.lastPattern(), kFallback);
    }
}

TEST_F(Fixture, AMissingFallbackRefusesEveryPlayUntilTheWindowIsErased) {
    LogRecorder log;
    windows.set(kMain, kFallback, 1.0f, 2);
    engine.patterns.erase(kFallback);
    EXPECT_EQ(playAt(0.0), -2);
    EXPECT_EQ(playAt(5.0), -2);  // whatever the window's timing
    EXPECT_TRUE(engine.created.empty());
    AccumulationWindows::logRefusal(-2);
    EXPECT_TRUE(LogRecorder::has(3, "HandlerStreaming",
                                 "Accumulation not set, the fallback pattern does not exist."));
    EXPECT_TRUE(windows.erase(kMain));
    EXPECT_FALSE(windows.erase(kMain));
    EXPECT_EQ(playAt(6.0), kMain);
}

TEST_F(Fixture, ChangingTheSettingsKeepsTheRunningWindowAndCount) {
    windows.set(kMain, kFallback, 1.0f, 2);
    EXPECT_EQ(playAt(0.0), kMain);
    EXPECT_EQ(playAt(0.1), kFallback);
    windows.set(kMain, kFallback, 2.0f, 3);
    EXPECT_EQ(windows.find(kMain)->count, 1);
    EXPECT_EQ(playAt(1.2), kFallback);  // still the window opened at 0.0, now 2 s long
    EXPECT_EQ(playAt(1.3), kFallback);
    EXPECT_EQ(playAt(1.4), -14);
    LogRecorder log;
    AccumulationWindows::logRefusal(-14);
    EXPECT_TRUE(LogRecorder::has(4, "HandlerStreaming", "Max accumulation reached, play event is ignored."));
}

TEST_F(Fixture, AFailedSequenceLeavesTheWindowUntouched) {
    windows.set(kMain, kFallback, 1.0f, 1);
    engine.failWith = -99;
    EXPECT_EQ(playAt(0.0), -99);
    EXPECT_FALSE(windows.find(kMain)->open);  // the failed play opened nothing
    engine.failWith = 0;
    EXPECT_EQ(playAt(0.5), kMain);
    engine.failWith = -99;
    EXPECT_EQ(playAt(0.6), -99);
    EXPECT_EQ(windows.find(kMain)->count, 0);
    engine.failWith = 0;
    EXPECT_EQ(playAt(0.7), kFallback);
    EXPECT_EQ(playAt(0.8), -14);
}

TEST_F(Fixture, TheWindowIsMeasuredFromTheMomentTheMainSequenceExists) {
    windows.set(kMain, kFallback, 1.0f, 5);
    clock->at(0.0);
    // The clock moves while the sequence is made: the window starts after it.
    const int r = windows.createSequence(
        kMain, [](int) { return true; },
        [this](int id) {
            clock->at(0.4);
            return id;
        });
    EXPECT_EQ(r, kMain);
    EXPECT_EQ(playAt(1.3), kFallback);  // 0.9 s after the start
    EXPECT_EQ(playAt(1.5), kMain);
}
