// Linux: the word itself is the futex (process-private).
#include "sdk/platform/WordWait.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>

namespace vbz {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the kernel waits on the atomic's own storage");

namespace {
uint32_t* address(const std::atomic<uint32_t>& word) {
    return reinterpret_cast<uint32_t*>(const_cast<std::atomic<uint32_t>*>(&word));
}

// EAGAIN (the word already differs), EINTR and ETIMEDOUT all mean: look again.
void futexWait(const std::atomic<uint32_t>& word, uint32_t value, const timespec* timeout) {
    (void)::syscall(SYS_futex, address(word), FUTEX_WAIT_PRIVATE, value, timeout, nullptr, 0);
}
}  // namespace

void waitWhileWordIs(const std::atomic<uint32_t>& word, uint32_t value, double seconds) noexcept {
    if (!(seconds > 0.0)) return;  // NaN too
    // A day is as good as forever here, and keeps the conversion in range.
    const double bounded = std::min(seconds, 86400.0);
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(bounded);
    timeout.tv_nsec = std::min(999999999L, static_cast<long>((bounded - std::floor(bounded)) * 1e9));
    futexWait(word, value, &timeout);
}

void waitWhileWordIs(const std::atomic<uint32_t>& word, uint32_t value) noexcept {
    futexWait(word, value, nullptr);
}

void wakeWordWaiters(std::atomic<uint32_t>& word) noexcept {
    (void)::syscall(SYS_futex, address(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace vbz
