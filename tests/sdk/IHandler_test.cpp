// The back-end base: guards, state reports, callback threading, worker
// lifetime. A scripted back-end runs its routines on the real worker.
#include "sdk/core/IHandler.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/CallbackRecorder.h"
#include "tests/support/FakeHandler.h"
#include "tests/support/LogRecorder.h"

using vbz_test::CallbackRecorder;
using vbz_test::FakeHandler;
using vbz_test::LogRecorder;

namespace {
std::unique_ptr<FakeHandler> makeFake(SdkPersistentState& state, FakeHandler::Script script = {}) {
    return std::make_unique<FakeHandler>(&state, script);
}
}  // namespace

TEST(IHandler, NewBackendIsIdleAndStartsWithTheKeptCallback) {
    LogRecorder log;
    SdkPersistentState state;
    CallbackRecorder recorder;
    state.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    auto fake = makeFake(state);
    EXPECT_EQ(fake->connectionStatus(), VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(fake->scanStatus(), 0);
    EXPECT_EQ(fake->getVibrenzaSerialNumberAsString(), "noDeviceConnected");
    EXPECT_EQ(IHandler::getSDKVersion(), "1.6.3-dirty-android-invalid");

    ASSERT_EQ(fake->connect(VBZ_OUTPUT_USB, 5u), 0);
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);  // the kept callback was called with the kept user data
}

TEST(IHandler, ConnectRefusalsChangeNothingAndStartNoRoutine) {
    LogRecorder log;
    SdkPersistentState state;
    auto fake = makeFake(state);
    struct Case {
        int state;
        int code;
        const char* warning;
    } cases[] = {
        {VBZ_STATE_CONNECTING, -11, "Cannot connect device: connection or disconnection ongoing."},
        {VBZ_STATE_DISCONNECTING, -11,
         "Cannot connect device: connection or disconnection ongoing."},
        {VBZ_STATE_CONNECTED, -12, "Cannot connect device: a device is already connected."},
    };
    for (const Case& c : cases) {
        LogRecorder::clear();
        fake->forceState(c.state);
        EXPECT_EQ(fake->connect(VBZ_OUTPUT_ANY, 0u), c.code) << c.state;
        EXPECT_EQ(fake->connectionStatus(), c.state);
        EXPECT_TRUE(LogRecorder::has(3, "Handler", c.warning)) << c.state;
    }
    EXPECT_EQ(fake->starts("connect"), 0);
    fake->forceState(VBZ_STATE_DISCONNECTED);
}

TEST(IHandler, ScanRunningRefusesConnectAndScanWhateverTheState) {
    LogRecorder log;
    SdkPersistentState state;
    FakeHandler::Script script;
    script.holdScan = true;
    auto fake = makeFake(state, script);
    ASSERT_EQ(fake->scanDevices(VBZ_OUTPUT_ANY), 0);
    ASSERT_TRUE(fake->waitScanStarted());
    EXPECT_EQ(fake->scanStatus(), 1);
    EXPECT_EQ(fake->connectionStatus(), VBZ_STATE_DISCONNECTED);

    EXPECT_EQ(fake->connect(VBZ_OUTPUT_ANY, 0u), -11);
    EXPECT_TRUE(LogRecorder::has(3, "Handler", "Cannot connect device: scan running."));
    fake->forceState(VBZ_STATE_CONNECTED);  // the scan test comes before the state's
    EXPECT_EQ(fake->connect(VBZ_OUTPUT_ANY, 0u), -11);
    EXPECT_EQ(fake->scanDevices(VBZ_OUTPUT_ANY), -11);
    EXPECT_TRUE(LogRecorder::has(3, "Handler", "Cannot scan devices: scanning already running."));
    fake->forceState(VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(fake->starts("connect"), 0);
    EXPECT_EQ(fake->starts("scan"), 1);

    fake->openScanGate();
    ASSERT_TRUE(fake->waitScanDone());
    EXPECT_EQ(fake->scanStatus(), 0);
    EXPECT_EQ(fake->connectionStatus(), VBZ_STATE_DISCONNECTED);
}

TEST(IHandler, ScanRefusalsByState) {
    LogRecorder log;
    SdkPersistentState state;
    auto fake = makeFake(state);
    struct Case {
        int state;
        int code;
        const char* warning;
    } cases[] = {
        {VBZ_STATE_CONNECTING, -11,
         "Cannot scan devices: Connection or disconnection is already ongoing."},
        {VBZ_STATE_DISCONNECTING, -11,
         "Cannot scan devices: Connection or disconnection is already ongoing."},
        {VBZ_STATE_CONNECTED, -12, "Cannot scan devices: a device is already connected."},
    };
    for (const Case& c : cases) {
        LogRecorder::clear();
        fake->forceState(c.state);
        EXPECT_EQ(fake->scanDevices(VBZ_OUTPUT_ANY), c.code) << c.state;
        EXPECT_EQ(fake->scanStatus(), 0);
        EXPECT_TRUE(LogRecorder::has(3, "Handler", c.warning)) << c.state;
    }
    EXPECT_EQ(fake->starts("scan"), 0);
    fake->forceState(VBZ_STATE_DISCONNECTED);
}

TEST(IHandler, DisconnectGuardByState) {
    LogRecorder log;
    SdkPersistentState state;
    auto fake = makeFake(state);
    struct Case {
        int state;
        int code;
        const char* warning;
    } cases[] = {
        {VBZ_STATE_DISCONNECTED, -3, "No device connected."},
        {VBZ_STATE_CONNECTING, -11, "Connection routine ongoing, cannot disconnect until it's done."},
        {VBZ_STATE_RECONNECTING, -11,
         "Reconnection routine ongoing, cannot disconnect until it's done."},
        {VBZ_STATE_DISCONNECTING, -11,
         "Disconnection is ongoing, all resources are not released yet.."},
    };
    for (const Case& c : cases) {
        LogRecorder::clear();
        fake->forceState(c.state);
        EXPECT_EQ(fake->disconnect(), c.code) << c.state;
        EXPECT_EQ(fake->connectionStatus(), c.state);
        EXPECT_TRUE(LogRecorder::has(3, "Handler", c.warning)) << c.state;
    }
    EXPECT_EQ(fake->starts("disconnect"), 0);

    fake->forceState(VBZ_STATE_CONNECTED);
    EXPECT_EQ(fake->disconnect(), 0);
    EXPECT_EQ(fake->connectionStatus(), VBZ_STATE_DISCONNECTING);
    EXPECT_EQ(fake->starts("disconnect"), 1);
}

TEST(IHandler, CallbackRunsOnTheWorkerWithTheMutexFreeAndSeesTheNewState) {
    LogRecorder log;
    SdkPersistentState state;
    FakeHandler::Script script;
    script.connectSucceeds = true;
    script.connectedSerial = 12345678u;
    script.loopResult = -10;
    CallbackRecorder recorder;  // outlives the back-end's worker
    auto fake = makeFake(state, script);
    recorder.handler = [&] { return fake.get(); };
    ASSERT_EQ(fake->setConnectionCallback(&CallbackRecorder::callback, &recorder), 0);

    ASSERT_EQ(fake->connect(VBZ_OUTPUT_WIFI, 0u), 0);
    auto reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_CONNECTED);
    EXPECT_EQ(reports[0].error, 0);
    EXPECT_EQ(reports[0].serial, 12345678u);
    EXPECT_NE(reports[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(reports[0].handlerMutexFree);
    EXPECT_EQ(reports[0].statusSeen, VBZ_STATE_CONNECTED);
    EXPECT_EQ(fake->lastOutput(), static_cast<unsigned>(VBZ_OUTPUT_WIFI));
    EXPECT_EQ(fake->getVibrenzaSerialNumberAsString(), "12-34-5678");
    // Written after the callback returns.
    EXPECT_TRUE(LogRecorder::waitFor("Connection routine terminated: connectionCallback called."));

    ASSERT_EQ(fake->disconnect(), 0);
    reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, -10);
    EXPECT_EQ(reports[1].thread, reports[0].thread);
    EXPECT_TRUE(reports[1].handlerMutexFree);
    EXPECT_EQ(reports[1].statusSeen, VBZ_STATE_DISCONNECTED);
}

TEST(IHandler, FailedConnectionReportsMinusOneWithTheAskedSerialOnly) {
    LogRecorder log;
    SdkPersistentState state;
    FakeHandler::Script script;
    script.connectError = -6;
    CallbackRecorder recorder;
    auto fake = makeFake(state, script);
    fake->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    ASSERT_EQ(fake->connect(VBZ_OUTPUT_USB, 777u), 0);
    ASSERT_TRUE(fake->waitConnectionRoutineDone());
    auto reports = recorder.reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[0].error, -6);
    EXPECT_EQ(reports[0].serial, 777u);
    EXPECT_EQ(fake->connectionStatus(), VBZ_STATE_DISCONNECTED);
}

TEST(IHandler, WithoutCallbackTheStateStillChangesAndOnlyTheTraceLineIsWritten) {
    LogRecorder log;
    SdkPersistentState state;
    FakeHandler::Script script;
    script.holdConnection = true;
    auto fake = makeFake(state, script);
    ASSERT_EQ(fake->connect(VBZ_OUTPUT_ANY, 0u), 0);
    EXPECT_EQ(fake->connectionStatus(), VBZ_STATE_CONNECTING);
    fake->openConnectionGate();
    ASSERT_TRUE(fake->waitConnectionRoutineDone());
    EXPECT_EQ(fake->connectionStatus(), VBZ_STATE_DISCONNECTED);
    EXPECT_TRUE(LogRecorder::has(0, "Handler",
                                 "Connection routine terminated: no connectionCallback set."));
    EXPECT_EQ(LogRecorder::count("Connection routine terminated: connectionCallback called."), 0);
}

TEST(IHandler, RoutineThatCannotStartGivesTheStateOrFlagBack) {
    LogRecorder log;
    SdkPersistentState state;
    FakeHandler::Script script;
    script.startConnectionResult = -1;
    script.startScanResult = -1;
    auto fake = makeFake(state, script);
    EXPECT_EQ(fake->connect(VBZ_OUTPUT_ANY, 0u), -1);
    EXPECT_EQ(fake->connectionStatus(), VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(fake->scanDevices(VBZ_OUTPUT_ANY), -1);
    EXPECT_EQ(fake->scanStatus(), 0);
    // Nothing is stuck: the guards pass again.
    EXPECT_EQ(fake->connect(VBZ_OUTPUT_ANY, 0u), -1);
    EXPECT_EQ(fake->starts("connect"), 2);
}

TEST(IHandler, ConnectOrScanFromInsideTheCallbackIsRefused) {
    LogRecorder log;
    SdkPersistentState state;
    CallbackRecorder recorder;
    auto fake = makeFake(state);  // the attempt fails: the callback sees -1
    int fromCallback[2] = {0, 0};
    recorder.onReport = [&](const vbz_test::ConnectionReport&) {
        fromCallback[0] = fake->connect(VBZ_OUTPUT_ANY, 0u);
        fromCallback[1] = fake->scanDevices(VBZ_OUTPUT_ANY);
    };
    fake->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    ASSERT_EQ(fake->connect(VBZ_OUTPUT_ANY, 0u), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    EXPECT_EQ(fromCallback[0], -11);
    EXPECT_EQ(fromCallback[1], -11);
    EXPECT_EQ(fake->starts("connect"), 1);
    EXPECT_EQ(fake->starts("scan"), 0);
    EXPECT_EQ(fake->scanStatus(), 0);
    // From the application's thread the same calls pass again.
    ASSERT_TRUE(fake->waitConnectionRoutineDone());
    EXPECT_EQ(fake->connect(VBZ_OUTPUT_ANY, 0u), 0);
}

TEST(IHandler, DestroyingAConnectedBackendReportsMinusOneOnceAndLeavesNoThread) {
    LogRecorder log;
    const int threadsBefore = vbz_test::threadCount();
    SdkPersistentState state;
    CallbackRecorder recorder;
    state.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    FakeHandler::Script script;
    script.connectSucceeds = true;
    auto fake = makeFake(state, script);
    ASSERT_EQ(fake->connect(VBZ_OUTPUT_ANY, 0u), 0);
    ASSERT_EQ(recorder.waitFor(1).size(), 1u);
    fake.reset();
    auto reports = recorder.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(vbz_test::threadCount(), threadsBefore);
}
