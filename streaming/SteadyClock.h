// The steady clock that time-dependent behaviour of the streaming back-end
// reads (accumulation windows, the vest stream's time-outs), behind an interface so that tests can move
// time by hand instead of sleeping.
//
// Threads: the system clock may be read from any thread; a test clock
// documents its own rules.
#pragma once

#include <cstdint>
#include <memory>

namespace vbz {

class SteadyClock {
public:
    virtual ~SteadyClock() = default;
    // Nanoseconds since an arbitrary, fixed origin; never goes back.
    virtual int64_t nowNanoseconds() = 0;
    // Sleeps this long (by default for real); a test clock may instead move
    // its time on.
    virtual void sleepNanoseconds(int64_t ns);

    // std::chrono::steady_clock, shared by every user.
    static std::shared_ptr<SteadyClock> system();
};

}  // namespace vbz

using vbz::SteadyClock;
