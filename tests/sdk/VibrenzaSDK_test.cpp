// The SDK object over a scripted back-end plugged in through the factory
// hook: command lines, state refusals, the back-end swap, effect bounds,
// the boost and gain scales and the kept pattern texts.
#include "vibrenza/vibrenza.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/api/HandlerFactory.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/FakeHandler.h"
#include "tests/support/LogRecorder.h"

using vbz_test::CallbackRecorder;
using vbz_test::FakeHandler;
using vbz_test::LogRecorder;

namespace {

// Makes scripted back-ends for every kind and remembers what it made.
class FakeFactory {
public:
    FakeHandler::Script script;
    int firstKind = -1;  // kind reported by the first back-end, if >= 0

    FakeFactory() { vbz::setHandlerFactoryHook(&FakeFactory::make, this); }
    ~FakeFactory() { vbz::setHandlerFactoryHook(nullptr, nullptr); }

    FakeHandler* last() {
        std::lock_guard<std::mutex> lock(m_);
        return made_.back();
    }
    std::vector<int> askedKinds() {
        std::lock_guard<std::mutex> lock(m_);
        return asked_;
    }

private:
    static IHandler* make(int kind, SdkPersistentState* state, void* context) {
        auto* self = static_cast<FakeFactory*>(context);
        std::lock_guard<std::mutex> lock(self->m_);
        FakeHandler::Script s = self->script;
        s.kind = (self->made_.empty() && self->firstKind >= 0) ? self->firstKind : kind;
        auto* fake = new FakeHandler(state, s);
        self->made_.push_back(fake);
        self->asked_.push_back(kind);
        return fake;
    }
    std::mutex m_;
    std::vector<FakeHandler*> made_;  // not owned; only the last one may be alive
    std::vector<int> asked_;
};

}  // namespace

TEST(VibrenzaSDK, FreshInstanceAnswersWithoutDeviceAndLogsEachQuery) {
    LogRecorder log;
    FakeFactory factory;
    VibrenzaSDK sdk;
    EXPECT_EQ(factory.askedKinds(), std::vector<int>{1});
    EXPECT_EQ(sdk.getVibrenzaSerialNumber(), 0xFFFFFFFFu);
    EXPECT_EQ(sdk.getVibrenzaSerialNumberAsString(), "noDeviceConnected");
    EXPECT_EQ(sdk.getVibrenzaVersion(), "noDeviceConnected");
    EXPECT_EQ(sdk.getVibrenzaType(), VBZ_DEVICE_UNKNOWN);
    EXPECT_EQ(sdk.connectionStatus(), VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(sdk.scanStatus(), 0);
    EXPECT_EQ(sdk.getFirstScannedDevice(), nullptr);
    EXPECT_EQ(VibrenzaSDK::getSDKVersion(), "1.6.3-dirty-android-invalid");
    for (const char* line :
         {"Command: getVibrenzaSerialNumber()", "Command: getVibrenzaSerialNumberAsString()",
          "Command: getVibrenzaVersion()", "Command: getVibrenzaType()",
          "Command: getFirstScannedDevice()", "Command: getSDKVersion()"})
        EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", line)) << line;
    EXPECT_EQ(sdk.setConnectionCallback(nullptr, nullptr), 0);
    VibrenzaSDK second(nullptr);  // a null path is the default path
    EXPECT_EQ(factory.askedKinds().size(), 2u);
}

TEST(VibrenzaSDK, ConnectAndScanRefuseEveryStateButDisconnectedWithMinus12) {
    LogRecorder log;
    FakeFactory factory;
    VibrenzaSDK sdk;
    FakeHandler* fake = factory.last();
    for (int state : {VBZ_STATE_CONNECTED, VBZ_STATE_CONNECTING, VBZ_STATE_DISCONNECTING,
                      VBZ_STATE_RECONNECTING}) {
        LogRecorder::clear();
        fake->forceState(state);
        EXPECT_EQ(sdk.connect(VBZ_OUTPUT_USB, 42u), -12) << state;
        EXPECT_EQ(sdk.scanDevices(VBZ_OUTPUT_USB), -12) << state;
        EXPECT_EQ(LogRecorder::count("A device is already connected."), 2);
        EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", "Command: connect(2, 42)"));
        EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", "Command: scanDevices(2)"));
        EXPECT_EQ(sdk.connectionStatus(), state);
    }
    EXPECT_EQ(fake->starts("connect"), 0);
    EXPECT_EQ(fake->starts("scan"), 0);
    EXPECT_EQ(factory.askedKinds().size(), 1u);  // no swap either
    fake->forceState(VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(sdk.disconnect(), -3);
    EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", "Command: disconnectDevice()"));
}

TEST(VibrenzaSDK, SwapOnConnectKeepsPatternIdsAndTheCallback) {
    LogRecorder log;
    FakeFactory factory;
    factory.firstKind = 2;  // as after an audio-to-haptics connection
    CallbackRecorder recorder;  // outlives the instance's threads
    VibrenzaSDK sdk;
    ASSERT_EQ(sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder), 0);
    ASSERT_EQ(sdk.loadPatternFromJSON("{\"a\":1}"), 0);
    ASSERT_EQ(sdk.loadPatternFromJSON("{\"b\":2}"), 1);

    ASSERT_EQ(sdk.connect(VBZ_OUTPUT_ANY, 9u), 0);
    EXPECT_EQ(factory.askedKinds(), (std::vector<int>{1, 1}));
    FakeHandler* fresh = factory.last();
    ASSERT_TRUE(fresh->waitConnectionRoutineDone());
    EXPECT_EQ(fresh->reloadedIds(), (std::vector<int>{0, 1}));
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);  // the new back-end calls the kept callback
    EXPECT_EQ(reports[0].serial, 9u);

    // Ids of the new back-end follow the kept ones.
    EXPECT_EQ(sdk.loadPatternFromJSON("{\"c\":3}"), 2);
    // A second connect makes no further swap.
    ASSERT_EQ(sdk.connect(VBZ_OUTPUT_ANY, 9u), 0);
    EXPECT_EQ(factory.askedKinds().size(), 2u);
    EXPECT_EQ(fresh->starts("connect"), 2);
}

TEST(VibrenzaSDK, SameKindWhileScanningMakesNoSwapAndIsRefused) {
    LogRecorder log;
    FakeFactory factory;
    factory.firstKind = 2;
    std::mutex eventsMutex;
    std::vector<std::string> events;
    factory.script.holdScan = true;
    factory.script.onEvent = [&](const char* e) {
        std::lock_guard<std::mutex> lock(eventsMutex);
        events.push_back(e);
    };
    VibrenzaSDK sdk;
    FakeHandler* old = factory.last();
    ASSERT_EQ(sdk.scanDevices(VBZ_OUTPUT_ANY), 0);  // kind 2 -> swap to 1 first
    FakeHandler* scanning = factory.last();
    ASSERT_NE(scanning, old);
    ASSERT_TRUE(scanning->waitScanStarted());

    // Same kind while scanning: no swap, the back-end's guard refuses.
    EXPECT_EQ(sdk.connect(VBZ_OUTPUT_ANY, 0u), -11);
    EXPECT_EQ(factory.askedKinds().size(), 2u);
    scanning->openScanGate();
    ASSERT_TRUE(scanning->waitScanDone());
    std::lock_guard<std::mutex> lock(eventsMutex);
    EXPECT_EQ(events, std::vector<std::string>{"scan-end"});
}

TEST(VibrenzaSDK, ReplacedBackendFinishesItsScanBeforeTheNewOneStarts) {
    LogRecorder log;
    FakeFactory factory;
    std::mutex eventsMutex;
    std::vector<std::string> events;
    factory.script.holdScan = true;
    factory.script.onEvent = [&](const char* e) {
        std::lock_guard<std::mutex> lock(eventsMutex);
        events.push_back(e);
    };
    factory.firstKind = 2;
    VibrenzaSDK sdk;
    FakeHandler* old = factory.last();
    // Start a scan on the kind-2 back-end directly, as the experimental
    // connections leave it, then ask the SDK for a connection.
    ASSERT_EQ(old->scanDevices(VBZ_OUTPUT_ANY), 0);
    ASSERT_TRUE(old->waitScanStarted());
    ASSERT_EQ(sdk.connect(VBZ_OUTPUT_ANY, 0u), 0);
    ASSERT_TRUE(factory.last()->waitConnectionRoutineDone());
    std::lock_guard<std::mutex> lock(eventsMutex);
    EXPECT_EQ(events, (std::vector<std::string>{"scan-end", "connection-start"}));
}

TEST(VibrenzaSDK, PlayEffectLogsEveryPropertyAndChecksBothEndsOfEachRange) {
    LogRecorder log;
    FakeFactory factory;
    VibrenzaSDK sdk;
    FakeHandler* fake = factory.last();

    vbz_effect_properties_t defaults;
    EXPECT_EQ(sdk.playEffect(3, defaults), 7);
    EXPECT_TRUE(LogRecorder::has(
        2, "Vibrenza",
        "Command: playEffect(ID: 3, pr : 5, vol: 100, spd: 1, rpc: 1, rpd: 0, pat: 0, md: 0, "
        "boost: 0, override: 0, height: 0, head: 0, tilt: 0, frInv: 0, upInv: 0, riInv: 0, "
        "frAdd: 0, upAdd: 0, riAdd: 0)"));

    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        void (*apply)(vbz_effect_properties_t&, float);
        float value;
        bool accepted;
    };
    auto priority = [](vbz_effect_properties_t& p, float v) { p.priority = static_cast<int>(v); };
    auto speed = [](vbz_effect_properties_t& p, float v) { p.speed = v; };
    auto volume = [](vbz_effect_properties_t& p, float v) { p.volume = v; };
    auto boostOn = [](vbz_effect_properties_t& p, float v) {
        p.overridePatternBoost = true;
        p.effectBoost = static_cast<int>(v);
    };
    auto boostOff = [](vbz_effect_properties_t& p, float v) {
        p.effectBoost = static_cast<int>(v);
    };
    auto height = [](vbz_effect_properties_t& p, float v) { p.height = v; };
    auto delay = [](vbz_effect_properties_t& p, float v) { p.repeatDelay = v; };
    const Case cases[] = {
        {"priority", priority, 0, false},       {"priority", priority, 1, true},
        {"priority", priority, 10, true},       {"priority", priority, 11, false},
        {"speed", speed, 0.01f, true},          {"speed", speed, 100.0f, true},
        {"speed", speed, 0.0099f, false},       {"speed", speed, 100.001f, false},
        {"speed", speed, nan, false},           {"speed", speed, inf, false},
        {"volume", volume, 0.0f, true},         {"volume", volume, 250.0f, true},
        {"volume", volume, -0.001f, false},     {"volume", volume, 250.01f, false},
        {"volume", volume, nan, false},         {"boost on", boostOn, -100, true},
        {"boost on", boostOn, 100, true},       {"boost on", boostOn, -101, false},
        {"boost on", boostOn, 101, false},      {"boost off", boostOff, 500, true},
        {"height", height, nan, false},         {"height", height, -inf, false},
        {"repeatDelay", delay, nan, false},
    };
    for (const Case& c : cases) {
        LogRecorder::clear();
        const int callsBefore = fake->playCalls();
        vbz_effect_properties_t p;
        c.apply(p, c.value);
        const int result = sdk.playEffect(1, p);
        const bool refusedLine =
            LogRecorder::has(2, "Vibrenza", "Invalid parameter: one of the parameter is out of bound.");
        if (c.accepted) {
            EXPECT_EQ(result, 7) << c.what << " " << c.value;
            EXPECT_EQ(fake->playCalls(), callsBefore + 1) << c.what << " " << c.value;
            EXPECT_FALSE(refusedLine) << c.what << " " << c.value;
        } else {
            EXPECT_EQ(result, -2) << c.what << " " << c.value;
            EXPECT_EQ(fake->playCalls(), callsBefore) << c.what << " " << c.value;
            EXPECT_TRUE(refusedLine) << c.what << " " << c.value;
        }
        EXPECT_EQ(LogRecorder::lines().front().text.rfind("Command: playEffect(ID: 1, pr : ", 0),
                  0u);
    }
    // The properties reach the back-end unchanged.
    vbz_effect_properties_t p;
    p.effectBoost = 500;
    p.heading = 90.0f;
    p.upDownAddition = true;
    ASSERT_EQ(sdk.playEffect(2, p), 7);
    EXPECT_EQ(fake->lastProperties().effectBoost, 500);
    EXPECT_EQ(fake->lastProperties().heading, 90.0f);
    EXPECT_TRUE(fake->lastProperties().upDownAddition);
}

TEST(VibrenzaSDK, GlobalBoostAndGainConvertBothWaysAsTabulated) {
    LogRecorder log;
    FakeFactory factory;
    VibrenzaSDK sdk;
    FakeHandler* fake = factory.last();
    const std::pair<int, int> boostToGain[] = {
        {0, 0},   {1, 1},     {10, 1},       {15, 1},   {20, 2},   {25, 3},    {50, 10},
        {75, 31}, {100, 100}, {200, 10000},  {-10, -1}, {-25, -3}, {-50, -10}, {-100, -100},
        {212, 17377}, {466, 2089294662}, {467, INT_MAX}, {INT_MAX, INT_MAX}, {-467, INT_MIN},
        {INT_MIN, INT_MIN},
    };
    for (auto [boost, gain] : boostToGain) {
        ASSERT_EQ(sdk.setGlobalIntensityBoost(boost), 0);
        EXPECT_EQ(fake->lastGain(), gain) << "boost " << boost;
    }
    EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", "Command: setGlobalIntensityBoost(boost: 25)"));
    const std::pair<int, int> gainToBoost[] = {
        {0, 0},    {1, 0},    {2, 15},   {3, 23},   {10, 50},   {31, 74},   {100, 100},
        {10000, 200}, {-1, 0}, {-3, -23}, {-10, -50}, {-100, -100}, {INT_MIN, -466},
    };
    for (auto [gain, boost] : gainToBoost) {
        fake->setGain(gain);
        EXPECT_EQ(sdk.getGlobalIntensityBoost(), boost) << "gain " << gain;
    }
    EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", "Command: getGlobalIntensityBoost()"));
    // The pattern boost is passed on without conversion.
    EXPECT_EQ(sdk.getPatternIntensityBoost(4), 40);
    EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", "Command: getPatternBoost(ID: 4)"));
}

TEST(VibrenzaSDK, SerialNumberTextVectors) {
    const std::pair<unsigned, const char*> vectors[] = {
        {0u, "00-00-0000"},          {12345678u, "12-34-5678"}, {99999999u, "99-99-9999"},
        {100000000u, "10-00-0000"}, {256000000u, "00-00-0000"}, {4294967295u, "19-96-7295"},
    };
    for (auto [serial, text] : vectors) EXPECT_EQ(VibrenzaSDK::serialNumberToString(serial), text);
}

TEST(VibrenzaSDK, KeptPatternTextsFollowSuccessfulLoadsAndUnloadsOnly) {
    LogRecorder log;
    FakeFactory factory;
    factory.firstKind = 2;
    VibrenzaSDK sdk;
    ASSERT_EQ(sdk.loadPatternFromJSON("{\"p\":0}"), 0);
    ASSERT_EQ(sdk.loadPatternFromJSON("{\"p\":1}"), 1);
    EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", "Command: loadPatternFromJSON ## {\"p\":1}"));
    EXPECT_EQ(sdk.loadPatternFromJSON(nullptr), -2);  // no back-end call: no id used
    EXPECT_EQ(sdk.unloadPattern(99), -2);            // refused: nothing removed
    EXPECT_EQ(sdk.unloadPattern(0), 0);
    EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", "Command: unloadPattern(ID: 0)"));
    // A new back-end reloads what is kept.
    ASSERT_EQ(sdk.connect(VBZ_OUTPUT_ANY, 0u), 0);
    ASSERT_TRUE(factory.last()->waitConnectionRoutineDone());
    EXPECT_EQ(factory.last()->reloadedIds(), std::vector<int>{1});
}

TEST(VibrenzaSDK, RefusedLoadStoresNothing) {
    LogRecorder log;
    FakeFactory factory;
    factory.firstKind = 2;
    factory.script.loadResult = -99;
    VibrenzaSDK sdk;
    EXPECT_EQ(sdk.loadPatternFromJSON("not json"), -99);
    ASSERT_EQ(sdk.connect(VBZ_OUTPUT_ANY, 0u), 0);
    ASSERT_TRUE(factory.last()->waitConnectionRoutineDone());
    EXPECT_TRUE(factory.last()->reloadedIds().empty());
}

TEST(VibrenzaSDK, EffectCommandsAreLoggedAndForwarded) {
    LogRecorder log;
    FakeFactory factory;
    VibrenzaSDK sdk;
    EXPECT_EQ(sdk.stopEffect(4, 0.5f), 0);
    EXPECT_EQ(sdk.pauseAll(), 0);
    EXPECT_EQ(sdk.resumeAll(), 0);
    EXPECT_EQ(sdk.stopAll(), 0);
    EXPECT_EQ(sdk.setAccumulationWindowToPattern(1, 2, 0.01f, 3), 0);
    EXPECT_EQ(sdk.eraseAccumulationWindowToPattern(1), 0);
    for (const char* line :
         {"Command: stopEffect(ID: 4, fadeTime: 0.5)", "Command: pauseAll()",
          "Command: resumeAll()", "Command: stopAll()",
          "Command: setAccumulation(mainID: 1, fallbackID: 2, timeWin: 0.01, maxAcc: 3)",
          "Command: eraseAccumulationWindow(ID: 1)"})
        EXPECT_TRUE(LogRecorder::has(2, "Vibrenza", line)) << line;
    LogRecorder::clear();
    EXPECT_EQ(sdk.effectState(4), VBZ_EFFECT_PLAYING);
    EXPECT_TRUE(LogRecorder::lines().empty());  // effectState writes no line
}

TEST(VibrenzaSDK, ConnectingFromInsideTheCallbackIsRefusedWithoutHarm) {
    LogRecorder log;
    FakeFactory factory;
    CallbackRecorder recorder;
    int results[2] = {0, 0};
    VibrenzaSDK sdk;
    recorder.onReport = [&](const vbz_test::ConnectionReport&) {
        results[0] = sdk.connect(VBZ_OUTPUT_ANY, 0u);
        results[1] = sdk.scanDevices(VBZ_OUTPUT_ANY);
    };
    sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    ASSERT_EQ(sdk.connect(VBZ_OUTPUT_ANY, 0u), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    ASSERT_TRUE(factory.last()->waitConnectionRoutineDone());
    EXPECT_EQ(results[0], -11);
    EXPECT_EQ(results[1], -11);
    EXPECT_EQ(factory.last()->starts("connect"), 1);
    EXPECT_EQ(factory.last()->starts("scan"), 0);
}

TEST(VibrenzaSDK, DestroyingAConnectedInstanceReportsMinusOneOnceAndLeavesNoThread) {
    LogRecorder log;
    const int threadsBefore = vbz_test::threadCount();
    FakeFactory factory;
    factory.script.connectSucceeds = true;
    CallbackRecorder recorder;
    {
        VibrenzaSDK sdk;
        sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        ASSERT_EQ(sdk.connect(VBZ_OUTPUT_ANY, 0u), 0);
        ASSERT_EQ(recorder.waitFor(1).size(), 1u);
        EXPECT_EQ(sdk.connectionStatus(), VBZ_STATE_CONNECTED);
        EXPECT_EQ(sdk.getVibrenzaSerialNumberAsString(), "12-34-5678");
    }
    auto reports = recorder.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_CONNECTED);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(vbz_test::threadCount(), threadsBefore);
}

TEST(VibrenzaSDK, ConnectFromTheCallbackIsRefusedBeforeAnyBackendSwap) {
    LogRecorder log;
    FakeFactory factory;
    factory.firstKind = 2;  // a connect from here would replace this back-end
    CallbackRecorder recorder;
    int result = 0;
    VibrenzaSDK sdk;
    recorder.onReport = [&](const vbz_test::ConnectionReport&) {
        result = sdk.connect(VBZ_OUTPUT_ANY, 0u);
    };
    sdk.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    // The connection is started on the current back-end directly, as the
    // experimental connections do; its failure calls the callback.
    FakeHandler* current = factory.last();
    ASSERT_EQ(current->connect(VBZ_OUTPUT_ANY, 0u), 0);
    ASSERT_TRUE(current->waitConnectionRoutineDone());
    EXPECT_EQ(result, -11);
    EXPECT_EQ(factory.askedKinds().size(), 1u);  // no swap happened
    EXPECT_TRUE(LogRecorder::has(3, "Vibrenza",
                                 "Cannot connect device: not allowed from a connection callback."));
}
