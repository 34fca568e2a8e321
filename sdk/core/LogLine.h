// Logging facade: every message of the SDK leaves through one process-wide
// sink, either the rotating file logger or the application's callback.
//
// Two rules keep an application's callback from turning on itself, since it
// may call the SDK: lines written while the handler mutex is held wait for
// its release (LogHold.h), and a line written on a thread that is already
// inside the sink (the callback's own calls into the SDK, their "Command:"
// lines and engine warnings included) is not delivered but counted
// (droppedLogLineCount).
#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>

#include "vibrenza/vbz_types.h"

namespace vbz {

using LogFunction = void (*)(int level, const char* tag, const char* text);

// Process-wide facade state. Plain words, read once per use.
extern std::atomic<LogFunction> logFunction;
extern std::atomic<int> minLogLevel;
extern std::atomic<bool> logCallbackInstalled;

void setMinLogLevel(int level);
// Sets up the rotating file logger "VibrenzaSDK" unless a callback is
// installed or the logger already exists. Never throws.
void initFileLogger(const std::string& path);
void defaultLogSink(int level, const char* tag, const char* text);
// Installs an internal sink (null allowed). Returns 0.
int setLogCallback(LogFunction callback);
// Installs the application's callback, which is called through its own type
// (null allowed: silences every line). Returns 0.
int setApplicationLogCallback(vbz_log_callback_t callback);
// Forwards engine messages to the sink under the tag "TessaronCore".
void engineLogHook(int level, const char* location, const char* message);

// Emits one complete line: the level test, then the sink, unless the thread
// is inside the sink (dropped, counted) or holds lines (kept for later).
void emitLogLine(int level, const char* tag, const char* text) noexcept;
// Calls the current sink now on this thread, marking the thread as inside
// the sink meanwhile. For the delivery of held lines.
void callLogSink(int level, const char* tag, const char* text) noexcept;
// True while this thread runs the sink (the application's log callback
// included), wherever the line came from.
bool insideLogSink() noexcept;
// Lines not delivered because their thread was inside the sink already (or,
// when memory ran out, could not be held), since the process started.
uint64_t droppedLogLineCount();
void countDroppedLogLine() noexcept;

// One message being built; emitted when destroyed, at the end of the
// statement that made it. Never copied or stored.
class LogLine {
public:
    LogLine(int level, const std::string& tag);
    ~LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    template <typename T>
    LogLine& operator<<(const T& value) {
        stream_ << value;
        return *this;
    }
    LogLine& operator<<(std::string value) {
        stream_ << value;
        return *this;
    }
    // A null text inserts nothing instead of breaking the stream.
    LogLine& operator<<(const char* text) {
        if (text) stream_ << text;
        return *this;
    }
    LogLine& operator<<(char* text) { return *this << static_cast<const char*>(text); }
    LogLine& operator<<(std::ostream& (*manip)(std::ostream&)) {
        stream_ << manip;
        return *this;
    }
    LogLine& operator<<(std::ios_base& (*manip)(std::ios_base&)) {
        stream_ << manip;
        return *this;
    }

private:
    std::ostringstream stream_;
    int level_;
    std::string tag_;
};

}  // namespace vbz

using vbz::LogLine;
