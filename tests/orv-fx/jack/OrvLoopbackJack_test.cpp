// The loopback capture over the real audio host, on a private JACK server of
// the test's own (dummy driver) that the test may kill, stop and start again:
// a capture must stop in bounded time whatever became of the server or of
// the sink it captures, and a later capture must work.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "orv-fx/OrvLoopback.h"
#include "tests/support/jack/OwnJackServer.h"
#include "tests/support/Watchdog.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kSink = "DeskSpeakers [Loopback]";

class LoopbackOnOwnServer : public vbz_test::OwnJackServerTest {
protected:
    // Waits (bounded) until captured blocks reach the FIFO.
    static bool capturing(OrvLoopback& loopback) {
        for (int i = 0; i < 500 && loopback.queued() == 0; ++i) std::this_thread::sleep_for(10ms);
        return loopback.queued() > 0;
    }
};

}  // namespace

TEST_F(LoopbackOnOwnServer, StopReturnsAfterTheServerDiedAndALaterCaptureWorks) {
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(500.0, {paNoDevice, kSink}), 0);
    ASSERT_TRUE(capturing(loopback));
    server.kill();
    std::this_thread::sleep_for(200ms);
    vbz_test::mustReturnWithin(5s, [&] { loopback.stop(); }, "stop after the server died");

    ASSERT_EQ(server.start(), "");
    ASSERT_EQ(loopback.start(500.0, {paNoDevice, kSink}), 0);
    EXPECT_TRUE(capturing(loopback)) << "the capture on the new server";
    vbz_test::mustReturnWithin(5s, [&] { loopback.stop(); }, "stop on the new server");
}

TEST_F(LoopbackOnOwnServer, StopReturnsSoonWhenTheServerShutsDownDuringIt) {
    // A 100 ms period: the deactivation waits for the next cycle, and the
    // server stops meanwhile. It answers only after its shutdown (5 s).
    ASSERT_EQ(server.start(4800), "");
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(500.0, {paNoDevice, kSink}), 0);
    ASSERT_TRUE(capturing(loopback));
    std::thread stopper([&] {
        std::this_thread::sleep_for(5ms);
        server.terminate();
    });
    vbz_test::mustReturnWithin(3s, [&] { loopback.stop(); }, "stop while the server shuts down");
    stopper.join();
    EXPECT_FALSE(loopback.isRunning());

    ASSERT_TRUE(server.waitUntilGone());
    ASSERT_EQ(server.start(), "");
    ASSERT_EQ(loopback.start(500.0, {paNoDevice, kSink}), 0);
    EXPECT_TRUE(capturing(loopback)) << "the capture on the new server";
    vbz_test::mustReturnWithin(5s, [&] { loopback.stop(); }, "stop on the new server");
}

TEST_F(LoopbackOnOwnServer, ACaptureWhoseSinkLeftEndsAndStartsAgainWhenItIsBack) {
    OrvLoopback loopback;
    ASSERT_EQ(loopback.start(500.0, {paNoDevice, kSink}), 0);
    ASSERT_TRUE(capturing(loopback));
    server.stopSinks();
    for (int i = 0; i < 500 && loopback.isRunning(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(loopback.isRunning()) << "the capture ended with its sink";
    EXPECT_TRUE(loopback.noticeEnded());

    ASSERT_TRUE(server.startSinks());
    ASSERT_EQ(loopback.start(500.0, {paNoDevice, kSink}), 0);
    EXPECT_TRUE(loopback.isRunning());
    EXPECT_TRUE(capturing(loopback)) << "the capture of the sink that came back";
    vbz_test::mustReturnWithin(5s, [&] { loopback.stop(); }, "stop");
}
