// Plays a pattern on a vest: connects, loads the pattern, plays it, plays it
// again turned to the back of the vest, pauses and resumes, stops with a
// fade, and disconnects. With --orv it turns what the computer plays into
// haptics instead: it captures the loopback device whose name begins with
// the given text (or the default output's), tries each ORV preset in turn,
// and disconnects after the given number of seconds (default 20).
//
//   vibrenza_vest_demo [--usb | --wifi] [--legacy] <pattern.json>
//   vibrenza_vest_demo [--usb | --wifi] --orv [<loopback name>] [--seconds N]
//
// --legacy plays through the legacy back-end, which has the vest play each
// sample on a slot of its own board instead of streaming the rendered signal.
//
// Wi-Fi (the default) finds the vest by broadcasting on every network
// interface: try it against the emulated vest only inside network
// namespaces of your own, as scripts/demo.sh does.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "vibrenza/vibrenza.h"

using namespace std::chrono_literals;

static std::atomic<int> connectionState{VBZ_STATE_DISCONNECTED};

static void onConnection(vbz_connection_state_t state, vbz_error_t error, unsigned int serial, void*) {
    std::printf("connection state %d (error %d), vest %s\n", static_cast<int>(state), static_cast<int>(error),
                VibrenzaSDK::serialNumberToString(serial).c_str());
    connectionState = state;
}

static void onLog(vbz_log_level_t level, const char* tag, const char* text) {
    if (level >= 3) std::fprintf(stderr, "[%s] %s\n", tag, text);  // warnings and errors
}

static bool waitForState(int state, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (connectionState != state && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    return connectionState == state;
}

// Audio to haptics: the sound the computer plays drives the vest.
static int runOrv(vbz_output_t output, const char* loopback, int seconds) {
    const char** names = nullptr;
    int count = 0;
    if (ExperimentalVibrenzaSDK::getLoopbackDevicesNames(names, count) == 0)
        for (int i = 0; i < count; ++i) std::printf("loopback device: %s\n", names[i]);

    VibrenzaSDK sdk;
    sdk.setConnectionCallback(&onConnection, nullptr);
    ExperimentalVibrenzaSDK exp = sdk.ExperimentalAPI();
    std::printf("capturing %s, connecting over %s...\n", loopback ? loopback : "the default output",
                output == VBZ_OUTPUT_USB ? "USB" : "Wi-Fi");
    const int started = exp.connectOrv(output, 0, loopback);
    if (started != 0 || !waitForState(VBZ_STATE_CONNECTED, 10s)) {
        std::fprintf(stderr, "could not start: error %d (no loopback device or no vest)\n", started);
        return 1;
    }
    std::printf("connected: vest %s; play some sound now\n", sdk.getVibrenzaSerialNumberAsString().c_str());
    const char** presets = nullptr;
    int presetCount = 0;
    ExperimentalVibrenzaSDK::listOrvPresets(presets, presetCount);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (int turn = 0; std::chrono::steady_clock::now() < end && connectionState == VBZ_STATE_CONNECTED; ++turn) {
        const int preset = turn % presetCount;
        exp.setOrvPreset(preset);
        std::printf("preset %s, volume %.1f\n", presets[preset], static_cast<double>(exp.getOrvVolume()));
        const auto next = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < std::min(next, end)) std::this_thread::sleep_for(50ms);
    }
    sdk.disconnect();
    waitForState(VBZ_STATE_DISCONNECTED, 10s);
    std::printf("done\n");
    return 0;
}

int main(int argc, char** argv) {
    vbz_output_t output = VBZ_OUTPUT_WIFI;
    const char* path = nullptr;
    bool orv = false;
    int seconds = 20;
    bool legacy = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--usb") == 0) output = VBZ_OUTPUT_USB;
        else if (std::strcmp(argv[i], "--legacy") == 0) legacy = true;
        else if (std::strcmp(argv[i], "--wifi") == 0) output = VBZ_OUTPUT_WIFI;
        else if (std::strcmp(argv[i], "--orv") == 0) orv = true;
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atoi(argv[++i]);
        else path = argv[i];
    }
    if (orv) {
        VibrenzaSDK::setLogCallback(&onLog);
        return runOrv(output, path, seconds > 0 ? seconds : 20);
    }
    std::ifstream file(path ? path : "");
    if (!file) {
        std::fprintf(stderr,
                     "usage: vibrenza_vest_demo [--usb | --wifi] [--legacy] <pattern.json>\n"
                     "       vibrenza_vest_demo [--usb | --wifi] --orv [<loopback name>] [--seconds N]\n");
        return 2;
    }
    std::stringstream text;
    text << file.rdbuf();

    VibrenzaSDK::setLogCallback(&onLog);  // before the first instance: no log file
    VibrenzaSDK sdk;
    sdk.setConnectionCallback(&onConnection, nullptr);
    if (legacy) sdk.ExperimentalAPI().enableLegacyBackend(true);

    const int pattern = sdk.loadPatternFromJSON(text.str().c_str());
    if (pattern < 0) {
        std::fprintf(stderr, "the pattern was refused: error %d\n", pattern);
        return 1;
    }
    std::printf("connecting over %s%s...\n", output == VBZ_OUTPUT_USB ? "USB" : "Wi-Fi",
                legacy ? " (legacy back-end)" : "");
    if (sdk.connect(output, 0) != 0 || !waitForState(VBZ_STATE_CONNECTED, 10s)) {
        std::fprintf(stderr, "no vest found\n");
        return 1;
    }
    std::printf("connected: vest %s, firmware %s\n", sdk.getVibrenzaSerialNumberAsString().c_str(),
                sdk.getVibrenzaVersion().c_str());

    vbz_effect_properties_t properties;  // the defaults: volume 100 %, speed 1, played once
    std::printf("playing the pattern\n");
    sdk.playEffect(pattern, properties);
    std::this_thread::sleep_for(2500ms);

    std::printf("playing it again, turned to the back and repeated\n");
    properties.heading = 180.0f;  // degrees about the vertical axis
    properties.repeatCount = 3;
    const int effect = sdk.playEffect(pattern, properties);
    std::this_thread::sleep_for(1s);
    std::printf("pause\n");
    sdk.pauseAll();
    std::this_thread::sleep_for(1s);
    std::printf("resume\n");
    sdk.resumeAll();
    std::this_thread::sleep_for(1s);
    std::printf("stop with a fade of 0.5 s\n");
    sdk.stopEffect(effect, 0.5f);
    std::this_thread::sleep_for(1s);

    sdk.disconnect();
    waitForState(VBZ_STATE_DISCONNECTED, 10s);
    std::printf("done\n");
    return 0;
}
