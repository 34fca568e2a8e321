// Runs a piece of a test on a thread of its own and waits a bounded time for
// it, so that a deadlock fails the test with a message instead of hanging
// until ctest's time-out. A body still running then is abandoned: the
// process ends at once with a failure (it cannot be joined).
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

namespace vbz_test {

inline void mustReturnWithin(std::chrono::seconds limit, std::function<void()> body, const char* what) {
    std::packaged_task<void()> task(std::move(body));
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "FAILED: %s did not return (deadlock?)\n", what);
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
    done.get();
}

}  // namespace vbz_test
