// Takes every log line of the process while it lives (minimum level 0), so
// that tests can look for a tag and a text; restores the sink afterwards.
// One at a time.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/core/LogLine.h"

namespace vbz_test {

struct CapturedLine {
    int level;
    std::string tag;
    std::string text;
};

class LogCapture {
public:
    LogCapture()
        : savedFunction_(vbz::logFunction.load()), savedLevel_(vbz::minLogLevel.load()) {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
        vbz::minLogLevel.store(0);
        vbz::logFunction.store(&sink);
    }
    ~LogCapture() {
        vbz::logFunction.store(savedFunction_);
        vbz::minLogLevel.store(savedLevel_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedLine> all() const {
        std::lock_guard<std::mutex> lock(mutex());
        return lines();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
    }
    // Lines with this tag and exactly this text (any level when level < 0).
    int count(const std::string& tag, const std::string& text, int level = -1) const {
        std::lock_guard<std::mutex> lock(mutex());
        return static_cast<int>(std::count_if(lines().begin(), lines().end(), [&](const auto& l) {
            return l.tag == tag && l.text == text && (level < 0 || l.level == level);
        }));
    }
    bool has(const std::string& tag, const std::string& text, int level = -1) const {
        return count(tag, text, level) > 0;
    }
    // Lines with this tag whose text contains the fragment.
    int countContaining(const std::string& tag, const std::string& fragment) const {
        std::lock_guard<std::mutex> lock(mutex());
        return static_cast<int>(std::count_if(lines().begin(), lines().end(), [&](const auto& l) {
            return l.tag == tag && l.text.find(fragment) != std::string::npos;
        }));
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<CapturedLine>& lines() {
        static std::vector<CapturedLine> l;
        return l;
    }
    static void sink(int level, const char* tag, const char* text) {
        std::lock_guard<std::mutex> lock(mutex());
        lines().push_back({level, tag ? tag : "", text ? text : ""});
    }

    vbz::LogFunction savedFunction_;
    int savedLevel_;
};

}  // namespace vbz_test
