// Cost of streaming to the vest.
//
// Encode/<us>: one request's frame from an already rendered block of the
// engine with 10 effects playing (choice of encoding, packing, CRC), per
// requested duration; allocs/frame must be 0.
// RenderEncode/<us>: the same with the engine's render of the block.
// StreamUsb/<effects>, StreamUdp/<effects>: a whole stream run over the
// hidapi double, or over UDP between the two sides of a veth pair in private
// network namespaces (the bench process itself leaves its namespace before
// main; without the privilege to make one the UDP runs are skipped). The
// emulated vest asking 80 blocks a second (12.5 ms each) for
// VBZ_BENCH_STREAM_SECONDS seconds (default 30), with 0 or 10 effects
// playing. Counters: request-to-frame latency p50/p99/max (us), late frames
// (answered after the next request fell due), problems the vest found in
// the frames, and the CPU time of the streaming thread per second of wall
// time (cpu_pct).
//
//   build/release/bench/streaming_bench
//   VBZ_BENCH_STREAM_SECONDS=5 build/release/bench/streaming_bench --benchmark_filter=StreamUsb
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "bench/ThreadCpu.h"
#include "sdk/core/LogLine.h"
#include "streaming/StreamDataFrame.h"
#include "streaming/StreamHid.h"
#include "streaming/TesCore.h"
#include "tests/support/CountingAllocator.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/StreamPatterns.h"
#include "tests/support/WifiVest.h"
#include "tools/vest-emulator/StreamingVest.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"
#include "tools/vest-emulator/usb/UsbBus.h"

namespace {

// As an SDK instance sets it: the per-request trace lines are not built.
const bool kInfoLevel = [] {
    vbz::setMinLogLevel(2);
    return true;
}();

// The engine at the stream's rate with n effects of an endless pattern,
// spread in time so that they are not in step.
std::unique_ptr<vbz::TesCore> engineWithEffects(int n) {
    auto engine = std::make_unique<vbz::TesCore>(tsr::makeDefaultLayout(), 2000.0, 25);
    auto& core = engine->core();
    const int pattern = core.pattern_load_from_vpt(vbz_test::endlessPattern(*core.layout_get()), -1);
    for (int k = 0; k < n; ++k) core.sequence_play(core.sequence_new(pattern, false, -1), 0.0137 * k, 0.0);
    // Warm-up: work buffers reach their sizes.
    for (int k = 0; k < 200; ++k) engine->render();
    return engine;
}

void Encode(benchmark::State& state) {
    auto engine = engineWithEffects(10);
    vbz::StreamDataFrame frame;
    frame.setChannelCount(20);
    uint32_t clock = 0;
    const auto block = frame.chooseEncoding(static_cast<uint32_t>(state.range(0)), clock);
    engine->setSampleRate(block.sampleRate);
    engine->setBufferSize(block.samples);
    engine->render();
    const long before = vbz_test::allocationCount();
    for (auto _ : state) {
        frame.chooseEncoding(static_cast<uint32_t>(state.range(0)), clock);
        frame.setSampleCount(engine->getBufferSize());
        frame.packPayload(*engine);
        frame.seal();
        benchmark::DoNotOptimize(frame.data());
    }
    state.counters["allocs/frame"] = benchmark::Counter(
        static_cast<double>(vbz_test::allocationCount() - before), benchmark::Counter::kAvgIterations);
    state.counters["samples"] = frame.sampleCount();
}
BENCHMARK(Encode)->Arg(12500)->Arg(25000)->Arg(50000)->Arg(100000)->Arg(200000);

void RenderEncode(benchmark::State& state) {
    auto engine = engineWithEffects(10);
    vbz::StreamDataFrame frame;
    frame.setChannelCount(20);
    uint32_t clock = 0;
    for (auto _ : state) {
        const auto block = frame.chooseEncoding(static_cast<uint32_t>(state.range(0)), clock);
        engine->setSampleRate(block.sampleRate);
        engine->setBufferSize(block.samples);
        engine->render();
        frame.setSampleCount(engine->getBufferSize());
        frame.packPayload(*engine);
        frame.seal();
        benchmark::DoNotOptimize(frame.data());
    }
}
BENCHMARK(RenderEncode)->Arg(12500)->Arg(50000);

int streamSeconds() {
    const char* env = std::getenv("VBZ_BENCH_STREAM_SECONDS");
    return env ? std::max(1, std::atoi(env)) : 30;
}

// Runs a connected stream until the vest has had its answers, measuring
// from the first answered request to the last; sets the counters.
void measureRun(benchmark::State& state, vbz::StreamHid& stream,
                const vbz::emu::StreamingVest& streaming, std::size_t requests, int seconds,
                const std::function<void(std::function<void()>)>& startThread) {
    using Clock = std::chrono::steady_clock;
    int result = 0;
    std::thread runner;
    startThread([&] { runner = std::thread([&] { result = stream.run(); }); });
    streaming.waitAnswered(1, Clock::now() + std::chrono::seconds(5));
    const double cpu0 = vbz_bench::threadCpuSeconds(runner.native_handle());
    const auto wall0 = Clock::now();
    streaming.waitAnswered(requests, Clock::now() + std::chrono::seconds(seconds + 10));
    const double cpu1 = vbz_bench::threadCpuSeconds(runner.native_handle());
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    stream.stop();
    runner.join();

    const auto stats = streaming.stats();
    state.counters["frames"] = static_cast<double>(stats.answered);
    state.counters["p50_us"] = stats.p50 * 1e6;
    state.counters["p99_us"] = stats.p99 * 1e6;
    state.counters["max_us"] = stats.max * 1e6;
    state.counters["late"] = static_cast<double>(stats.late);
    state.counters["problems"] = static_cast<double>(streaming.problems().size());
    state.counters["cpu_pct"] = wall > 0 ? 100.0 * (cpu1 - cpu0) / wall : 0.0;
    if (result != 0) state.SkipWithError("the stream run failed");
}

void StreamUsb(benchmark::State& state) {
    const int seconds = streamSeconds();
    const std::size_t requests = static_cast<std::size_t>(seconds) * 80;
    for (auto _ : state) {
        auto& bus = vbz::emu::UsbBus::instance();
        bus.reset();
        auto vest = std::make_shared<vbz::emu::VestModel>();
        vbz::emu::StreamingOptions options;  // 12.5 ms per request, in real time
        options.silentAfter = static_cast<int>(requests);
        vbz::emu::StreamingVest streaming(vest, options);
        bus.plug(vest);

        auto engine = engineWithEffects(static_cast<int>(state.range(0)));
        std::mutex mutex;
        vbz::StreamHid stream(engine.get(), &mutex, nullptr);
        if (stream.connect(VBZ_OUTPUT_USB, 0) != 0) {
            state.SkipWithError("could not connect to the emulated vest");
            break;
        }
        measureRun(state, stream, streaming, requests, seconds, [](const auto& start) { start(); });
    }
}
BENCHMARK(StreamUsb)->Arg(0)->Arg(10)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void StreamUdp(benchmark::State& state) {
    const int seconds = streamSeconds();
    const std::size_t requests = static_cast<std::size_t>(seconds) * 80;
    for (auto _ : state) {
        vbz_test::VethPair net;
        if (!net.ok()) {
            state.SkipWithError(("SKIPPED, no private network namespace: " + net.error()).c_str());
            break;
        }
        auto vest = std::make_shared<vbz::emu::VestModel>();
        vbz::emu::StreamingOptions options;
        options.silentAfter = static_cast<int>(requests);
        vbz::emu::StreamingVest streaming(vest, options);
        vbz::emu::UdpVestServer server;
        if (!vbz_test::serveOnVestSide(net, server, vest)) {
            state.SkipWithError("could not serve the emulated vest over UDP");
            break;
        }

        auto engine = engineWithEffects(static_cast<int>(state.range(0)));
        std::mutex mutex;
        std::unique_ptr<vbz::StreamHid> stream;
        int connected = -1;
        // Sockets and the stream's thread belong to the host side.
        net.host().run([&] {
            stream = std::make_unique<vbz::StreamHid>(engine.get(), &mutex, nullptr);
            connected = stream->connect(VBZ_OUTPUT_WIFI, 0);
        });
        if (connected != 0) {
            state.SkipWithError("could not connect to the emulated vest over UDP");
            break;
        }
        measureRun(state, *stream, streaming, requests, seconds,
                   [&](const auto& start) { net.host().run(start); });
        net.host().run([&] { stream.reset(); });
    }
}
BENCHMARK(StreamUdp)->Arg(0)->Arg(10)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
