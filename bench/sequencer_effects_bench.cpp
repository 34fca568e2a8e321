// Effect scheduling of the legacy back-end against the in-process emulated
// board over USB, whose answers come 1 ms after each command.
//
// DueSamples: 10 effects of 2 tracks each play at once, 20 slots in use
//   (each sample holds its slot for 80 % of the 100 ms between a track's
//   samples; 5 effects are heard, 5 muted). The effects start 10 ms apart
//   and their second tracks 5 ms after their first, so that due times do
//   not all fall together. For each PlaySample, the time from the sample's
//   due time (the effect's first play + its time stamp) to the frame's
//   write: p50/p95/max in ms. Goals: p95 <= 2 ms, max <= 10 ms.
// ApiWhilePlaying: the same load; playEffect, stopEffect and effectState
//   (2,000 each), pauseAll and resumeAll (100 each) and stopAll (20, the
//   effects played again after each) from the application's thread: p99 and
//   max per call in us. Goal: p99 <= 1 ms.
// Idle: connected, nothing playing, 5 s: the frames the vest received per
//   second (GetStatus about 1/s, SetMuteStatus none).
//
//   build/release/bench/sequencer_effects_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sdk/core/LogLine.h"
#include "sequencer/HandlerCommands.h"
#include "tests/support/LegacyPatterns.h"
#include "tools/vest-emulator/LegacyBoard.h"
#include "tools/vest-emulator/usb/UsbBus.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using vbz_test::json;

const bool kInfoLevel = [] {
    vbz::setMinLogLevel(2);
    return true;
}();

constexpr int kEffects = 10;
constexpr double kGap = 0.100;         // between a track's samples
constexpr double kTrackShift = 0.005;  // second track after the first
constexpr int kSamples = 40;           // per track: 4 s

std::unique_ptr<vbz::IHidCom> usbOnly(vbz_output_t kind) {
    return kind == VBZ_OUTPUT_USB ? vbz::makeTransport(kind) : nullptr;
}

// Signal 2e + 1 on the first track, 2e + 2 on the second.
std::string effectPattern(int e) {
    std::vector<json> tracks;
    for (int track = 0; track < 2; ++track) {
        std::vector<json> samples;
        for (int k = 0; k < kSamples; ++k) {
            json s = vbz_test::sampleAt(k * kGap + track * kTrackShift, 0.08);
            s["signalIndex"] = 2 * e + 1 + track;
            samples.push_back(s);
        }
        tracks.push_back(vbz_test::trackOf(samples));
    }
    return vbz_test::patternOf(tracks, kSamples * kGap).dump();
}

// Notes when each play message is written, by signal.
class TimedHandler : public HandlerCommands {
public:
    using HandlerCommands::HandlerCommands;
    // The sequencing thread ends before this part goes.
    ~TimedHandler() override { shutdown(); }
    int sendPlay(uint8_t* frame) override {
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(m_);
            sent_[frame[3]].push_back(now);
        }
        return HandlerCommands::sendPlay(frame);
    }
    std::map<int, std::vector<Clock::time_point>> sent() {
        std::lock_guard<std::mutex> lock(m_);
        return sent_;
    }
    void clearSent() {
        std::lock_guard<std::mutex> lock(m_);
        sent_.clear();
    }

private:
    std::mutex m_;
    std::map<int, std::vector<Clock::time_point>> sent_;
};

struct Rig {
    Rig() {
        vbz::emu::UsbBus::instance().reset();
        vest = std::make_shared<vbz::emu::VestModel>();
        board = std::make_unique<vbz::emu::LegacyBoard>(vest);
        vbz::emu::AnswerFault late;
        late.delay = 1ms;
        vest->setFault(late);
        vbz::emu::UsbBus::instance().plug(vest);
        HandlerCommands::Timing timing;
        timing.settleTime = 10ms;
        handler = std::make_unique<TimedHandler>(nullptr, &usbOnly, timing);
        handler->setConnectionCallback(&Rig::callback, this);
        for (int e = 0; e < kEffects; ++e) {
            patterns.push_back(handler->loadPatternFromJSON(effectPattern(e)));
            board->setHold(static_cast<uint8_t>(2 * e + 1), 80ms);
            board->setHold(static_cast<uint8_t>(2 * e + 2), 80ms);
        }
    }
    ~Rig() {
        handler.reset();
        vbz::emu::UsbBus::instance().reset();
    }
    static void callback(vbz_connection_state_t state, vbz_error_t, unsigned int, void* user) {
        auto* self = static_cast<Rig*>(user);
        {
            std::lock_guard<std::mutex> lock(self->m);
            self->state = state;
        }
        self->cv.notify_all();
    }
    // False (and the benchmark skipped) when it did not connect.
    bool connect(benchmark::State& bench) {
        handler->connect(VBZ_OUTPUT_USB, 0);
        std::unique_lock<std::mutex> lock(m);
        if (cv.wait_for(lock, 10s, [&] { return state == VBZ_STATE_CONNECTED; })) return true;
        bench.SkipWithError("could not connect");
        return false;
    }
    // The ten effects, 10 ms apart.
    void playAll() {
        vbz_effect_properties_t p;
        for (int e = 0; e < kEffects; ++e) {
            handler->playEffect(patterns[static_cast<std::size_t>(e)], p);
            std::this_thread::sleep_for(10ms);
        }
    }

    std::shared_ptr<vbz::emu::VestModel> vest;
    std::unique_ptr<vbz::emu::LegacyBoard> board;
    std::unique_ptr<TimedHandler> handler;
    std::vector<int> patterns;
    std::mutex m;
    std::condition_variable cv;
    int state = -1;
};

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

void DueSamples(benchmark::State& state) {
    for (auto _ : state) {
        Rig rig;
        if (!rig.connect(state)) break;
        rig.playAll();
        std::this_thread::sleep_for(std::chrono::duration<double>(kSamples * kGap + 0.5));
        const auto sent = rig.handler->sent();
        std::vector<double> lateMs;
        for (int e = 0; e < kEffects; ++e) {
            const auto first = sent.find(2 * e + 1);
            const auto second = sent.find(2 * e + 2);
            if (first == sent.end() || second == sent.end() || first->second.empty()) continue;
            const auto start = std::min(first->second.front(), second->second.front());
            for (int track = 0; track < 2; ++track) {
                const auto& times = track == 0 ? first->second : second->second;
                for (std::size_t k = 0; k < times.size(); ++k) {
                    const double due = static_cast<double>(k) * kGap + track * kTrackShift;
                    lateMs.push_back(1e3 * (std::chrono::duration<double>(times[k] - start).count() - due));
                }
            }
        }
        const auto snapshot = rig.board->plays();
        std::size_t muted = 0;
        for (const auto& p : snapshot) muted += p.flags & 1;
        state.counters["plays"] = static_cast<double>(lateMs.size());
        state.counters["muted_plays"] = static_cast<double>(muted);
        state.counters["late_p50_ms"] = quantile(lateMs, 0.50);
        state.counters["late_p95_ms"] = quantile(lateMs, 0.95);
        state.counters["late_max_ms"] = lateMs.empty() ? 0.0 : *std::max_element(lateMs.begin(), lateMs.end());
        state.counters["violations"] = static_cast<double>(rig.board->violationCount());
    }
}
BENCHMARK(DueSamples)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void ApiWhilePlaying(benchmark::State& state) {
    for (auto _ : state) {
        Rig rig;
        if (!rig.connect(state)) break;
        rig.playAll();
        auto& h = *rig.handler;
        std::map<std::string, std::vector<double>> us;
        auto timed = [&us](const char* name, auto&& call) {
            const auto t0 = Clock::now();
            auto r = call();
            us[name].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            return r;
        };
        vbz_effect_properties_t p;
        for (int i = 0; i < 2000; ++i) {
            timed("effectState", [&] { return h.effectState(i % kEffects); });
            const int id = timed("playEffect", [&] { return h.playEffect(rig.patterns[0], p); });
            timed("stopEffect", [&] { return h.stopEffect(id, 0.0f); });
            if (i % 20 == 0) {
                timed("pauseAll", [&] { return h.pauseAll(); });
                std::this_thread::sleep_for(5ms);
                timed("resumeAll", [&] { return h.resumeAll(); });
            }
            std::this_thread::sleep_for(200us);
        }
        for (int i = 0; i < 20; ++i) {
            timed("stopAll", [&] { return h.stopAll(); });
            std::this_thread::sleep_for(20ms);
            rig.playAll();
        }
        double worst = 0;
        for (const auto& [name, v] : us) {
            state.counters[name + "_p99_us"] = quantile(v, 0.99);
            worst = std::max(worst, *std::max_element(v.begin(), v.end()));
        }
        state.counters["max_us"] = worst;
    }
}
BENCHMARK(ApiWhilePlaying)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void Idle(benchmark::State& state) {
    for (auto _ : state) {
        Rig rig;
        if (!rig.connect(state)) break;
        std::this_thread::sleep_for(200ms);
        rig.vest->clearRecord();
        std::this_thread::sleep_for(5s);
        std::map<int, int> frames;
        for (const auto& f : rig.vest->hostFrames()) ++frames[f.bytes[0]];
        state.counters["status_per_s"] = frames[0x07] / 5.0;
        state.counters["mute_commands"] = frames[0x06];
        int others = 0;
        for (const auto& [id, n] : frames)
            if (id != 0x07) others += n;
        state.counters["other_frames"] = others;
    }
}
BENCHMARK(Idle)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
