#include "sdk/core/SdkPersistentState.h"

#include <gtest/gtest.h>

TEST(SdkPersistentState, LastPatternIdFollowsTheLargestKeptId) {
    SdkPersistentState state;
    EXPECT_EQ(state.lastPatternId(), -1);
    state.addPattern(0, "a");
    state.addPattern(4, "c");
    state.addPattern(1, "b");
    EXPECT_EQ(state.lastPatternId(), 4);
    state.removePattern(4);
    EXPECT_EQ(state.lastPatternId(), 1);
    state.removePattern(17);  // no entry: nothing changes
    EXPECT_EQ(state.lastPatternId(), 1);
}

TEST(SdkPersistentState, FirstTextOfAnIdIsKeptAndCopiesReplaceTheTarget) {
    SdkPersistentState state;
    state.addPattern(2, "first");
    state.addPattern(2, "second");
    std::map<int, std::string> out{{7, "stale"}, {2, "stale"}};
    state.getPatterns(out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out.at(2), "first");
}

namespace {
void callbackA(vbz_connection_state_t, vbz_error_t, unsigned, void*) {}
}  // namespace

TEST(SdkPersistentState, ConnectionCallbackAndUserDataTravelTogether) {
    SdkPersistentState state;
    EXPECT_EQ(state.getConnectionCallback(), nullptr);
    EXPECT_EQ(state.getUserData(), nullptr);
    int data = 0;
    state.setConnectionCallback(&callbackA, &data);
    EXPECT_EQ(state.getConnectionCallback(), &callbackA);
    EXPECT_EQ(state.getUserData(), &data);
    state.setConnectionCallback(nullptr, nullptr);
    EXPECT_EQ(state.getConnectionCallback(), nullptr);
    EXPECT_EQ(state.getUserData(), nullptr);
}
