// Waiting, boundedly, for a state another thread reaches.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vbz_test {

// Polls condition until it holds or limit passes; its last value.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::steady_clock::duration limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

}  // namespace vbz_test
