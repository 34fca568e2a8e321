// Threads of this process, for tests that check that the code under test
// leaves none behind.
#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace vbz_test {

// The count as /proc lists it now.
inline int listedThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") {
            int n = 0;
            status >> n;
            return n;
        }
    }
    return -1;
}

// The count once it holds still: a thread that was just joined can still be
// listed for a moment. A sanitizer may start a thread of its own when the
// process makes its first one; one thread is made and joined first so that
// the sanitizer's is there before counting, not counted as one the code
// under test left behind.
inline int threadCount() {
    static const bool sanitizerThreadStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)sanitizerThreadStarted;
    int n = listedThreadCount();
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int again = listedThreadCount();
        if (again == n) break;
        n = again;
    }
    return n;
}

}  // namespace vbz_test
