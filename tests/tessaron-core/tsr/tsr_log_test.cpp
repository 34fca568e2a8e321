#include "tessaron-core/src/tsr/tsr_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {
struct Seen {
    int level;
    std::string where;
    std::string message;
};
thread_local std::vector<Seen> seen;

void record(int level, const char* where, const char* message) {
    seen.push_back({level, where, message});
}

int formatted = 0;
const char* countingArg() {
    ++formatted;
    return "x";
}

class EngineLog : public ::testing::Test {
protected:
    void SetUp() override {
        seen.clear();
        tsr_set_log_level(2);
        tsr_set_log_callback(&record);
    }
    void TearDown() override {
        tsr_set_log_callback(nullptr);
        tsr_set_log_level(2);
    }
};
}  // namespace

TEST_F(EngineLog, WhereTextIsBasenameAndLine) {
    tsr_log(2, "tessaron-core/src/tsr", 17, "hello %s %d", "engine", 3);
    tsr_log(3, "C:\\build\\pattern", 5, "w");
    tsr_log(4, "filter", 49, "Invalid filtered index");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].where, "tsr:17");
    EXPECT_EQ(seen[0].message, "hello engine 3");
    EXPECT_EQ(seen[1].where, "pattern:5");
    EXPECT_EQ(seen[2].where, "filter:49");
    EXPECT_EQ(seen[2].level, 4);
}

TEST_F(EngineLog, BelowThresholdOrWithoutCallbackNothingIsFormatted) {
    tsr_set_log_level(3);
    formatted = 0;
    // Arguments are evaluated by the caller; what matters is that no callback runs.
    tsr_log(2, "f", 1, "%s", countingArg());
    EXPECT_TRUE(seen.empty());
    tsr_set_log_callback(nullptr);
    tsr_log(5, "f", 1, "%s", "none");
    EXPECT_TRUE(seen.empty());
    // Signed comparison: a negative level is below any non-negative threshold.
    tsr_set_log_callback(&record);
    tsr_log(-1, "f", 1, "neg");
    EXPECT_TRUE(seen.empty());
}

TEST_F(EngineLog, LongMessagesAreCutTo65535Characters) {
    const std::string big(70000, 'a');
    tsr_log(2, "f", 1, "%s", big.c_str());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message.size(), 65535u);
}

TEST_F(EngineLog, ThreadsFormatIntoTheirOwnBuffers) {
    auto work = [](int id) {
        for (int i = 0; i < 2000; ++i) {
            tsr_log(2, "t", id, "thread %d message %d", id, i);
            const std::string expect = "thread " + std::to_string(id) + " message " + std::to_string(i);
            if (seen.back().message != expect) {
                ADD_FAILURE() << seen.back().message;
                return;
            }
        }
    };
    std::thread a(work, 1), b(work, 2);
    a.join();
    b.join();
}

TEST(SourceBasename, Separators) {
    EXPECT_STREQ(sourceBasename("a/b/c.cpp"), "c.cpp");
    EXPECT_STREQ(sourceBasename("a\\b\\c.cpp"), "c.cpp");
    EXPECT_STREQ(sourceBasename("a/b\\c.cpp"), "c.cpp");
    EXPECT_STREQ(sourceBasename("plain"), "plain");
    EXPECT_STREQ(sourceBasename("dir/"), "");
}
