#include "sdk/core/LogLine.h"

#include "sdk/core/LogHold.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <exception>

namespace vbz {

namespace {
constexpr const char* kLoggerName = "VibrenzaSDK";
constexpr std::size_t kMaxFileSize = 0x500000;  // 5 MiB
constexpr std::size_t kMaxFiles = 10;
constexpr const char* kEngineTag = "TessaronCore";

// spdlog indexes a table with the level: keep it inside trace..off.
spdlog::level::level_enum toSpdlogLevel(int level) {
    if (level < 0) level = 0;
    if (level > 6) level = 6;
    return static_cast<spdlog::level::level_enum>(level);
}
}  // namespace

std::atomic<LogFunction> logFunction{&defaultLogSink};
std::atomic<int> minLogLevel{0};
std::atomic<bool> logCallbackInstalled{false};

namespace {
std::atomic<vbz_log_callback_t> applicationCallback{nullptr};
std::atomic<uint64_t> droppedLines{0};
thread_local bool insideSink = false;

// The sink that stands for the application's callback, so that the callback
// is called through its own type.
void applicationSink(int level, const char* tag, const char* text) {
    const vbz_log_callback_t callback = applicationCallback.load(std::memory_order_relaxed);
    if (!callback) return;
    // Levels are 0..6 wherever lines are written; anything above is "off".
    const int bounded = level < VBZ_LOG_TRACE ? VBZ_LOG_TRACE : (level > VBZ_LOG_OFF ? VBZ_LOG_OFF : level);
    callback(static_cast<vbz_log_level_t>(bounded), tag, text);
}
}  // namespace

void setMinLogLevel(int level) { minLogLevel.store(level, std::memory_order_relaxed); }

void initFileLogger(const std::string& path) {
    if (logCallbackInstalled.load(std::memory_order_relaxed)) return;
    try {
        // spdlog opens and rotates the file before it refuses a second logger
        // of the same name, which would rename a live log away: check first.
        if (spdlog::get(kLoggerName)) {
            std::printf("Log initialization failed: logger with name '%s' already exists\n",
                        kLoggerName);
            std::fflush(stdout);
            return;
        }
        auto logger = spdlog::rotating_logger_mt(kLoggerName, path, kMaxFileSize, kMaxFiles,
                                                 /*rotate_on_open=*/true);
        spdlog::flush_every(std::chrono::seconds(1));
        logger->set_level(toSpdlogLevel(minLogLevel.load(std::memory_order_relaxed)));
    } catch (const std::exception& e) {
        std::printf("Log initialization failed: %s\n", e.what());
        std::fflush(stdout);
    } catch (...) {
        std::printf("Log initialization failed: %s\n", "unknown error");
        std::fflush(stdout);
    }
}

void defaultLogSink(int level, const char* tag, const char* text) {
    try {
        auto logger = spdlog::get(kLoggerName);
        if (!logger) return;
        if (level < 0 || level > 5) return;  // "off" and anything outside the table
        logger->log(toSpdlogLevel(level), "[{}] {}", tag ? tag : "", text ? text : "");
    } catch (...) {
        // A sink must not throw; a line that cannot be written is lost.
    }
}

int setLogCallback(LogFunction callback) {
    logCallbackInstalled.store(true, std::memory_order_relaxed);
    logFunction.store(callback, std::memory_order_relaxed);
    return 0;
}

int setApplicationLogCallback(vbz_log_callback_t callback) {
    applicationCallback.store(callback, std::memory_order_relaxed);
    return setLogCallback(callback ? &applicationSink : nullptr);
}

void engineLogHook(int level, const char* /*location*/, const char* message) {
    emitLogLine(level, kEngineTag, message ? message : "");
}

void emitLogLine(int level, const char* tag, const char* text) noexcept {
    if (level < minLogLevel.load(std::memory_order_relaxed)) return;
    if (!logFunction.load(std::memory_order_relaxed)) return;
    if (insideSink) {
        // The sink's own calls into the SDK would write lines into the sink
        // again, without end.
        countDroppedLogLine();
        return;
    }
    if (LogHold::active()) {
        LogHold::keep(level, tag, text);
        return;
    }
    callLogSink(level, tag, text);
}

void callLogSink(int level, const char* tag, const char* text) noexcept {
    const LogFunction fn = logFunction.load(std::memory_order_relaxed);
    if (!fn) return;
    insideSink = true;
    try {
        fn(level, tag, text);
    } catch (...) {
        // A sink must not throw; the line is lost.
    }
    insideSink = false;
}

bool insideLogSink() noexcept { return insideSink; }

uint64_t droppedLogLineCount() { return droppedLines.load(std::memory_order_relaxed); }

void countDroppedLogLine() noexcept { droppedLines.fetch_add(1, std::memory_order_relaxed); }

LogLine::LogLine(int level, const std::string& tag) : level_(level), tag_(tag) {}

LogLine::~LogLine() {
    try {
        if (level_ < minLogLevel.load(std::memory_order_relaxed)) return;
        if (!logFunction.load(std::memory_order_relaxed)) return;
        const std::string text = stream_.str();
        emitLogLine(level_, tag_.c_str(), text.c_str());
    } catch (...) {
        // Nothing may leave a destructor.
    }
}

}  // namespace vbz
