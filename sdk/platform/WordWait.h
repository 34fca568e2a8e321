// Sleeping until a 32-bit atomic word changes, and waking such sleepers: how
// the threads of a hand-over (an audio callback and a stream loop) wait for
// each other.
//
// Unlike std::atomic::wait, a wait here goes straight to sleep in the
// kernel: it neither spins nor yields first. On a machine whose every core
// is busy, a yield hands the rest of the time slice to the busy thread
// beside it and puts the yielding thread at the back of the queue, so each
// one costs milliseconds before the thread runs again; a sleeper woken by
// the other side, having used little of its share, gets a core back within
// microseconds instead.
//
// Threads: any. A wake takes no lock, allocates nothing and never blocks,
// so an audio callback may call it; a callback waits only with a time
// limit.
#pragma once

#include <atomic>
#include <cstdint>

namespace vbz {

// Sleeps while word holds value, at most `seconds` (no sleep when it is not
// above 0). Returns at once when the word already differs, and may return
// early without a change: callers look at the word again.
void waitWhileWordIs(const std::atomic<uint32_t>& word, uint32_t value, double seconds) noexcept;
// The same without a time limit.
void waitWhileWordIs(const std::atomic<uint32_t>& word, uint32_t value) noexcept;
// Wakes every thread sleeping on word. Change the word before the wake.
void wakeWordWaiters(std::atomic<uint32_t>& word) noexcept;

}  // namespace vbz
