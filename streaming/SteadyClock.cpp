#include "streaming/SteadyClock.h"

#include <chrono>
#include <thread>

namespace vbz {

namespace {
class SystemSteadyClock final : public SteadyClock {
public:
    int64_t nowNanoseconds() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};
}  // namespace

void SteadyClock::sleepNanoseconds(int64_t ns) {
    if (ns > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

std::shared_ptr<SteadyClock> SteadyClock::system() {
    static const std::shared_ptr<SteadyClock> clock = std::make_shared<SystemSteadyClock>();
    return clock;
}

}  // namespace vbz
