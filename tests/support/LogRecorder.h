// Installs a log callback that records every line (level, tag, text) that
// reaches the sink, from any thread. One per test process (the sink is
// process-wide; ctest runs each case in a process of its own).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/core/LogLine.h"

namespace vbz_test {

struct LoggedLine {
    int level;
    std::string tag;
    std::string text;
};

class LogRecorder {
public:
    // minLevel: the SDK's minimum level to use while recording.
    explicit LogRecorder(int minLevel = 0) {
        vbz::setLogCallback(&LogRecorder::record);
        vbz::setMinLogLevel(minLevel);
    }
    static std::vector<LoggedLine> lines() {
        std::lock_guard<std::mutex> lock(mutex());
        return store();
    }
    static int count(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex());
        return static_cast<int>(std::count_if(store().begin(), store().end(),
                                              [&](const LoggedLine& l) { return l.text == text; }));
    }
    static bool has(int level, const std::string& tag, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex());
        for (const auto& l : store())
            if (l.level == level && l.tag == tag && l.text == text) return true;
        return false;
    }
    // Waits (bounded) until a line with this text has arrived.
    static bool waitFor(const std::string& text) {
        std::unique_lock<std::mutex> lock(mutex());
        return cv().wait_for(lock, std::chrono::seconds(20), [&] {
            for (const auto& l : store())
                if (l.text == text) return true;
            return false;
        });
    }
    static void clear() {
        std::lock_guard<std::mutex> lock(mutex());
        store().clear();
    }

private:
    static void record(int level, const char* tag, const char* text) {
        std::lock_guard<std::mutex> lock(mutex());
        store().push_back({level, tag ? tag : "", text ? text : ""});
        cv().notify_all();
    }
    static std::condition_variable& cv() {
        static std::condition_variable c;
        return c;
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<LoggedLine>& store() {
        static std::vector<LoggedLine> lines;
        return lines;
    }
};

}  // namespace vbz_test
