// The rendering engine's own log channel. The engine knows nothing of the
// SDK's logging: its messages go to one process-wide callback, which the
// streaming back-end connects to the SDK's sink.
#pragma once

#include <cstddef>

extern "C" {
typedef void (*tsr_log_callback_t)(int level, const char* where, const char* message);
}

namespace tsr {
constexpr std::size_t kLogBufferSize = 65536;
}

// Formats and forwards a message when level >= the threshold and a callback
// is set; otherwise formats nothing. Texts are cut to 65535 characters.
void tsr_log(int level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// The text after the last '/' or '\\' of path, or path itself.
const char* sourceBasename(const char* path);
void tsr_set_log_level(int level);
void tsr_set_log_callback(tsr_log_callback_t callback);
int tsr_get_log_level();
tsr_log_callback_t tsr_get_log_callback();
