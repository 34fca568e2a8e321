// Accumulation windows of the streaming back-end: a pattern given a window
// plays itself at the first play, which opens the window; further plays
// within windowSeconds play its fallback pattern instead, up to
// maxAccumulation of them (below 1: no limit), and plays beyond that are
// refused with -14. The first play after the window has elapsed opens a new
// one.
//
// Owned by HandlerStreaming and guarded by its handler mutex; nothing here
// logs or locks, so the caller logs the refusals (logRefusal) after it has
// released the mutex.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "streaming/SteadyClock.h"

namespace vbz {

class AccumulationWindows {
public:
    struct Window {
        int64_t windowStart = 0;  // steady clock, nanoseconds
        float windowSeconds = 0.0f;
        int count = 0;  // fallback plays in the current window
        int maxAccumulation = 0;
        int fallbackPatternId = -1;
        // No play has opened a window yet. (The clock's origin is arbitrary,
        // so a start of 0 cannot stand for "never".)
        bool open = false;
    };

    explicit AccumulationWindows(std::shared_ptr<SteadyClock> clock);

    // A new window, or new settings for an existing one whose start and
    // running count are kept.
    void set(int mainPatternId, int fallbackPatternId, float windowSeconds, int maxAccumulation);
    // false when the pattern had no window.
    bool erase(int mainPatternId);
    const Window* find(int mainPatternId) const;

    // Creates the sequence that a play of patternId stands for: the id that
    // create(pattern) returned, -2 when the window's fallback pattern is
    // missing (isAllocated(fallback) false), -14 when the window is full. A
    // failed create is returned unchanged and leaves the window untouched.
    template <class IsAllocated, class Create>
    int createSequence(int patternId, IsAllocated&& isAllocated, Create&& create);

    // Logs the warning or error that goes with a refusal of createSequence
    // (-2, -14); nothing for other codes. Call without the handler mutex.
    static void logRefusal(int code);

private:
    std::shared_ptr<SteadyClock> clock_;
    std::map<int, Window> windows_;
};

template <class IsAllocated, class Create>
int AccumulationWindows::createSequence(int patternId, IsAllocated&& isAllocated, Create&& create) {
    auto it = windows_.find(patternId);
    if (it == windows_.end()) return create(patternId);
    Window& w = it->second;
    if (!isAllocated(w.fallbackPatternId)) return -2;

    const int64_t now = clock_->nowNanoseconds();
    const float elapsed = static_cast<float>(now - w.windowStart) / 1e9f;
    if (!w.open || !(w.windowSeconds > elapsed)) {
        const int id = create(patternId);
        if (id >= 0) {
            w.windowStart = clock_->nowNanoseconds();
            w.count = 0;
            w.open = true;
        }
        return id;
    }
    if (w.maxAccumulation < 1 || w.count < w.maxAccumulation) {
        const int id = create(w.fallbackPatternId);
        if (id >= 0) ++w.count;
        return id;
    }
    return -14;
}

}  // namespace vbz

using vbz::AccumulationWindows;
