// Lines written under the handler mutex wait for its release; lines written
// from inside the sink are dropped and counted. The sink is process-wide:
// ctest runs every case in a process of its own.
#include "sdk/core/LogHold.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/core/LogLine.h"
#include "tests/support/CountingAllocator.h"

namespace {

struct Seen {
    int level;
    std::string tag;
    std::string text;
    std::thread::id thread;
    bool mutexFree;  // the sink could take the mutex itself
};

std::mutex handlerMutex;
std::vector<Seen> seen;

// Stands for an application callback that calls the SDK: it takes the
// handler mutex, and writes a line of its own meanwhile.
void callingSink(int level, const char* tag, const char* text) {
    const bool free = handlerMutex.try_lock();
    if (free) handlerMutex.unlock();
    seen.push_back({level, tag, text, std::this_thread::get_id(), free});
    std::lock_guard<std::mutex> lock(handlerMutex);
    LogLine(3, "Nested") << "written from inside the sink";
}

struct LogHoldTest : ::testing::Test {
    void SetUp() override {
        vbz::setLogCallback(&callingSink);
        vbz::setMinLogLevel(0);
    }
};

}  // namespace

TEST_F(LogHoldTest, LinesUnderTheLockArriveAfterItsReleaseInOrderOnTheSameThread) {
    const uint64_t droppedBefore = vbz::droppedLogLineCount();
    LogLine(2, "Before") << "direct";
    {
        vbz::HandlerLock lock(handlerMutex);
        LogLine(2, "A") << "first";
        vbz::engineLogHook(3, "file.cpp:1", "engine warning");
        {
            vbz::LogHold nested;  // nested holds deliver with the outermost
            LogLine(4, "B") << "third";
        }
        EXPECT_EQ(seen.size(), 1u);  // only the line written before the lock
        LogLine(1, "C") << std::string(70000, 'x');  // longer than any before
    }
    ASSERT_EQ(seen.size(), 5u);
    const std::vector<std::string> tags = {"Before", "A", "TessaronCore", "B", "C"};
    const std::vector<int> levels = {2, 2, 3, 4, 1};
    for (std::size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(seen[i].tag, tags[i]);
        EXPECT_EQ(seen[i].level, levels[i]);
        EXPECT_EQ(seen[i].thread, std::this_thread::get_id());
        EXPECT_TRUE(seen[i].mutexFree) << tags[i];
    }
    EXPECT_EQ(seen[2].text, "engine warning");
    EXPECT_EQ(seen[4].text.size(), 70000u);
    // Each sink call wrote one line of its own: none reached the sink again.
    EXPECT_EQ(vbz::droppedLogLineCount() - droppedBefore, 5u);
}

TEST_F(LogHoldTest, UnlockDeliversAtOnceAndRelockHoldsAgain) {
    vbz::HandlerLock lock(handlerMutex);
    LogLine(2, "Held") << "one";
    lock.unlock();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].mutexFree);
    lock.relock();
    LogLine(2, "Held") << "two";
    EXPECT_EQ(seen.size(), 1u);
    lock.unlock();
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(LogHoldTest, AHoldKeepsOnlyItsOwnThreadsLines) {
    vbz::LogHold hold;
    std::thread other([] { vbz::engineLogHook(3, "", "from another thread"); });
    other.join();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "from another thread");
    EXPECT_NE(seen[0].thread, std::this_thread::get_id());
}

TEST(LogHoldAllocation, HoldingAndDeliveringAllocateNothingOnceWarm) {
    static int delivered = 0;
    vbz::setLogCallback([](int, const char*, const char*) { ++delivered; });
    vbz::setMinLogLevel(0);
    std::mutex mutex;
    auto pass = [&] {
        vbz::HandlerLock lock(mutex);
        vbz::engineLogHook(3, "", "Invalid filtered index");
        vbz::engineLogHook(4, "", "a second warning of the same block");
    };
    pass();  // the thread's storage reaches its size
    const long before = vbz_test::allocationCount();
    for (int k = 0; k < 100; ++k) pass();
    EXPECT_EQ(vbz_test::allocationCount() - before, 0);
    EXPECT_EQ(delivered, 202);
}
