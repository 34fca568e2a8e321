// CPU time of one thread, for benchmarks that report what a stream's threads
// cost.
#pragma once

#include <pthread.h>
#include <time.h>

namespace vbz_bench {

// CPU seconds that `thread` has used so far (0 when it cannot be read).
inline double threadCpuSeconds(pthread_t thread) {
    clockid_t id;
    if (pthread_getcpuclockid(thread, &id) != 0) return 0.0;
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace vbz_bench
