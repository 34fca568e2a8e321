#include "tessaron-core/src/signal/SignalSyncTable.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace tsr {
namespace {

struct Table {
    std::mutex mutex;
    std::unordered_map<uint64_t, SignalSyncState> entries;
};

Table& table() {
    static Table instance;
    return instance;
}

}  // namespace

uint64_t rateHash(double rate) {
    if (rate == 0.0) rate = 0.0;  // -0.0 and +0.0 are one rate
    uint64_t bits;
    std::memcpy(&bits, &rate, sizeof bits);
    uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < 8; ++i) {
        hash ^= (bits >> (8 * i)) & 0xFFu;  // little-endian byte order
        hash *= 1099511628211ull;
    }
    return hash;
}

uint64_t syncKey(uint64_t contentKey, double outputRate) {
    return (contentKey * 2u) ^ rateHash(outputRate);
}

std::optional<double> signalSyncFirstCall(uint64_t key, uint32_t tick, double time, double offset,
                                          double period) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.entries.find(key);
    if (it == t.entries.end()) {
        t.entries.emplace(key, SignalSyncState{tick, std::fmod(time - offset, period), 0.0, period});
        return std::nullopt;
    }
    SignalSyncState& e = it->second;
    const uint32_t elapsed = tick - e.tick;  // wraps with the tick
    if (elapsed > 1) {
        // Nobody rendered this key in the previous tick: this generator becomes the anchor.
        e.tick = tick;
        e.position = std::fmod(time - offset, e.period);
        e.advance = 0.0;
        return std::nullopt;
    }
    if (elapsed == 1) {
        e.tick = tick;
        e.position = std::fmod(e.position + e.advance, e.period);
        e.advance = 0.0;
    }
    return e.position;
}

void signalSyncRecordAdvance(uint64_t key, double advance) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.entries.find(key);
    if (it != t.entries.end() && advance > it->second.advance) it->second.advance = advance;
}

bool signalSyncLookup(uint64_t key, SignalSyncState& out) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.entries.find(key);
    if (it == t.entries.end()) return false;
    out = it->second;
    return true;
}

std::size_t signalSyncTableSize() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.entries.size();
}

void clearSignalSyncTableForTesting() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.entries.clear();
}

}  // namespace tsr
