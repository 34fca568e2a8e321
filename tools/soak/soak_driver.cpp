// Soak driver: connects to a vest, loads a few patterns and plays one of
// them with random properties every period for a given time, then stops
// everything and disconnects. Prints the process's resident memory, thread
// count and open file descriptors after connecting, half-way and at the
// end, and
// counts the warnings and errors the SDK logged.
//
//   vbz-soak [--usb | --wifi] SECONDS PERIOD_MS PATTERN.json...
//
// Wi-Fi finds the vest by broadcast: run it only inside network namespaces
// of its own (scripts/soak.sh does).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vibrenza/vibrenza.h"

using namespace std::chrono_literals;

namespace {
std::atomic<int> connectionState{VBZ_STATE_DISCONNECTED};
std::atomic<bool> soaking{false};
std::atomic<int> disconnections{0};
std::atomic<long> warnings{0};
std::atomic<long> errors{0};

void onConnection(vbz_connection_state_t state, vbz_error_t error, unsigned int, void*) {
    if (soaking && state == VBZ_STATE_DISCONNECTED && connectionState == VBZ_STATE_CONNECTED) {
        ++disconnections;
        std::fprintf(stderr, "soak: the connection ended (error %d)\n", static_cast<int>(error));
    }
    connectionState = state;
}

void onLog(vbz_log_level_t level, const char* tag, const char* text) {
    if (level == 3) ++warnings;
    if (level >= 4) {
        if (++errors <= 20) std::fprintf(stderr, "soak: [%s] %s\n", tag, text);
    }
}

bool waitForState(int state, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (connectionState != state && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    return connectionState == state;
}

// "rss_kb threads fds" of this process.
std::string resources() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long rss = -1;
    long threads = -1;
    while (status >> key) {
        if (key == "VmRSS:") status >> rss;
        if (key == "Threads:") status >> threads;
    }
    long fds = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++fds;
    return "rss_kb=" + std::to_string(rss) + " threads=" + std::to_string(threads) +
           " fds=" + std::to_string(fds - 1);  // less the one listing them
}
}  // namespace

int main(int argc, char** argv) {
    vbz_output_t output = VBZ_OUTPUT_WIFI;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--usb") == 0) output = VBZ_OUTPUT_USB;
        else if (std::strcmp(argv[i], "--wifi") == 0) output = VBZ_OUTPUT_WIFI;
        else args.emplace_back(argv[i]);
    }
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: vbz-soak [--usb | --wifi] SECONDS PERIOD_MS PATTERN.json...\n");
        return 2;
    }
    const double seconds = std::atof(args[0].c_str());
    const auto period = std::chrono::milliseconds(std::atoi(args[1].c_str()));

    VibrenzaSDK::setLogCallback(&onLog);  // before the first instance: no log file
    VibrenzaSDK sdk;
    sdk.setConnectionCallback(&onConnection, nullptr);
    std::vector<int> patterns;
    for (std::size_t i = 2; i < args.size(); ++i) {
        std::ifstream file(args[i]);
        std::stringstream text;
        text << file.rdbuf();
        const int id = sdk.loadPatternFromJSON(text.str().c_str());
        if (id < 0) {
            std::fprintf(stderr, "soak: %s was refused (error %d)\n", args[i].c_str(), id);
            return 1;
        }
        patterns.push_back(id);
    }
    if (sdk.connect(output, 0) != 0 || !waitForState(VBZ_STATE_CONNECTED, 15s)) {
        std::fprintf(stderr, "soak: no vest found\n");
        return 1;
    }
    std::printf("start: %s\n", resources().c_str());
    std::fflush(stdout);
    soaking = true;

    std::mt19937 rng(12345);
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto chance = [&] { return std::bernoulli_distribution(0.5)(rng); };
    long plays = 0;
    long refused = 0;
    std::vector<int> effects;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    auto next = std::chrono::steady_clock::now();
    const auto middle = next + std::chrono::duration<double>(seconds / 2);
    bool middleReported = false;
    while (std::chrono::steady_clock::now() < end && connectionState == VBZ_STATE_CONNECTED) {
        vbz_effect_properties_t p;
        p.priority = static_cast<int32_t>(uniform(1, 10.99));
        p.volume = static_cast<float>(uniform(0, 250));
        p.speed = static_cast<float>(uniform(0.25, 4));
        p.repeatCount = static_cast<int32_t>(uniform(0, 3.99));  // 0: endless
        p.repeatDelay = static_cast<float>(uniform(0, 0.3));
        p.playAtTime = static_cast<float>(uniform(0, 0.5));
        p.maxDuration = static_cast<float>(uniform(0.2, 3));  // so that endless ones end
        p.overridePatternBoost = chance();
        p.effectBoost = static_cast<int32_t>(uniform(-100, 100));
        p.height = static_cast<float>(uniform(-0.5, 0.5));
        p.heading = static_cast<float>(uniform(-360, 360));
        p.tilting = static_cast<float>(uniform(-90, 90));
        p.frontBackInversion = chance();
        p.upDownInversion = chance();
        p.rightLeftInversion = chance();
        p.upDownAddition = chance();
        const int effect = sdk.playEffect(patterns[static_cast<std::size_t>(plays) % patterns.size()], p);
        ++plays;
        if (effect < 0) ++refused;
        else effects.push_back(effect);
        // Now and then stop a recent effect with a fade, or everything.
        if (plays % 7 == 0 && !effects.empty()) sdk.stopEffect(effects.back(), 0.2f);
        if (plays % 500 == 0) sdk.stopAll();
        if (effects.size() > 64) effects.erase(effects.begin(), effects.begin() + 32);
        if (!middleReported && std::chrono::steady_clock::now() >= middle) {
            middleReported = true;
            std::printf("middle: %s\n", resources().c_str());
            std::fflush(stdout);
        }
        next += period;
        std::this_thread::sleep_until(next);
    }
    const bool stillConnected = connectionState == VBZ_STATE_CONNECTED;
    soaking = false;
    sdk.stopAll();
    std::this_thread::sleep_for(500ms);
    std::printf("end: %s\n", resources().c_str());
    std::printf("plays=%ld refused=%ld warnings=%ld errors=%ld disconnections=%d\n", plays, refused,
                warnings.load(), errors.load(), disconnections.load());
    std::fflush(stdout);
    sdk.disconnect();
    waitForState(VBZ_STATE_DISCONNECTED, 10s);
    return stillConnected && refused == 0 ? 0 : 1;
}
