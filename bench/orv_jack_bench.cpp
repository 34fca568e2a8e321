// Audio to haptics from the sound to the vest, on a private JACK server
// (dummy driver, 48 kHz, 10 ms periods) started by this benchmark.
//
// CaptureToVest: connectOrv captures the desk speakers' monitor ports and
// streams to the emulated vest over the hidapi double (real-time requests,
// 12.5 ms each); a player client plays VBZ_BENCH_ORV_BURSTS bursts (default
// 40) of 80 Hz, 100 ms every 500 ms. Counters: latency from each burst's
// onset to the first active sample the vest received (p50, p95, max, in ms;
// goal p95 <= 60 ms), bursts found, and the CPU time of the whole process
// (SDK threads, the capture callback, and the benchmark's own player and
// emulated vest: an upper bound) per second of wall time, while the capture
// runs on silence (cpu_idle_pct) and while it streams the bursts
// (cpu_stream_pct); goal <= 5 % of a core each.
//
//   build/release/bench/orv_jack_bench
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sdk/core/LogLine.h"
#include "bench/BenchJackServer.h"
#include "tests/support/jack/BurstTrain.h"
#include "tests/support/jack/VestTimeline.h"
#include "tools/vest-emulator/StreamingVest.h"
#include "tools/vest-emulator/usb/UsbBus.h"
#include "vibrenza/vibrenza.h"

using namespace std::chrono_literals;

namespace {

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU of the process per wall second over `span`, in percent of a core.
double cpuPercentOver(std::chrono::milliseconds span) {
    const double cpu0 = processCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(span);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    return 100.0 * (processCpuSeconds() - cpu0) / wall;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void CaptureToVest(benchmark::State& state) {
    static vbz_bench::JackServer server("vbzorvbench");
    if (!server.up) {
        state.SkipWithError("no JACK test server (is jackd installed?)");
        return;
    }
    const char* env = std::getenv("VBZ_BENCH_ORV_BURSTS");
    vbz_test::BurstPlayer::Train train;
    train.count = env ? std::max(1, std::atoi(env)) : 40;
    for (auto _ : state) {
        vbz_test::BurstPlayer player;
        std::string why;
        if (!player.open(server.name, "DeskSpeakers", train, why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        auto& bus = vbz::emu::UsbBus::instance();
        bus.reset();
        auto vest = std::make_shared<vbz::emu::VestModel>();
        vbz::emu::StreamingVest streaming(vest);
        bus.plug(vest);

        double idle = 0.0, streamingCpu = 0.0;
        {
            VibrenzaSDK sdk;
            vbz::setMinLogLevel(4);
            if (sdk.ExperimentalAPI().connectOrv(VBZ_OUTPUT_USB, 0, "DeskSpeakers") != 0) {
                state.SkipWithError("connectOrv refused");
                break;
            }
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (sdk.connectionStatus() != VBZ_STATE_CONNECTED && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(10ms);
            std::this_thread::sleep_for(1s);  // the capture settles
            idle = cpuPercentOver(3000ms);
            player.arm();
            streamingCpu = cpuPercentOver(std::chrono::milliseconds(static_cast<int>(train.count * 500 - 500)));
            while (!player.finished()) std::this_thread::sleep_for(10ms);
            std::this_thread::sleep_for(500ms);
            sdk.disconnect();
        }

        const auto signal = vbz_test::vestTimeline(streaming.blocks(), 0);
        const auto segments = vbz_test::activeSegments(signal, 0.02f, 150ms);
        std::vector<double> latencies;
        for (const auto& onset : player.onsets())
            for (const auto& s : segments)
                if (s.begin >= onset && s.begin < onset + 400ms) {
                    latencies.push_back(vbz_test::millisecondsBetween(onset, s.begin));
                    break;
                }
        state.counters["bursts"] = static_cast<double>(train.count);
        state.counters["found"] = static_cast<double>(latencies.size());
        state.counters["p50_ms"] = percentile(latencies, 0.5);
        state.counters["p95_ms"] = percentile(latencies, 0.95);
        state.counters["max_ms"] = latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end());
        state.counters["cpu_idle_pct"] = idle;
        state.counters["cpu_stream_pct"] = streamingCpu;
        bus.reset();
    }
}
BENCHMARK(CaptureToVest)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
