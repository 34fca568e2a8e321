// Cost of the legacy back-end against the in-process emulated board.
//
// IdleCpu: connected over USB, nothing playing, for 5 s: CPU time of the
//   process per second of wall time (cpu_pct; the back-end's sequencing and
//   reception threads are the only ones awake). Goal: <= 1 % of a core.
// Transactions: status transactions run back to back on the sequencing
//   thread over USB with an emulator that answers at once (tx_per_s,
//   us_per_tx). Goal: >= 5,000/s.
// ConnectUsb, ConnectWifi: from connect to the connected callback, with the
//   real timing (500 ms settle after USB); Wi-Fi between the two sides of a
//   veth pair in private network namespaces (skipped without the privilege),
//   to a vest found by a scan (without one, the transport's discovery adds
//   its one-second listening time).
//   Goals: <= 550 ms (USB), <= 20 ms (Wi-Fi).
// ApiWhileWaiting: API calls (boost, effect state, play, stop) while a
//   transaction waits for an answer that does not come: p50/p99/max latency
//   in microseconds. Goal: p99 <= 1 ms.
//
//   build/release/bench/sequencer_link_bench
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/Frame.h"
#include "sdk/core/LogLine.h"
#include "sequencer/HandlerCommands.h"
#include "tests/support/LegacyPatterns.h"
#include "tests/support/NetNamespace.h"
#include "tools/vest-emulator/LegacyBoard.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"
#include "tools/vest-emulator/usb/UsbBus.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// As an SDK instance sets it: the per-command trace lines are not built.
const bool kInfoLevel = [] {
    vbz::setMinLogLevel(2);
    return true;
}();

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::unique_ptr<vbz::IHidCom> usbOnly(vbz_output_t kind) {
    return kind == VBZ_OUTPUT_USB ? vbz::makeTransport(kind) : nullptr;
}

// Waits for the connection callbacks.
struct Connection {
    std::mutex m;
    std::condition_variable cv;
    int reports = 0;
    int state = 99;
    Clock::time_point at;
    static void callback(vbz_connection_state_t state, vbz_error_t, unsigned int, void* user) {
        auto* self = static_cast<Connection*>(user);
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(self->m);
            ++self->reports;
            self->state = state;
            self->at = now;
        }
        self->cv.notify_all();
    }
    bool waitFor(int n) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, 20s, [&] { return reports >= n; });
    }
};

// Runs a burst of transactions on the sequencing thread when asked.
class Burst : public HandlerCommands {
public:
    using HandlerCommands::HandlerCommands;
    ~Burst() override { shutdown(); }
    // Runs n status transactions in the next turn; their wall time.
    double run(int n) {
        std::unique_lock<std::mutex> lock(m_);
        wanted_ = n;
        wakeTurn();
        cv_.wait_for(lock, 60s, [&] { return wanted_ == 0; });
        return seconds_;
    }

protected:
    void stepSequences() override {
        int n;
        {
            std::lock_guard<std::mutex> lock(m_);
            n = wanted_;
        }
        if (n > 0) {
            auto frame = vbz::shortFrame(vbz::DeviceCommand::GetStatus);
            const auto start = Clock::now();
            for (int i = 0; i < n; ++i) sendCommand(frame.data(), static_cast<int>(frame.size()));
            const double s = std::chrono::duration<double>(Clock::now() - start).count();
            {
                std::lock_guard<std::mutex> lock(m_);
                seconds_ = s;
                wanted_ = 0;
            }
            cv_.notify_all();
        }
        HandlerCommands::stepSequences();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int wanted_ = 0;
    double seconds_ = 0;
};

// Connects handler over USB with the callback on c; false when it did not.
bool connectUsb(HandlerCommands& handler, Connection& c) {
    handler.setConnectionCallback(&Connection::callback, &c);
    handler.connect(VBZ_OUTPUT_USB, 0);
    return c.waitFor(1) && c.state == VBZ_STATE_CONNECTED;
}

HandlerCommands::Timing shortSettle() {
    HandlerCommands::Timing timing;
    timing.settleTime = 10ms;
    return timing;
}

struct UsbBoard {
    UsbBoard() {
        vbz::emu::UsbBus::instance().reset();
        vest = std::make_shared<vbz::emu::VestModel>();
        board = std::make_unique<vbz::emu::LegacyBoard>(vest);
        vbz::emu::UsbBus::instance().plug(vest);
    }
    ~UsbBoard() { vbz::emu::UsbBus::instance().reset(); }
    std::shared_ptr<vbz::emu::VestModel> vest;
    std::unique_ptr<vbz::emu::LegacyBoard> board;
};

void IdleCpu(benchmark::State& state) {
    for (auto _ : state) {
        UsbBoard usb;
        Connection c;
        HandlerCommands handler(nullptr, &usbOnly, shortSettle());
        if (!connectUsb(handler, c)) {
            state.SkipWithError("could not connect");
            break;
        }
        std::this_thread::sleep_for(200ms);
        const double cpu0 = processCpuSeconds();
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(5s);
        const double cpu = processCpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        state.counters["cpu_pct"] = 100.0 * cpu / wall;
        state.counters["status_requests"] = static_cast<double>(usb.vest->countReceived(0x07));
    }
}
BENCHMARK(IdleCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void Transactions(benchmark::State& state) {
    UsbBoard usb;
    Connection c;
    Burst handler(nullptr, &usbOnly, shortSettle());
    if (!connectUsb(handler, c)) {
        state.SkipWithError("could not connect");
        return;
    }
    constexpr int kBurst = 2000;
    double total = 0;
    for (auto _ : state) {
        const double s = handler.run(kBurst);
        total += s;
        state.SetIterationTime(s);
    }
    const double count = static_cast<double>(state.iterations()) * kBurst;
    state.counters["tx_per_s"] = total > 0 ? count / total : 0.0;
    state.counters["us_per_tx"] = count > 0 ? 1e6 * total / count : 0.0;
}
BENCHMARK(Transactions)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void ConnectUsb(benchmark::State& state) {
    for (auto _ : state) {
        UsbBoard usb;
        Connection c;
        HandlerCommands handler(nullptr, &usbOnly);
        const auto start = Clock::now();
        if (!connectUsb(handler, c)) {
            state.SkipWithError("could not connect");
            break;
        }
        state.counters["connect_ms"] = std::chrono::duration<double, std::milli>(c.at - start).count();
    }
}
BENCHMARK(ConnectUsb)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void ConnectWifi(benchmark::State& state) {
    for (auto _ : state) {
        vbz::emu::UsbBus::instance().reset();
        vbz_test::VethPair net;
        if (!net.ok()) {
            state.SkipWithError(("SKIPPED, no private network namespace: " + net.error()).c_str());
            break;
        }
        auto vest = std::make_shared<vbz::emu::VestModel>();
        vbz::emu::LegacyBoard board(vest);
        vbz::emu::UdpVestServer server;
        bool served = false;
        net.vest().run([&] { served = server.add(vest, {0, 33624}) && server.start(); });
        if (!served) {
            state.SkipWithError("could not serve the emulated vest over UDP");
            break;
        }
        Connection c;
        std::unique_ptr<HandlerCommands> handler;
        net.host().run([&] {
            handler = std::make_unique<HandlerCommands>(nullptr);
            handler->setConnectionCallback(&Connection::callback, &c);
            handler->scanDevices(VBZ_OUTPUT_WIFI);
        });
        // The scan takes the discovery time; the connection then goes to the
        // vest's address.
        const auto scanEnd = Clock::now() + 10s;
        while (handler->scanStatus() != 0 && Clock::now() < scanEnd) std::this_thread::sleep_for(5ms);
        const vbz_device_info_t* found = handler->getFirstScannedDevice();
        if (!found) {
            state.SkipWithError("the scan found no vest over UDP");
            net.host().run([&] { handler.reset(); });
            break;
        }
        const unsigned serial = found->serialNumber;
        Clock::time_point start;
        net.host().run([&] {
            start = Clock::now();
            handler->connect(VBZ_OUTPUT_WIFI, serial);
        });
        if (!c.waitFor(1) || c.state != VBZ_STATE_CONNECTED) {
            state.SkipWithError("could not connect over UDP");
        } else {
            state.counters["connect_ms"] =
                std::chrono::duration<double, std::milli>(c.at - start).count();
        }
        net.host().run([&] { handler.reset(); });
        server.stop();
    }
}
BENCHMARK(ConnectWifi)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void ApiWhileWaiting(benchmark::State& state) {
    UsbBoard usb;
    Connection c;
    HandlerCommands::Timing timing = shortSettle();
    timing.answerTimeout = 10s;  // the transaction waits through the whole run
    HandlerCommands handler(nullptr, &usbOnly, timing);
    usb.board->swallow(0x07, 1000000);
    if (!connectUsb(handler, c)) {
        state.SkipWithError("could not connect");
        return;
    }
    const int pattern = handler.loadPatternFromJSON(vbz_test::patternOf({vbz_test::trackOf({vbz_test::sampleAt(0)})}).dump());
    // The keep-alive's status request is sent and waits unanswered.
    const auto give = Clock::now() + 5s;
    while (usb.vest->countReceived(0x07) == 0 && Clock::now() < give)
        std::this_thread::sleep_for(1ms);
    std::vector<double> us;
    us.reserve(100000);
    vbz_effect_properties_t p;
    int k = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        switch (k++ % 4) {
            case 0: benchmark::DoNotOptimize(handler.getGlobalIntensityBoost()); break;
            case 1: benchmark::DoNotOptimize(handler.effectState(0)); break;
            case 2: benchmark::DoNotOptimize(handler.playEffect(pattern, p)); break;
            default: benchmark::DoNotOptimize(handler.connectionStatus()); break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        state.counters["p50_us"] = us[us.size() / 2];
        state.counters["p99_us"] = us[us.size() * 99 / 100];
        state.counters["max_us"] = us.back();
    }
    state.counters["waiting"] = usb.vest->countReceived(0x07) == 1 ? 1.0 : 0.0;
}
BENCHMARK(ApiWhileWaiting)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
