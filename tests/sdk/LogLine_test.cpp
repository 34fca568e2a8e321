// Logging scenarios. The sink, the minimum level and spdlog's registry are
// process-wide: ctest runs every case in a process of its own.
#include "sdk/core/LogLine.h"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tessaron-core/src/tsr/tsr_log.h"
#include "tests/support/CaptureStdout.h"
#include "tests/support/TempDir.h"
#include "tests/support/Watchdog.h"
#include "vibrenza/vibrenza.h"

namespace fs = std::filesystem;

namespace {
struct Line {
    int level;
    std::string tag;
    std::string text;
    bool textWasNull;
};
std::mutex linesMutex;
std::vector<Line> lines;

void recordLine(vbz_log_level_t level, const char* tag, const char* text) {
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.push_back({static_cast<int>(level), tag ? tag : "", text ? text : "", text == nullptr});
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void flushFileLogger() {
    if (auto logger = spdlog::get("VibrenzaSDK")) logger->flush();
}
}  // namespace

TEST(Logging, CallbackBeforeFirstInstanceGetsLinesAtInfoAndAboveAndNoFileIsMade) {
    vbz_test::TempDir dir;
    dir.enter();
    VibrenzaSDK::setLogCallback(&recordLine);
    {
        VibrenzaSDK sdk;
        LogLine(2, "Vibrenza") << "Command: " << 42 << ' ' << 1.5;
        LogLine(1, "Vibrenza") << "debug is dropped";
        LogLine(-3, "Vibrenza") << "negative is dropped";
        LogLine(3, "Handler");  // nothing inserted
        const char* nothing = nullptr;
        LogLine(4, "Handler") << "before " << nothing << "after";
        LogLine(2, "Hex") << std::hex << 255 << std::endl;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "VibrenzaLogs"));
    EXPECT_FALSE(spdlog::get("VibrenzaSDK"));

    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[0].tag, "Vibrenza");
    EXPECT_EQ(lines[0].text, "Command: 42 1.5");
    EXPECT_EQ(lines[1].level, 3);
    EXPECT_EQ(lines[1].text, "");
    EXPECT_FALSE(lines[1].textWasNull);
    EXPECT_EQ(lines[2].text, "before after");
    EXPECT_EQ(lines[3].text, "ff\n");
}

TEST(Logging, LinesBelowTheMinimumNeverReachTheSinkBeforeAnyInstanceEither) {
    VibrenzaSDK::setLogCallback(&recordLine);
    // At load the minimum is 0: a trace line passes until an instance exists.
    LogLine(0, "Early") << "trace";
    vbz::setMinLogLevel(2);
    LogLine(1, "Late") << "debug";
    LogLine(2, "Late") << "info";
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].tag, "Early");
    EXPECT_EQ(lines[1].text, "info");
}

TEST(Logging, DefaultFileHoldsTaggedLinesWithBracesUnchanged) {
    vbz_test::TempDir dir;
    dir.enter();
    VibrenzaSDK sdk;  // empty path: the default file under the working directory
    const fs::path file = dir.path() / "VibrenzaLogs" / "VibrenzaSDK.log";
    ASSERT_TRUE(fs::exists(file));
    LogLine(2, "Vibrenza") << "pattern {} and {0} stay";
    LogLine(1, "Vibrenza") << "debug never written";
    flushFileLogger();
    const std::string content = readFile(file);
    EXPECT_NE(content.find("[Vibrenza] pattern {} and {0} stay"), std::string::npos) << content;
    EXPECT_EQ(content.find("debug never written"), std::string::npos);
}

TEST(Logging, SecondInstanceReportsFailureAndKeepsTheFirstFile) {
    vbz_test::TempDir dir;
    dir.enter();
    VibrenzaSDK first("first/log.txt");
    LogLine(2, "One") << "from first";
    flushFileLogger();

    vbz_test::CaptureFd out(1);
    VibrenzaSDK second("first/log.txt");
    const std::string printed = out.finish();
    EXPECT_EQ(printed.rfind("Log initialization failed: ", 0), 0u) << printed;

    LogLine(2, "Two") << "from second";
    flushFileLogger();
    // The live file was not rotated away by the second set-up.
    EXPECT_FALSE(fs::exists(dir.path() / "first" / "log.1.txt"));
    const std::string content = readFile(dir.path() / "first" / "log.txt");
    EXPECT_NE(content.find("[One] from first"), std::string::npos);
    EXPECT_NE(content.find("[Two] from second"), std::string::npos);
}

TEST(Logging, SecondInstanceWithAnotherPathLogsIntoTheFirstFile) {
    vbz_test::TempDir dir;
    dir.enter();
    VibrenzaSDK first("a/a.log");
    vbz_test::CaptureFd out(1);
    VibrenzaSDK second("b/b.log");
    EXPECT_NE(out.finish().find("Log initialization failed: "), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.path() / "b"));
    LogLine(3, "Two") << "goes to a";
    flushFileLogger();
    EXPECT_NE(readFile(dir.path() / "a" / "a.log").find("[Two] goes to a"), std::string::npos);
}

TEST(Logging, NullCallbackSilencesEverythingIncludingTheEngine) {
    vbz_test::TempDir dir;
    dir.enter();
    EXPECT_EQ(VibrenzaSDK::setLogCallback(nullptr), 0);
    VibrenzaSDK sdk;
    EXPECT_FALSE(fs::exists(dir.path() / "VibrenzaLogs"));
    LogLine(5, "Vibrenza") << "nobody hears this";
    tsr_set_log_level(3);
    tsr_set_log_callback(&vbz::engineLogHook);
    tsr_log(4, __FILE__, __LINE__, "engine %d", 1);
    EXPECT_EQ(vbz::logFunction.load(), nullptr);
}

TEST(Logging, UnwritablePathPrintsFailureAndTheInstanceStillWorks) {
    vbz_test::TempDir dir;
    dir.enter();
    std::ofstream("plainfile") << "x";  // a file where a folder should be
    vbz_test::CaptureFd out(1);
    {
        VibrenzaSDK sdk("plainfile/sub/log.txt");
        LogLine(4, "Vibrenza") << "dropped";
    }
    const std::string printed = out.finish();
    EXPECT_EQ(printed.rfind("Log initialization failed: ", 0), 0u) << printed;
    EXPECT_EQ(printed.find('\n'), printed.size() - 1);  // exactly one line
    EXPECT_FALSE(spdlog::get("VibrenzaSDK"));
}

TEST(Logging, EngineWarningsArriveUnderTheEngineTagWithoutLocation) {
    VibrenzaSDK::setLogCallback(&recordLine);
    VibrenzaSDK sdk;
    // What the streaming back-end's constructor does.
    tsr_set_log_level(3);
    tsr_set_log_callback(&vbz::engineLogHook);
    tsr_log(2, "tessaron-core/src/tsr", 10, "info %s", "dropped");
    tsr_log(3, "tessaron-core/src/tsr", 11, "entry not allocated (%s)", "key");
    tsr_log(4, "tessaron-core/src/pattern", 12, "{} braces %d", 7);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].tag, "TessaronCore");
    EXPECT_EQ(lines[0].text, "entry not allocated (key)");
    EXPECT_EQ(lines[1].text, "{} braces 7");
}

TEST(Logging, CallbackInstalledLaterTakesOverFromTheFile) {
    vbz_test::TempDir dir;
    dir.enter();
    VibrenzaSDK sdk("logs/sdk.log");
    LogLine(2, "Before") << "in file";
    flushFileLogger();
    VibrenzaSDK::setLogCallback(&recordLine);
    LogLine(2, "After") << "to callback";
    flushFileLogger();
    const std::string content = readFile(dir.path() / "logs" / "sdk.log");
    EXPECT_NE(content.find("[Before] in file"), std::string::npos);
    EXPECT_EQ(content.find("to callback"), std::string::npos);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].tag, "After");
}

TEST(Logging, OutOfRangeLevelsNeverReachTheFileTable) {
    vbz_test::TempDir dir;
    dir.enter();
    VibrenzaSDK sdk("x/x.log");
    LogLine(6, "Off") << "off";
    LogLine(1000, "Huge") << "huge";
    vbz::defaultLogSink(-5, "Neg", "neg");
    vbz::defaultLogSink(3, nullptr, nullptr);
    flushFileLogger();
    const std::string content = readFile(dir.path() / "x" / "x.log");
    EXPECT_EQ(content.find("huge"), std::string::npos);
    EXPECT_EQ(content.find("[Off]"), std::string::npos);
    EXPECT_EQ(content.find("neg"), std::string::npos);
}

namespace {
VibrenzaSDK* callingSdk = nullptr;
int callbackLines = 0;

// An application callback that asks the SDK everything the headers allow
// from a callback, on every line it gets.
void callEveryGetter(vbz_log_level_t level, const char* tag, const char* text) {
    recordLine(level, tag, text);
    ++callbackLines;
    VibrenzaSDK& sdk = *callingSdk;
    (void)sdk.connectionStatus();
    (void)sdk.scanStatus();
    (void)sdk.getFirstScannedDevice();
    (void)VibrenzaSDK::getSDKVersion();
    (void)sdk.getVibrenzaSerialNumber();
    (void)sdk.getVibrenzaSerialNumberAsString();
    (void)sdk.getVibrenzaType();
    (void)sdk.getVibrenzaVersion();
    (void)sdk.effectState(12345);
    (void)sdk.getPatternIntensityBoost(0);
    (void)sdk.getGlobalIntensityBoost();
}

// An application callback that asks the instance's state on every line; the
// two calls take the handler mutex and write no line themselves.
void askTheState(vbz_log_level_t level, const char* tag, const char* text) {
    recordLine(level, tag, text);
    (void)callingSdk->connectionStatus();
    (void)callingSdk->effectState(12345);
}

std::string shortPattern() {
    return R"({"duration":0.1,"tracks":[{"volume":100,"samples":[{"maxDuration":0.1,"postDelay":0,
        "preDelay":0,"repeatCount":1,"repeatSpat":false,"signalIndex":3,"speed":1,"startCrop":0,
        "stopCrop":0,"timestamp":0,"spatKeyframes":[{"timestamp":0,"weights":[1]}],
        "volumeKeyframes":[]}]}]})";
}
}  // namespace

TEST(Logging, ACallbackCallingEveryGetterOnEveryLineReturns) {
    VibrenzaSDK sdk;
    callingSdk = &sdk;
    VibrenzaSDK::setLogCallback(&callEveryGetter);
    const uint64_t dropped = vbz::droppedLogLineCount();
    vbz_test::mustReturnWithin(std::chrono::seconds(30), [&] { (void)sdk.getVibrenzaVersion(); },
                               "a getter whose line calls the getters");
    // The getter's own "Command:" line arrived once; the lines of the
    // callback's calls did not come back to it.
    EXPECT_EQ(callbackLines, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Command: getVibrenzaVersion()");
    EXPECT_GE(vbz::droppedLogLineCount() - dropped, 8u);
}

TEST(Logging, ACallbackCallingTheSdkReturnsFromEveryWarningWrittenUnderTheHandlerMutex) {
    VibrenzaSDK sdk;
    callingSdk = &sdk;
    VibrenzaSDK::setLogCallback(&askTheState);
    const int pattern = sdk.loadPatternFromJSON(shortPattern().c_str());
    ASSERT_GE(pattern, 0);
    const int effect = sdk.playEffect(pattern, vbz_effect_properties_t());
    ASSERT_GE(effect, 0);
    struct Path {
        const char* what;
        std::function<void()> call;
        const char* line;  // a line the path must deliver
    };
    const Path paths[] = {
        {"stopEffect of an id never handed out", [&] { EXPECT_EQ(sdk.stopEffect(effect + 7, 0.0f), -96); },
         "entry not allocated (invalid map<K, T> key)"},
        {"a text that is not JSON", [&] { EXPECT_EQ(sdk.loadPatternFromJSON("{ nope"), -99); },
         "Invalid json format: { nope"},
        {"setEffectSpeed of an unknown id", [&] { sdk.ExperimentalAPI().setEffectSpeed(effect + 7, 2.0f); },
         "entry not allocated (invalid map<K, T> key)"},
        {"setEffectVolume of an unknown id", [&] { sdk.ExperimentalAPI().setEffectVolume(effect + 7, 2.0f); },
         "entry not allocated (invalid map<K, T> key)"},
    };
    for (const Path& path : paths) {
        lines.clear();
        vbz_test::mustReturnWithin(std::chrono::seconds(30), path.call, path.what);
        bool delivered = false;
        for (const Line& l : lines) delivered = delivered || l.text == path.line;
        EXPECT_TRUE(delivered) << path.what;
    }
}

namespace {
void plainCallback(vbz_log_level_t level, const char* tag, const char* text) { recordLine(level, tag, text); }
}  // namespace

TEST(Logging, TheApplicationsCallbackIsCalledThroughItsOwnType) {
    VibrenzaSDK::setLogCallback(&plainCallback);
    // Calling a function through a pointer of another function type is
    // undefined (clang's -fsanitize=function aborts on it): the facade's
    // internal sink must not be the application's function itself.
    EXPECT_NE(reinterpret_cast<void*>(vbz::logFunction.load()), reinterpret_cast<void*>(&plainCallback));
    LogLine(2, "Typed") << "through its own type";
    LogLine(9, "Typed") << "beyond off";
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, VBZ_LOG_INFO);
    EXPECT_EQ(lines[1].level, VBZ_LOG_OFF);
    EXPECT_EQ(VibrenzaSDK::setLogCallback(nullptr), 0);
    LogLine(4, "Typed") << "silenced";
    EXPECT_EQ(lines.size(), 2u);
}
