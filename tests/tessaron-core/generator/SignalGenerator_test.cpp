#include "tessaron-core/src/signal/SignalGenerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "tessaron-core/src/signal/EngineClock.h"
#include "tessaron-core/src/signal/PlaybackGenerator.h"
#include "tessaron-core/src/signal/SignalSyncTable.h"

namespace {

// Content whose sample value is its own content time, so that tests read
// where a generator plays from.
class FakeGenerator : public tsr::ISignalGenerator {
public:
    FakeGenerator(uint64_t key, double period, bool sync) : key_(key), period_(period) {
        if (sync) setSynchronized();
    }
    double duration() const override { return period_; }
    void reset() override { ++resets; }
    uint64_t generate(double rate, float gain, std::vector<float>& out) override {
        if (!(rate > 0.0)) return 0;
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = gain * static_cast<float>(time() + static_cast<double>(i) / rate);
        }
        return out.size();
    }
    uint64_t contentKey() const override { return key_; }

    int resets = 0;

private:
    uint64_t key_;
    double period_;
};

tsr::SignalSyncState entry(uint64_t contentKey, double rate) {
    tsr::SignalSyncState s;
    EXPECT_TRUE(tsr::signalSyncLookup(tsr::syncKey(contentKey, rate), s));
    return s;
}

class SyncedGenerators : public ::testing::Test {
protected:
    void SetUp() override {
        tsr::resetEngineClockForTesting();
        tsr::clearSignalSyncTableForTesting();
    }
    void TearDown() override {
        tsr::resetEngineClockForTesting();
        tsr::clearSignalSyncTableForTesting();
    }
    std::vector<float> buf = std::vector<float>(100);
};

}  // namespace

TEST(EngineClock, CountsBuffersAndWraps) {
    tsr::resetEngineClockForTesting();
    tsr::advanceEngineClock(0.01);
    tsr::advanceEngineClock(0.01);
    EXPECT_EQ(tsr::engineTick(), 2u);
    tsr::resetEngineClockForTesting(std::numeric_limits<uint32_t>::max());
    tsr::advanceEngineClock(0.01);
    EXPECT_EQ(tsr::engineTick(), 0u);
}

TEST(SyncKey, FnvOfTheRateWithSignedZerosAlike) {
    EXPECT_EQ(tsr::rateHash(0.0), 12161962213042174405ull);
    EXPECT_EQ(tsr::rateHash(-0.0), 12161962213042174405ull);
    EXPECT_EQ(tsr::rateHash(1000.0), 9220863161495506306ull);
    EXPECT_EQ(tsr::syncKey(5, 1000.0), 10u ^ 9220863161495506306ull);
    EXPECT_EQ(tsr::syncKey(1ull << 63, 8000.0), tsr::rateHash(8000.0));  // doubling wraps
    EXPECT_NE(tsr::syncKey(5, 1000.0), tsr::syncKey(5, 2000.0));
}

TEST_F(SyncedGenerators, PlainGeneratorOnlyCountsTime) {
    FakeGenerator g(7, 1.0, false);
    EXPECT_EQ(g.render(1000.0, 1.0f, buf, 0.0), 100u);
    EXPECT_EQ(g.render(1000.0, 1.0f, buf, 0.3), 100u);
    EXPECT_DOUBLE_EQ(g.time(), 0.2);
    EXPECT_EQ(g.resets, 0);
    EXPECT_EQ(tsr::signalSyncTableSize(), 0u);
    // A rate that produces nothing leaves the time alone.
    EXPECT_EQ(g.render(0.0, 1.0f, buf, 0.0), 0u);
    EXPECT_DOUBLE_EQ(g.time(), 0.2);
    g.setTime(std::nan(""));
    EXPECT_EQ(g.time(), 0.0);
    EXPECT_EQ(g.resets, 1);
}

TEST_F(SyncedGenerators, SecondGeneratorOfATickJoinsTheFirstsPhase) {
    tsr::advanceEngineClock(0.1);  // tick 1; the generators are built in it
    FakeGenerator a(7, 10.0, true);
    FakeGenerator b(7, 10.0, true);
    // Even without a clock move, a new generator's first call opens its tick.
    a.setTime(2.0);
    a.resets = 0;
    EXPECT_EQ(a.render(1000.0, 1.0f, buf, 0.0), 100u);
    EXPECT_EQ(a.resets, 0);  // the creator of the entry is not moved
    tsr::SignalSyncState e = entry(7, 1000.0);
    EXPECT_EQ(e.tick, 1u);
    EXPECT_DOUBLE_EQ(e.position, 2.0);
    EXPECT_DOUBLE_EQ(e.advance, 0.1);
    EXPECT_EQ(e.period, 10.0);

    // b starts 100 samples into the same buffer: it plays from phase + 0.1.
    b.render(1000.0, 1.0f, buf, 0.1);
    EXPECT_EQ(b.resets, 1);
    EXPECT_FLOAT_EQ(buf[0], 2.1f);
    EXPECT_DOUBLE_EQ(b.time(), 2.2);

    // Next buffer: the phase moves by the largest advance; both play alike.
    tsr::advanceEngineClock(0.1);
    std::vector<float> bufA(100);
    a.render(1000.0, 1.0f, bufA, 0.0);
    b.render(1000.0, 1.0f, buf, 0.0);
    EXPECT_EQ(bufA, buf);
    EXPECT_FLOAT_EQ(bufA[0], 2.1f);
    EXPECT_EQ(a.resets, 1);
    EXPECT_EQ(b.resets, 2);
    EXPECT_EQ(entry(7, 1000.0).tick, 2u);
    EXPECT_EQ(tsr::signalSyncTableSize(), 1u);
}

TEST_F(SyncedGenerators, OtherRateOrContentHasItsOwnPhase) {
    FakeGenerator a(7, 10.0, true);
    FakeGenerator slow(7, 10.0, true);
    FakeGenerator other(8, 10.0, true);
    a.setTime(1.0);
    a.render(1000.0, 1.0f, buf, 0.0);
    slow.render(2000.0, 1.0f, buf, 0.0);
    other.render(1000.0, 1.0f, buf, 0.0);
    EXPECT_EQ(tsr::signalSyncTableSize(), 3u);
    EXPECT_EQ(slow.resets, 0);
    EXPECT_EQ(other.resets, 0);
    EXPECT_DOUBLE_EQ(entry(7, 2000.0).position, 0.0);
    // -0.0 and +0.0 are one rate (whose blocks produce nothing here).
    FakeGenerator zero(9, 10.0, true);
    FakeGenerator negZero(9, 10.0, true);
    zero.render(0.0, 1.0f, buf, 0.0);
    negZero.render(-0.0, 1.0f, buf, 0.0);
    EXPECT_EQ(negZero.resets, 1);
    EXPECT_EQ(tsr::signalSyncTableSize(), 4u);
}

TEST_F(SyncedGenerators, IdleKeyIsReanchoredWithoutMovingTheGenerator) {
    FakeGenerator a(7, 10.0, true);
    a.render(1000.0, 1.0f, buf, 0.0);
    tsr::advanceEngineClock(0.1);
    tsr::advanceEngineClock(0.1);
    a.setTime(4.0);
    a.resets = 0;
    a.render(1000.0, 1.0f, buf, 0.02);
    EXPECT_EQ(a.resets, 0);
    EXPECT_FLOAT_EQ(buf[0], 4.0f);
    const tsr::SignalSyncState e = entry(7, 1000.0);
    EXPECT_EQ(e.tick, 2u);
    EXPECT_DOUBLE_EQ(e.position, 3.98);  // its own time minus its offset
    EXPECT_DOUBLE_EQ(e.advance, 0.1);
}

TEST_F(SyncedGenerators, AdvanceKeepsTheLargestAndPhaseWraps) {
    FakeGenerator a(7, 0.25, true);
    FakeGenerator b(7, 0.25, true);
    std::vector<float> small(10);
    for (int i = 0; i < 3; ++i) a.render(1000.0, 1.0f, small, 0.01 * i);
    EXPECT_EQ(a.resets, 0);  // one lookup per tick, on the first call
    b.render(1000.0, 1.0f, buf, 0.0);
    EXPECT_DOUBLE_EQ(entry(7, 1000.0).advance, 0.1);
    a.render(1000.0, 1.0f, buf, 0.03);
    EXPECT_DOUBLE_EQ(entry(7, 1000.0).advance, 0.13);
    // Three more buffers: 0.13 + 0.1 + 0.1 wraps at the period of 0.25.
    for (int tick = 0; tick < 3; ++tick) {
        tsr::advanceEngineClock(0.1);
        b.render(1000.0, 1.0f, buf, 0.0);
    }
    EXPECT_NEAR(entry(7, 1000.0).position, 0.08, 1e-12);
    EXPECT_NEAR(b.time(), 0.18, 1e-12);
}

TEST_F(SyncedGenerators, TickDifferenceAcrossTheWrapIsOne) {
    tsr::resetEngineClockForTesting(std::numeric_limits<uint32_t>::max());
    FakeGenerator a(7, 10.0, true);
    a.render(1000.0, 1.0f, buf, 0.0);
    tsr::advanceEngineClock(0.1);
    a.render(1000.0, 1.0f, buf, 0.0);
    EXPECT_EQ(a.resets, 1);  // followed the phase instead of re-anchoring
    EXPECT_EQ(entry(7, 1000.0).tick, 0u);
    EXPECT_DOUBLE_EQ(entry(7, 1000.0).position, 0.1);
}

TEST_F(SyncedGenerators, RateChangeWithinATickRecordsNothing) {
    FakeGenerator a(7, 10.0, true);
    a.render(1000.0, 1.0f, buf, 0.0);
    a.render(2000.0, 1.0f, buf, 0.1);
    EXPECT_EQ(tsr::signalSyncTableSize(), 1u);
    EXPECT_DOUBLE_EQ(entry(7, 1000.0).advance, 0.1);
}

TEST_F(SyncedGenerators, PlaybackGeneratorsOfOneCropShareTheirSamples) {
    const nlohmann::json sample = {
        {"signalIndex", 0x10000 | 3}, {"startCrop", 0.5}, {"stopCrop", 3.0}};
    tsr::PlaybackGenerator a(sample);
    tsr::PlaybackGenerator b(sample);
    tsr::PlaybackGenerator plain({{"signalIndex", 3}, {"startCrop", 0.5}, {"stopCrop", 3.0}});
    ASSERT_TRUE(a.isSynchronized());
    std::vector<float> outA(256);
    std::vector<float> outB(256);
    a.render(1000.0, 1.0f, outA, 0.0);
    b.render(1000.0, 1.0f, outB, 0.05);  // starts 50 samples into the buffer
    plain.render(1000.0, 1.0f, outB, 0.05);
    EXPECT_EQ(tsr::signalSyncTableSize(), 1u);
    for (int tick = 0; tick < 3; ++tick) {
        tsr::advanceEngineClock(0.256);
        a.render(1000.0, 1.0f, outA, 0.0);
        b.render(1000.0, 1.0f, outB, 0.0);
        EXPECT_EQ(outA, outB) << tick;
        EXPECT_DOUBLE_EQ(a.time(), b.time());
    }
    EXPECT_EQ(a.playhead(), b.playhead());
}

// Two engines render on two threads: both advance the one clock and share the
// table, which must neither lose nor corrupt entries.
TEST_F(SyncedGenerators, EnginesOnTwoThreadsShareTheTableSafely) {
    auto engine = [](uint64_t firstKey) {
        std::vector<float> out(32);
        FakeGenerator shared(1, 10.0, true);
        for (uint64_t k = 0; k < 400; ++k) {
            FakeGenerator own(firstKey + k, 10.0, true);
            own.render(1000.0, 1.0f, out, 0.0);
            shared.render(1000.0, 1.0f, out, 0.0);
            tsr::advanceEngineClock(0.032);
        }
    };
    std::thread a(engine, 1000);
    std::thread b(engine, 2000);
    a.join();
    b.join();
    EXPECT_EQ(tsr::signalSyncTableSize(), 801u);
    EXPECT_EQ(tsr::engineTick(), 800u);
}
