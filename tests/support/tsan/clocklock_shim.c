/* Linked into every target of the ThreadSanitizer build only
 * (VBZ_SANITIZE=thread).
 *
 * libstdc++ locks a std::timed_mutex with a steady-clock deadline through
 * pthread_mutex_clocklock, which the TSan runtimes of this tool chain (GCC
 * 12's and clang 14's) do not intercept: TSan then never sees the lock and
 * reports its unlock as the unlock of an unlocked mutex, and every access
 * the mutex guards as a race. Here the call becomes pthread_mutex_timedlock,
 * which TSan intercepts, with the deadline moved to the realtime clock. */
#define _GNU_SOURCE
#include <pthread.h>
#include <time.h>

int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock,
                            const struct timespec* deadline) {
    if (clock == CLOCK_REALTIME) return pthread_mutex_timedlock(mutex, deadline);
    struct timespec now;
    struct timespec realNow;
    clock_gettime(clock, &now);
    clock_gettime(CLOCK_REALTIME, &realNow);
    long long left = (long long)(deadline->tv_sec - now.tv_sec) * 1000000000LL +
                     (deadline->tv_nsec - now.tv_nsec);
    if (left < 0) left = 0;
    long long ns = (long long)realNow.tv_nsec + left % 1000000000LL;
    struct timespec realDeadline;
    realDeadline.tv_sec = realNow.tv_sec + (time_t)(left / 1000000000LL) + (time_t)(ns / 1000000000LL);
    realDeadline.tv_nsec = (long)(ns % 1000000000LL);
    return pthread_mutex_timedlock(mutex, &realDeadline);
}
