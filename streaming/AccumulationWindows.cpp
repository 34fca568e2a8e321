#include "streaming/AccumulationWindows.h"

#include "sdk/core/LogLine.h"

namespace vbz {

AccumulationWindows::AccumulationWindows(std::shared_ptr<SteadyClock> clock)
    : clock_(clock ? std::move(clock) : SteadyClock::system()) {}

void AccumulationWindows::set(int mainPatternId, int fallbackPatternId, float windowSeconds,
                              int maxAccumulation) {
    Window& w = windows_[mainPatternId];
    w.windowSeconds = windowSeconds;
    w.maxAccumulation = maxAccumulation;
    w.fallbackPatternId = fallbackPatternId;
}

bool AccumulationWindows::erase(int mainPatternId) { return windows_.erase(mainPatternId) != 0; }

const AccumulationWindows::Window* AccumulationWindows::find(int mainPatternId) const {
    auto it = windows_.find(mainPatternId);
    return it == windows_.end() ? nullptr : &it->second;
}

void AccumulationWindows::logRefusal(int code) {
    if (code == -2)
        LogLine(3, "HandlerStreaming") << "Accumulation not set, the fallback pattern does not exist.";
    else if (code == -14)
        LogLine(4, "HandlerStreaming") << "Max accumulation reached, play event is ignored.";
}

}  // namespace vbz
