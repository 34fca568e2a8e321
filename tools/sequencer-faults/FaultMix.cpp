#include "tools/sequencer-faults/FaultMix.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/TransportFactory.h"
#include "sdk/core/LogLine.h"
#include "tools/vest-emulator/LegacyBoard.h"
#include "tools/vest-emulator/VestModel.h"
#include "tools/vest-emulator/usb/UsbBus.h"

namespace vbz::tools {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kPatterns = 6;
constexpr uint32_t kSerial = 21030042;

// One sample of `length` seconds at `time`, on a signal of its own so that
// the board's plays can be told apart.
json sample(int signal, double time, double length) {
    return json{{"maxDuration", length}, {"postDelay", 0},    {"preDelay", 0},
                {"repeatCount", 1},      {"repeatSpat", false}, {"signalIndex", signal},
                {"spatKeyframes", json::array({json{{"timestamp", 0}, {"weights", std::vector<int>(20, 0)}}})},
                {"speed", 1},            {"startCrop", 0},    {"stopCrop", 0},
                {"timestamp", time},     {"volumeKeyframes", json::array()}};
}

struct PatternPlan {
    std::string text;
    std::vector<int> signals;  // one per sample
    double length = 0;         // until its last sample ends
};

// Pattern 0 is four 0.1 s samples at 0 s, 0.5 s and two at 2 s (each track
// plays its samples one after the other, so the second track's first sample
// starts while the first track's slot may still be taken); the others are
// one to three tracks of one to three samples of at most 0.55 s.
std::vector<PatternPlan> makePatterns(std::mt19937& rng, PlayDensity density) {
    const bool single = density == PlayDensity::Short;
    auto uniform = [&rng](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<PatternPlan> out;
    for (int p = 0; p < kPatterns; ++p) {
        PatternPlan plan;
        std::vector<std::vector<std::pair<double, double>>> tracks;
        if (p == 0) {
            tracks = {{{0.0, 0.1}, {2.0, 0.1}}, {{0.5, 0.1}, {2.0, 0.1}}};
        } else {
            const int trackCount = single ? 1 : pick(1, 3);
            for (int t = 0; t < trackCount; ++t) {
                std::vector<std::pair<double, double>> samples;
                double at = single ? 0.0 : uniform(0.0, 0.3);
                const int count = single ? 1 : pick(1, 3);
                for (int k = 0; k < count; ++k) {
                    const double length = single ? uniform(0.03, 0.15) : uniform(0.05, 0.55);
                    samples.emplace_back(at, length);
                    at += length + uniform(0.02, 0.5);  // a track's samples never overlap
                }
                tracks.push_back(samples);
            }
        }
        json jsonTracks = json::array();
        for (std::size_t t = 0; t < tracks.size(); ++t) {
            json samples = json::array();
            for (std::size_t k = 0; k < tracks[t].size(); ++k) {
                const int signal = 1 + p * 12 + static_cast<int>(t) * 4 + static_cast<int>(k);
                const auto [at, length] = tracks[t][k];
                samples.push_back(sample(signal, at, length));
                plan.signals.push_back(signal);
                plan.length = std::max(plan.length, at + length);
            }
            jsonTracks.push_back(json{{"volume", 100}, {"samples", samples}});
        }
        plan.text = json{{"duration", plan.length}, {"tracks", jsonTracks}}.dump();
        out.push_back(std::move(plan));
    }
    return out;
}

enum class Kind { Play, Swallow, Twice, LateStatus, NoExpiryStatus };

struct Event {
    double at = 0;
    Kind kind = Kind::Play;
    int pattern = 0;
    int priority = 5;
    uint8_t swallowed = 0;
};

std::vector<Event> makeSchedule(uint32_t seed, double seconds, FaultSet faults, PlayDensity density) {
    std::vector<Event> events;
    std::mt19937 plays(seed * 2654435761u + 1);
    const auto gaps = density == PlayDensity::Sparse  ? std::uniform_real_distribution<double>(0.1, 0.8)
                      : density == PlayDensity::Dense ? std::uniform_real_distribution<double>(0.03, 0.3)
                                                      : std::uniform_real_distribution<double>(0.02, 0.12);
    for (double t = 0.2;;) {
        t += std::uniform_real_distribution<double>(gaps.param())(plays);
        if (t >= seconds) break;
        Event e;
        e.at = t;
        e.pattern = std::uniform_int_distribution<int>(0, kPatterns - 1)(plays);
        e.priority = std::uniform_int_distribution<int>(1, 10)(plays);
        events.push_back(e);
    }
    static const Kind kSwitched[] = {Kind::Swallow, Kind::Twice, Kind::LateStatus, Kind::NoExpiryStatus};
    switch (faults) {
        case FaultSet::None: break;
        case FaultSet::Twice: events.push_back({0.0, Kind::Twice}); break;
        case FaultSet::LateStatus: events.push_back({0.0, Kind::LateStatus}); break;
        case FaultSet::NoExpiryStatus: events.push_back({0.0, Kind::NoExpiryStatus}); break;
        case FaultSet::Mix:
        case FaultSet::Swallow: {
            std::mt19937 switches(seed * 2246822519u + 7);
            static const uint8_t kSwallowed[] = {0x01, 0x02, 0x06, 0x07};
            for (double t = 0.0;;) {
                t += std::uniform_real_distribution<double>(1.0, 4.0)(switches);
                if (t >= seconds) break;
                Event e;
                e.at = t;
                e.kind = kSwitched[std::uniform_int_distribution<int>(0, 3)(switches)];
                e.swallowed = kSwallowed[std::uniform_int_distribution<int>(0, 3)(switches)];
                if (faults == FaultSet::Swallow) e.kind = Kind::Swallow;
                events.push_back(e);
            }
            break;
        }
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
    return events;
}

// What the back-end reports while the run lasts.
struct Watch {
    std::mutex m;
    std::condition_variable cv;
    int state = VBZ_STATE_DISCONNECTED;
    long disconnections = 0;
    bool counting = false;

    static void callback(vbz_connection_state_t state, vbz_error_t error, unsigned int, void* user) {
        auto* self = static_cast<Watch*>(user);
        {
            std::lock_guard<std::mutex> lock(self->m);
            if (self->counting && state == VBZ_STATE_DISCONNECTED && self->state == VBZ_STATE_CONNECTED) {
                ++self->disconnections;
                std::fprintf(stderr, "fault mix: the connection ended (%d, %d)\n", static_cast<int>(state),
                             static_cast<int>(error));
            }
            self->state = state;
        }
        self->cv.notify_all();
    }
    bool waitConnected(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, limit, [this] { return state == VBZ_STATE_CONNECTED; });
    }
    int current() {
        std::lock_guard<std::mutex> lock(m);
        return state;
    }
};

std::atomic<long> gResends{0};
std::mutex gErrorMutex;
std::map<std::string, long> gErrors;  // by text

void countLine(int level, const char* tag, const char* text) {
    if (level >= 4) {
        std::lock_guard<std::mutex> lock(gErrorMutex);
        ++gErrors[std::string(tag ? tag : "") + ": " + (text ? text : "")];
    }
    if (level == 1 && text && std::strcmp(text, "No answer from Vibrenza, retry sending command.") == 0) ++gResends;
}

std::unique_ptr<vbz::IHidCom> usbOnly(vbz_output_t kind) {
    return kind == VBZ_OUTPUT_USB ? vbz::makeTransport(kind) : nullptr;
}

void sleepFor(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// The log sink and level as they were, and an empty USB bus, once the run
// ends however it ends.
struct RunScope {
    const vbz::LogFunction sink = vbz::logFunction.load();
    const int level = vbz::minLogLevel.load();
    ~RunScope() {
        vbz::setLogCallback(sink);
        vbz::setMinLogLevel(level);
        vbz::emu::UsbBus::instance().reset();
    }
};

const std::pair<FaultSet, const char*> kFaultSetNames[] = {
    {FaultSet::Mix, "mix"},          {FaultSet::None, "none"},
    {FaultSet::Twice, "twice"},      {FaultSet::LateStatus, "late"},
    {FaultSet::NoExpiryStatus, "no-expiry"}, {FaultSet::Swallow, "swallow"},
};
const std::pair<PlayDensity, const char*> kDensityNames[] = {
    {PlayDensity::Sparse, "sparse"}, {PlayDensity::Dense, "dense"}, {PlayDensity::Short, "short"}};

template <class Value, std::size_t N>
bool fromName(const std::pair<Value, const char*> (&names)[N], const std::string& name, Value& value) {
    for (const auto& [v, n] : names)
        if (name == n) {
            value = v;
            return true;
        }
    return false;
}

}  // namespace

bool faultSetFromName(const std::string& name, FaultSet& set) { return fromName(kFaultSetNames, name, set); }

bool playDensityFromName(const std::string& name, PlayDensity& density) {
    return fromName(kDensityNames, name, density);
}

const char* faultSetName(FaultSet set) {
    for (const auto& [s, n] : kFaultSetNames)
        if (s == set) return n;
    return "?";
}

std::string FaultMixReport::text() const {
    char line[640];
    std::snprintf(line, sizeof line,
                  "plays=%ld refused=%ld samples_due=%ld board_plays=%ld ratio=%.2f missing=%ld extra=%ld "
                  "resends=%ld stop_slots=%ld disconnections=%ld connected=%d fault_switches=%ld errors=%ld "
                  "violations=%ld "
                  "idle_board_reserved=0x%05x idle_host_registered=0x%05x "
                  "cleared_board_reserved=0x%05x cleared_host_registered=0x%05x",
                  plays, refused, samplesDue, boardPlays, ratio(), missing, extra, resends, stopSlots,
                  disconnections, connectedAtEnd ? 1 : 0, faultSwitches, errorLines, violations, boardReservedIdle,
                  hostRegisteredIdle, boardReservedCleared, hostRegisteredCleared);
    return line;
}

FaultMixReport runFaultMix(const FaultMixOptions& options) {
    FaultMixReport report;
    std::mt19937 shapes(options.seed);
    const auto patterns = makePatterns(shapes, options.density);
    const auto schedule = makeSchedule(options.seed, options.seconds, options.faults, options.density);

    gResends = 0;
    {
        std::lock_guard<std::mutex> lock(gErrorMutex);
        gErrors.clear();
    }
    const RunScope scope;
    vbz::setLogCallback(&countLine);
    vbz::setMinLogLevel(1);

    auto& bus = vbz::emu::UsbBus::instance();
    bus.reset();
    auto vest = std::make_shared<vbz::emu::VestModel>(vbz::emu::VestIdentity::withSerial(kSerial));
    vest->setRecordLimit(64);
    vest->checkOneCommandAtATime(options.timing.answerTimeout);
    auto board = std::make_unique<vbz::emu::LegacyBoard>(vest);
    bus.plug(vest);

    Watch watch;
    auto handler = std::make_unique<HandlerCommands>(nullptr, &usbOnly, options.timing);
    handler->setConnectionCallback(&Watch::callback, &watch);
    std::vector<int> ids;
    for (const auto& p : patterns) {
        ids.push_back(handler->loadPatternFromJSON(p.text));
        if (ids.back() < 0) std::fprintf(stderr, "fault mix: pattern refused (%d): %s\n", ids.back(), p.text.c_str());
    }
    handler->connect(VBZ_OUTPUT_USB, 0);
    if (!watch.waitConnected(15s)) {
        std::fprintf(stderr, "fault mix: could not connect\n");
        return report;
    }
    {
        std::lock_guard<std::mutex> lock(watch.m);
        watch.counting = true;
    }

    std::map<int, long> due;
    bool twice = false, late = false, noExpiry = false;
    const auto start = Clock::now();
    for (const auto& e : schedule) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(e.at)));
        if (watch.current() == VBZ_STATE_DISCONNECTED) {
            // Played on: a lost link is counted, not the end of the run.
            handler->connect(VBZ_OUTPUT_USB, 0);
            watch.waitConnected(15s);
        }
        switch (e.kind) {
            case Kind::Play: {
                vbz_effect_properties_t p;
                p.priority = e.priority;
                ++report.plays;
                const auto& plan = patterns[static_cast<std::size_t>(e.pattern)];
                if (handler->playEffect(ids[static_cast<std::size_t>(e.pattern)], p) < 0) {
                    ++report.refused;
                    break;
                }
                for (int s : plan.signals) ++due[s];
                report.samplesDue += static_cast<long>(plan.signals.size());
                break;
            }
            case Kind::Swallow: board->swallow(e.swallowed, 1); break;
            case Kind::Twice: {
                twice = !twice;
                if (twice) {
                    vbz::emu::AnswerFault f;
                    f.twice = true;
                    vest->setFault(f);
                } else {
                    vest->clearFaults();
                }
                break;
            }
            case Kind::LateStatus:
                late = !late;
                board->setLateExpiryStatus(late);
                break;
            case Kind::NoExpiryStatus:
                noExpiry = !noExpiry;
                board->setStatusOnExpiry(!noExpiry);
                break;
        }
        if (e.kind != Kind::Play) ++report.faultSwitches;
    }

    sleepFor(options.settleSeconds);
    report.boardReservedIdle = board->snapshot().reserved;
    report.hostRegisteredIdle = handler->slotMasks().registered;
    vest->clearFaults();
    board->setLateExpiryStatus(false);
    board->setStatusOnExpiry(true);
    sleepFor(options.clearedSeconds);
    report.boardReservedCleared = board->snapshot().reserved;
    report.hostRegisteredCleared = handler->slotMasks().registered;
    report.connectedAtEnd = watch.current() == VBZ_STATE_CONNECTED;
    {
        std::lock_guard<std::mutex> lock(watch.m);
        watch.counting = false;
        report.disconnections = watch.disconnections;
    }

    std::map<int, long> played;
    for (const auto& p : board->plays())
        if (p.status < vbz::emu::LegacyBoard::kSlots) {
            ++played[p.signal];
            ++report.boardPlays;
        }
    for (const auto& [signal, n] : due) report.missing += std::max(0L, n - played[signal]);
    for (const auto& [signal, n] : played) report.extra += std::max(0L, n - due[signal]);
    if (options.verbose)
        for (const auto& [signal, n] : due)
            if (played[signal] != n)
                std::fprintf(stderr, "  signal %d: due %ld, played %ld\n", signal, n, played[signal]);
    report.stopSlots = static_cast<long>(vest->countReceived(0x02));
    report.violations = static_cast<long>(board->violationCount());
    if (options.verbose)
        for (const auto& v : board->violations()) std::fprintf(stderr, "  violation: %s\n", v.c_str());

    handler->disconnect();
    {
        std::unique_lock<std::mutex> lock(watch.m);
        watch.cv.wait_for(lock, 15s, [&] { return watch.state == VBZ_STATE_DISCONNECTED; });
    }
    handler.reset();
    report.resends = gResends.load();
    {
        std::lock_guard<std::mutex> lock(gErrorMutex);
        for (const auto& [text, n] : gErrors) {
            report.errorLines += n;
            if (options.verbose) std::fprintf(stderr, "  %ld x %s\n", n, text.c_str());
        }
    }
    return report;
}

}  // namespace vbz::tools
