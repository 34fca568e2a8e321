#include "streaming/SteadyClock.h"

#include <chrono>

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

std::shared_ptr<SteadyClock> SteadyClock::system() {
    static const std::shared_ptr<SteadyClock> clock = std::make_shared<SystemSteadyClock>();
    return clock;
}

}  // namespace vbz
