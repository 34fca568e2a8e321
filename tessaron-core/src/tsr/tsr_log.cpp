#include "tessaron-core/src/tsr/tsr_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<int> logThreshold{2};
std::atomic<tsr_log_callback_t> logCallback{nullptr};

// Each thread formats into its own buffers, so messages of two threads never
// overwrite each other; the callback sees them only during the call.
thread_local char whereBuffer[tsr::kLogBufferSize];
thread_local char messageBuffer[tsr::kLogBufferSize];
}  // namespace

const char* sourceBasename(const char* path) {
    if (!path) return "";
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

void tsr_log(int level, const char* file, int line, const char* format, ...) {
    if (level < logThreshold.load(std::memory_order_relaxed)) return;
    tsr_log_callback_t cb = logCallback.load(std::memory_order_relaxed);
    if (!cb) return;
    std::snprintf(whereBuffer, sizeof whereBuffer, "%s:%d", sourceBasename(file), line);
    if (format) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(messageBuffer, sizeof messageBuffer, format, args);
        va_end(args);
    } else {
        messageBuffer[0] = '\0';
    }
    cb(level, whereBuffer, messageBuffer);
}

void tsr_set_log_level(int level) { logThreshold.store(level, std::memory_order_relaxed); }

void tsr_set_log_callback(tsr_log_callback_t callback) {
    logCallback.store(callback, std::memory_order_relaxed);
}

int tsr_get_log_level() { return logThreshold.load(std::memory_order_relaxed); }

tsr_log_callback_t tsr_get_log_callback() { return logCallback.load(std::memory_order_relaxed); }
