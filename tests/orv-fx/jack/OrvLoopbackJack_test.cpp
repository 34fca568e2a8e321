// The loopback capture over the real audio host, on a private JACK server of
// the test's own (dummy driver) that the test may kill and start again: a
// capture must stop in bounded time whatever became of the server or of the
// sink it captures, and a later capture must work.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "orv-fx/OrvLoopback.h"
#include "tests/support/JackTestServer.h"
#include "tests/support/Watchdog.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kSink = "DeskSpeakers [Loopback]";

// A JACK server of this test process alone, through the script that starts
// the shared one.
class OwnServer {
public:
    OwnServer()
        : name_("vbzown" + std::to_string(getpid())), state_("jack-own-" + std::to_string(getpid())) {}
    ~OwnServer() {
        run("stop");
        std::error_code ignored;
        std::filesystem::remove_all(state_, ignored);
    }
    // Empty when it runs; the reason otherwise.
    std::string start() {
        run("start");
        if (vbz_test::readFirstLine(state_ + "/ready").empty())
            return "no JACK server: " + vbz_test::readFirstLine(state_ + "/unavailable");
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        return {};
    }
    // SIGKILL to the server, as a crash would end it.
    void kill() {
        const std::string pid = vbz_test::readFirstLine(state_ + "/jackd.pid");
        if (!pid.empty()) ::kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
    }

    // The sink clients leave the server (SIGTERM), as a desktop sink that
    // goes away.
    void stopSinks() {
        const std::string pid = vbz_test::readFirstLine(state_ + "/sinks.pid");
        if (!pid.empty()) ::kill(static_cast<pid_t>(std::stol(pid)), SIGTERM);
    }
    // They come back; false when they did not (bounded).
    bool startSinks() {
        const std::string log = state_ + "/sinks-again.log";
        const std::string command = "setsid '" + helper_ + "' " + name_ + " DeskSpeakers:2 </dev/null >'" + log +
                                    "' 2>&1 & echo $! > '" + state_ + "/sinks.pid'";
        if (std::system(command.c_str()) != 0) return false;
        for (int i = 0; i < 500; ++i) {
            if (vbz_test::readFirstLine(log) == "ready") return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

private:
    void run(const char* action) {
        const std::string command = "bash '" + script_ + "' " + action + " '" + state_ + "' " + name_ + " '" +
                                    helper_ + "' >/dev/null 2>&1";
        [[maybe_unused]] const int status = std::system(command.c_str());
    }
    std::string name_, state_;
    std::string script_ = VBZ_JACK_SCRIPT, helper_ = VBZ_JACK_SINKS;
};

class LoopbackOnOwnServer : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = server.start();
        if (why.empty()) return;
        const char* require = std::getenv("VBZ_REQUIRE_JACK");
        if (require && std::string(require) == "1") FAIL() << why;
        GTEST_SKIP() << why;
    }
    // Waits (bounded) until captured blocks reach the FIFO.
    static bool capturing(OrvLoopback& loopback) {
        for (int i = 0; i < 500 && loopback.queued() == 0; ++i) std::this_thread::sleep_for(10ms);
        return loopback.queued() > 0;
    }
    OwnServer server;
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
