// The audio-device stream on a private JACK server (dummy driver, 48 kHz,
// 10 ms periods) started by this benchmark: the streaming engine plays on
// the server's 20-channel sink for VBZ_BENCH_AUDIO_SECONDS seconds (default
// 5) with no effect, then as long with 10 endless effects.
//
// Counters: CPU time of the stream loop's thread per second of wall time,
// idle (loop_idle_pct) and playing (loop_play_pct), goal <= 2 % of a core
// idle; the same for the audio callback's thread (callback_idle_pct,
// callback_play_pct), which waits for its block; the time each callback
// took, its wait for the rendered block included (callback_p50_us,
// callback_p99_us, callback_max_us), against the longest wait the callback
// allows itself (wait_limit_us: the period, or the output latency when
// shorter); callbacks that did not get their block and its
// acknowledgement in time (late, and late_pct of all callbacks: goal 0, at
// most 0.5 % under full load) and the host's underflows. How long each
// thread stood runnable without a core, per callback (loop_runq_us,
// callback_runq_us, from /proc/<tid>/schedstat), tells which side waits
// for the processor.
//
// Each run is repeated under load: busy:none alone, busy:cores-1 and
// busy:cores with that many threads spinning at normal priority all along
// (as a game keeps every core busy). The JACK dummy driver and its clients
// run at normal priority too.
//
//   build/release/bench/audio_stream_bench
//   build/release/bench/audio_stream_bench --benchmark_filter='busy:cores/'
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sdk/core/LogLine.h"
#include "sdk/platform/IAudioHost.h"
#include "streaming/StreamAudio.h"
#include "streaming/TesCore.h"
#include "tessaron-core/src/spatial/Layout.h"
#include "bench/BenchJackServer.h"
#include "bench/ThreadCpu.h"
#include "tests/support/StreamPatterns.h"

using namespace std::chrono_literals;

namespace {

// As an SDK instance sets it: the per-callback trace lines are not built.
const bool kInfoLevel = [] {
    vbz::setMinLogLevel(3);
    return true;
}();

// The real host, with each output callback of its one stream timed and its
// thread noted.
class TimingHost final : public vbz::IAudioHost {
public:
    explicit TimingHost(vbz::IAudioHost& real) : real_(real) { durations_.resize(1u << 16); }

    // Durations recorded in [from, count()), in seconds.
    std::size_t count() const { return std::min(count_.load(std::memory_order_acquire), durations_.size()); }
    std::vector<double> durations(std::size_t from) const {
        return {durations_.begin() + static_cast<std::ptrdiff_t>(std::min(from, count())),
                durations_.begin() + static_cast<std::ptrdiff_t>(count())};
    }
    // Of the stream, as the host reported it when the stream asked.
    double outputLatency = 0.0;
    bool callbackThread(pthread_t& thread, long& tid) const {
        if (!seenThread_.load(std::memory_order_acquire)) return false;
        thread = thread_;
        tid = tid_;
        return true;
    }

    PaError initialize() override { return real_.initialize(); }
    PaError terminate() override { return real_.terminate(); }
    const char* errorText(PaError e) override { return real_.errorText(e); }
    PaDeviceIndex deviceCount() override { return real_.deviceCount(); }
    const PaDeviceInfo* deviceInfo(PaDeviceIndex d) override { return real_.deviceInfo(d); }
    const PaHostApiInfo* hostApiInfo(PaHostApiIndex h) override { return real_.hostApiInfo(h); }
    PaHostApiIndex loopbackHostApi() override { return real_.loopbackHostApi(); }
    PaDeviceIndex hostApiDeviceIndexToDeviceIndex(PaHostApiIndex h, int i) override {
        return real_.hostApiDeviceIndexToDeviceIndex(h, i);
    }
    PaDeviceIndex defaultOutputDevice() override { return real_.defaultOutputDevice(); }
    int isLoopback(PaDeviceIndex d) override { return real_.isLoopback(d); }
    PaError isFormatSupported(const PaStreamParameters* in, const PaStreamParameters* out, double rate) override {
        return real_.isFormatSupported(in, out, rate);
    }
    PaError openStream(PaStream** stream, const PaStreamParameters* in, const PaStreamParameters* out, double rate,
                       unsigned long frames, PaStreamFlags flags, PaStreamCallback* callback,
                       void* userData) override {
        callback_ = callback;
        userData_ = userData;
        return real_.openStream(stream, in, out, rate, frames, flags, &TimingHost::timed, this);
    }
    std::string jackClientOf(PaDeviceIndex d) override { return real_.jackClientOf(d); }
    PaError openJackStream(PaStream** stream, bool capture, const std::string& client,
                           const PaStreamParameters& parameters, double rate, unsigned long frames,
                           PaStreamCallback* callback, void* userData) override {
        callback_ = callback;
        userData_ = userData;
        return real_.openJackStream(stream, capture, client, parameters, rate, frames, &TimingHost::timed, this);
    }
    // The host hands its own user data (this) to the finished callback too.
    PaError setStreamFinishedCallback(PaStream* s, PaStreamFinishedCallback* f) override {
        finished_ = f;
        return real_.setStreamFinishedCallback(s, f ? &TimingHost::finished : nullptr);
    }
    PaError startStream(PaStream* s) override { return real_.startStream(s); }
    PaError stopStream(PaStream* s) override { return real_.stopStream(s); }
    PaError abortStream(PaStream* s) override { return real_.abortStream(s); }
    PaError closeStream(PaStream* s) override { return real_.closeStream(s); }
    const PaStreamInfo* streamInfo(PaStream* s) override {
        const PaStreamInfo* info = real_.streamInfo(s);
        if (info) outputLatency = info->outputLatency;
        return info;
    }
    PaTime streamTime(PaStream* s) override { return real_.streamTime(s); }
    double streamCpuLoad(PaStream* s) override { return real_.streamCpuLoad(s); }
    const PaHostErrorInfo* lastHostErrorInfo() override { return real_.lastHostErrorInfo(); }

private:
    static int timed(const void* in, void* out, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                     PaStreamCallbackFlags flags, void* self) {
        auto* host = static_cast<TimingHost*>(self);
        if (!host->seenThread_.load(std::memory_order_relaxed)) {
            host->thread_ = pthread_self();
            host->tid_ = ::syscall(SYS_gettid);
            host->seenThread_.store(true, std::memory_order_release);
        }
        const auto t0 = std::chrono::steady_clock::now();
        const int result = host->callback_(in, out, frames, time, flags, host->userData_);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const std::size_t k = host->count_.load(std::memory_order_relaxed);
        if (k < host->durations_.size()) host->durations_[k] = took;
        host->count_.store(k + 1, std::memory_order_release);
        return result;
    }

    static void finished(void* self) {
        auto* host = static_cast<TimingHost*>(self);
        host->finished_(host->userData_);
    }

    vbz::IAudioHost& real_;
    PaStreamCallback* callback_ = nullptr;
    PaStreamFinishedCallback* finished_ = nullptr;
    void* userData_ = nullptr;
    std::vector<double> durations_;
    std::atomic<std::size_t> count_{0};
    pthread_t thread_{};
    long tid_ = 0;
    std::atomic<bool> seenThread_{false};
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Seconds that thread tid of this process has stood runnable without a core
// so far (0 when unknown).
double runQueueSeconds(long tid) {
    if (tid <= 0) return 0.0;
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    double run = 0.0, wait = 0.0;
    if (!(in >> run >> wait)) return 0.0;
    return wait * 1e-9;
}

// Threads that keep cores busy at normal priority while they live.
class BusyLoad {
public:
    explicit BusyLoad(int threads) {
        for (int k = 0; k < threads; ++k)
            threads_.emplace_back([this] {
                uint64_t x = 1;
                while (!stop_.load(std::memory_order_relaxed)) {
                    for (int i = 0; i < 1000; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
                    sink_.store(x, std::memory_order_relaxed);
                }
            });
    }
    ~BusyLoad() {
        stop_.store(true);
        for (auto& t : threads_) t.join();
    }
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sink_{0};
    std::vector<std::thread> threads_;
};

int cores() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

int phaseSeconds() {
    const char* env = std::getenv("VBZ_BENCH_AUDIO_SECONDS");
    return env ? std::max(1, std::atoi(env)) : 5;
}

// busyThreads: how many threads spin on their own during the run.
void AudioStreamJack(benchmark::State& state, int busyThreads) {
    static vbz_bench::JackServer server("vbzaudiobench");
    if (!server.up) {
        state.SkipWithError("no JACK test server (is jackd installed?)");
        return;
    }
    const auto phase = std::chrono::seconds(phaseSeconds());
    for (auto _ : state) {
        TimingHost host(vbz::audioHost());
        vbz::setAudioHost(&host);
        {
            vbz::TesCore engine(tsr::makeDefaultLayout(), 48000.0, 480);
            std::mutex mutex;
            vbz::StreamAudio stream(&engine, &mutex, nullptr);
            vbz_audio_settings_t settings;
            settings.deviceName = "VibrenzaVest";
            settings.audioAPI = vbz::kJackHostApiName;
            settings.sampleRate = 48000;
            settings.bufferSize = 480;  // the server's period
            settings.nbStreamChannel = 20;
            if (stream.connectAudio(eCustomDevice, settings) != 0) {
                state.SkipWithError("could not open the server's 20-channel sink");
                break;
            }
            int result = 0;
            std::atomic<long> loopTid{0};
            std::thread loop([&] {
                loopTid.store(::syscall(SYS_gettid));
                result = stream.run();
            });
            BusyLoad load(busyThreads);
            std::this_thread::sleep_for(1s);  // the stream settles

            pthread_t callback{};
            long callbackTid = 0;
            const bool hasCallback = host.callbackThread(callback, callbackTid);
            double loopQueued = 0, callbackQueued = 0;  // seconds, both phases
            auto measure = [&](double& loopPct, double& callbackPct, uint64_t& late, std::vector<double>& took) {
                const std::size_t first = host.count();
                const uint64_t timeouts = stream.statistics().timeouts.load();
                const double loop0 = vbz_bench::threadCpuSeconds(loop.native_handle());
                const double cb0 = hasCallback ? vbz_bench::threadCpuSeconds(callback) : 0.0;
                const double loopQ0 = runQueueSeconds(loopTid.load()), cbQ0 = runQueueSeconds(callbackTid);
                const auto wall0 = std::chrono::steady_clock::now();
                std::this_thread::sleep_for(phase);
                const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
                loopPct = 100.0 * (vbz_bench::threadCpuSeconds(loop.native_handle()) - loop0) / wall;
                callbackPct = hasCallback ? 100.0 * (vbz_bench::threadCpuSeconds(callback) - cb0) / wall : 0.0;
                loopQueued += runQueueSeconds(loopTid.load()) - loopQ0;
                callbackQueued += runQueueSeconds(callbackTid) - cbQ0;
                late = stream.statistics().timeouts.load() - timeouts;
                took = host.durations(first);
            };

            double loopIdle = 0, loopPlay = 0, cbIdle = 0, cbPlay = 0;
            uint64_t lateIdle = 0, latePlay = 0;
            std::vector<double> tookIdle, tookPlay;
            measure(loopIdle, cbIdle, lateIdle, tookIdle);
            {
                std::lock_guard<std::mutex> lock(mutex);
                auto& core = engine.core();
                const int pattern = core.pattern_load_from_vpt(vbz_test::endlessPattern(*core.layout_get()), -1);
                for (int k = 0; k < 10; ++k) core.sequence_play(core.sequence_new(pattern, false, -1), 0.0137 * k, 0.0);
            }
            measure(loopPlay, cbPlay, latePlay, tookPlay);
            stream.stop();
            loop.join();
            if (result != 0) state.SkipWithError("the stream loop failed");

            std::vector<double> took = tookIdle;
            took.insert(took.end(), tookPlay.begin(), tookPlay.end());
            // A callback waits at most a period, or the output latency when
            // shorter (PortAudio's JACK host may report an absurd latency).
            const double period = static_cast<double>(settings.bufferSize) / settings.sampleRate;
            const double waitLimit = host.outputLatency > 0.0 ? std::min(host.outputLatency, period) : period;
            state.counters["wait_limit_us"] = waitLimit * 1e6;
            state.counters["loop_idle_pct"] = loopIdle;
            state.counters["loop_play_pct"] = loopPlay;
            state.counters["callback_idle_pct"] = cbIdle;
            state.counters["callback_play_pct"] = cbPlay;
            state.counters["callbacks"] = static_cast<double>(took.size());
            state.counters["callback_p50_us"] = percentile(took, 0.5) * 1e6;
            state.counters["callback_p99_us"] = percentile(took, 0.99) * 1e6;
            state.counters["callback_max_us"] = took.empty() ? 0.0 : *std::max_element(took.begin(), took.end()) * 1e6;
            state.counters["late"] = static_cast<double>(lateIdle + latePlay);
            state.counters["late_pct"] =
                took.empty() ? 0.0 : 100.0 * static_cast<double>(lateIdle + latePlay) / static_cast<double>(took.size());
            state.counters["late_idle"] = static_cast<double>(lateIdle);
            state.counters["late_play"] = static_cast<double>(latePlay);
            state.counters["busy_threads"] = busyThreads;
            const double perCallback = took.empty() ? 0.0 : 1e6 / static_cast<double>(took.size());
            state.counters["loop_runq_us"] = loopQueued * perCallback;
            state.counters["callback_runq_us"] = callbackQueued * perCallback;
            state.counters["underflows"] = static_cast<double>(stream.statistics().underflows.load());
        }
        vbz::setAudioHost(nullptr);
    }
}
const bool kRegistered = [] {
    const std::pair<const char*, int> loads[] = {{"AudioStreamJack/busy:none", 0},
                                                 {"AudioStreamJack/busy:cores-1", cores() - 1},
                                                 {"AudioStreamJack/busy:cores", cores()}};
    for (const auto& [name, threads] : loads)
        benchmark::RegisterBenchmark(name, AudioStreamJack, threads)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kSecond);
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
