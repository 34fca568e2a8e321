// The fault-mix run in a short form: twelve seconds of random effects on
// the emulated board, with a short answer time-out and the real link's
// keep-alive (so that plays often follow one another with no status
// between), while the board swallows host frames, answers twice, holds its
// expiry statuses back or sends none, each switched now and then. Counts
// only: every sample that fell due is played once, none is cut, the link
// holds, and once idle the board holds no slot the host does not know.
#include "tools/sequencer-faults/FaultMix.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;

TEST(FaultMix, EverySampleIsPlayedOnceAndNoSlotIsLeftHeld) {
    vbz::tools::FaultMixOptions options;
    options.seed = 3;
    options.seconds = 12;
    options.timing.answerTimeout = 250ms;
    options.timing.keepAliveInterval = 1s;
    options.timing.settleTime = 5ms;
    options.settleSeconds = 4;
    options.clearedSeconds = 2.5;
    const auto report = vbz::tools::runFaultMix(options);
    SCOPED_TRACE(report.text());
    ASSERT_GT(report.samplesDue, 0);
    EXPECT_GT(report.faultSwitches, 0);
    EXPECT_EQ(report.missing, 0);
    EXPECT_EQ(report.extra, 0);
    EXPECT_EQ(report.stopSlots, 0);
    EXPECT_EQ(report.disconnections, 0);
    EXPECT_TRUE(report.connectedAtEnd);
    EXPECT_EQ(report.boardReservedIdle & ~report.hostRegisteredIdle, 0u);
    EXPECT_EQ(report.boardReservedCleared, 0u);
    EXPECT_EQ(report.hostRegisteredCleared, 0u);
}
