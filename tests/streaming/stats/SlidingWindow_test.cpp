// The audio stream's statistics: moving averages over N callbacks, resizing,
// and the exact texts of the periodic report and the summary.
#include "streaming/SlidingWindow.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(SlidingWindow, AveragesRiseFromZeroThenFollowTheLastNSamples) {
    SlidingWindow w(4);
    const double expected[] = {0.25, 0.75, 1.5, 2.5, 3.5};
    for (int i = 0; i < 5; ++i) {
        w.pushCompute(i + 1.0);
        EXPECT_DOUBLE_EQ(w.avgComputeTime(), expected[i]) << i;
    }
    // The request side keeps three windows in step.
    for (int i = 0; i < 6; ++i) w.pushRequest(0.5, 2.0);
    EXPECT_DOUBLE_EQ(w.avgRequestTime(), 0.5);
    EXPECT_DOUBLE_EQ(w.avgCallbackTime(), 2.0);
    EXPECT_DOUBLE_EQ(w.avgRequestRatio(), 0.25);
}

TEST(SlidingWindow, AWindowOfOneHoldsOnlyTheLastSampleAndSizesBelowOneMeanOne) {
    for (int n : {1, 0, -7}) {
        SlidingWindow w(n);
        EXPECT_EQ(w.windowLength(), 1u);
        w.pushCompute(3.0);
        w.pushCompute(0.125);
        w.pushRequest(1.0, 4.0);
        w.pushRequest(0.5, 1.0);
        EXPECT_DOUBLE_EQ(w.avgComputeTime(), 0.125);
        EXPECT_DOUBLE_EQ(w.avgRequestTime(), 0.5);
        EXPECT_DOUBLE_EQ(w.avgRequestRatio(), 0.5);
    }
}

TEST(SlidingWindow, ResetStartsTheWindowsAfreshAndKeepsTheCounters) {
    SlidingWindow w(19);
    for (int i = 0; i < 30; ++i) {
        w.pushCompute(1.0);
        w.pushRequest(1.0, 1.0);
    }
    w.callbackCount = 30;
    w.timeouts = 2;
    w.cpuLoad = 0.5;
    w.reset(5);
    EXPECT_EQ(w.windowLength(), 5u);
    EXPECT_EQ(w.avgComputeTime(), 0.0);
    EXPECT_EQ(w.avgRequestTime(), 0.0);
    EXPECT_EQ(w.avgRequestRatio(), 0.0);
    EXPECT_EQ(w.callbackCount.load(), 30u);
    EXPECT_EQ(w.timeouts.load(), 2u);
    EXPECT_EQ(w.cpuLoad.load(), 0.5);
    w.pushCompute(5.0);  // slot 0 of the new window: 5 / 5
    EXPECT_DOUBLE_EQ(w.avgComputeTime(), 1.0);
}

TEST(SlidingWindow, ACallbackOfZeroDurationDoesNotPoisonTheRatio) {
    SlidingWindow w(2);
    w.pushRequest(0.001, 0.0);
    w.pushRequest(0.0, 0.0);
    EXPECT_TRUE(std::isfinite(w.avgRequestRatio()));
    w.pushRequest(1.0, 2.0);
    w.pushRequest(1.0, 2.0);
    EXPECT_DOUBLE_EQ(w.avgRequestRatio(), 0.5);
}

TEST(SlidingWindow, ReportAndSummaryTexts) {
    SlidingWindow w(2);
    w.pushRequest(0.002, 0.004);
    w.pushRequest(0.002, 0.004);
    w.pushCompute(0.001);
    w.pushCompute(0.001);
    w.cpuLoad = 0.25;
    EXPECT_EQ(w.report(),
              "Callback report:\n>>Haptic stream average request compute time: 0.002\n"
              ">>Haptic stream average compute time: 0.001\n"
              ">>Haptic stream average callback time: 0.004( ratio 50/100)\n"
              ">>Haptic stream CPU load: 0.25");

    w.callbackCount = 8;
    w.underflows = 1;
    w.overflows = 0;
    w.timeouts = 2;
    EXPECT_EQ(w.summary(),
              "Stop streaming signal:\n>>Haptic stream underflow: 1( ratio 12.5/100)\n"
              ">>Haptic stream overflow occurrence: 0( ratio 0/100)\n"
              ">>Haptic stream timeout occurrence: 2( ratio 25/100)\n");
}

TEST(SlidingWindow, SummaryBeforeAnyCallbackShowsNotANumber) {
    SlidingWindow w(19);
    EXPECT_EQ(w.summary(),
              "Stop streaming signal:\n>>Haptic stream underflow: 0( ratio nan/100)\n"
              ">>Haptic stream overflow occurrence: 0( ratio nan/100)\n"
              ">>Haptic stream timeout occurrence: 0( ratio nan/100)\n");
}
