#include "sdk/core/LogHold.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "sdk/core/LogLine.h"

namespace vbz {

namespace {

// Storage kept above this size after a delivery is given back, so that one
// burst of long lines does not pin its memory for the thread's life.
constexpr std::size_t kKeptCapacity = 1u << 20;

struct KeptLine {
    int level;
    std::size_t tag;   // offset of the tag in KeptLines::text
    std::size_t text;  // offset of the text
};

struct KeptLines {
    std::vector<KeptLine> lines;
    // Every tag and text, each followed by its terminating zero.
    std::string text;
};

thread_local int holdDepth = 0;
thread_local bool delivering = false;

KeptLines& kept() {
    thread_local KeptLines storage;
    return storage;
}

void deliverKept() noexcept {
    // A sink that calls the SDK ends holds of its own meanwhile: this loop
    // alone delivers, so the lines leave in order.
    if (delivering) return;
    KeptLines& store = kept();
    if (store.lines.empty()) return;
    delivering = true;
    for (std::size_t i = 0; i < store.lines.size(); ++i) {
        const KeptLine line = store.lines[i];
        callLogSink(line.level, store.text.data() + line.tag, store.text.data() + line.text);
    }
    store.lines.clear();
    store.text.clear();
    if (store.text.capacity() > kKeptCapacity) {
        std::string().swap(store.text);
        std::vector<KeptLine>().swap(store.lines);
    }
    delivering = false;
}

void append(std::string& to, const char* text) {
    to.append(text ? text : "", text ? std::strlen(text) : 0);
    to.push_back('\0');
}

}  // namespace

LogHold::LogHold() noexcept { retake(); }

LogHold::~LogHold() { release(); }

void LogHold::retake() noexcept {
    if (open_) return;
    open_ = true;
    ++holdDepth;
}

void LogHold::release() noexcept {
    if (!open_) return;
    open_ = false;
    if (--holdDepth == 0) deliverKept();
}

bool LogHold::active() noexcept { return holdDepth > 0; }

void LogHold::keep(int level, const char* tag, const char* text) noexcept {
    KeptLines& store = kept();
    const std::size_t lines = store.lines.size();
    const std::size_t size = store.text.size();
    try {
        KeptLine line{level, size, 0};
        append(store.text, tag);
        line.text = store.text.size();
        append(store.text, text);
        store.lines.push_back(line);
    } catch (...) {
        store.lines.resize(lines);
        store.text.resize(size);
        countDroppedLogLine();
    }
}

}  // namespace vbz
