// A JACK server of one test process alone (dummy driver, the sinks of the
// shared test server), through the script that starts the shared one, for
// tests that kill it and start it again (so never the shared one). Points
// libjack at it once it runs. The binary defines VBZ_JACK_SCRIPT and
// VBZ_JACK_SINKS (the script and the sink helper).
#pragma once

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "tests/support/JackTestServer.h"

namespace vbz_test {

class OwnJackServer {
public:
    OwnJackServer()
        : name_("vbzown" + std::to_string(getpid())), state_("jack-own-" + std::to_string(getpid())) {}
    ~OwnJackServer() {
        resume();  // a paused server would not see the script's SIGTERM
        // A killed server keeps its entry in libjack's registry of servers
        // (eight at most for the whole machine), and so does one stopped
        // with SIGTERM that died of SIGPIPE on its way out (jackd does when
        // a client closes during its shutdown): the script frees it.
        run(ended_ ? "reclaim" : "stop");
        std::error_code ignored;
        std::filesystem::remove_all(state_, ignored);
    }
    OwnJackServer(const OwnJackServer&) = delete;
    OwnJackServer& operator=(const OwnJackServer&) = delete;

    // Empty when it runs; the reason otherwise. A longer period (frames at
    // 48 kHz) makes the server's answers to activations and deactivations
    // wait longer for the next cycle.
    // Started again after a server of the same name was stopped or killed,
    // the sink clients now and then fail to open on a loaded machine
    // (JackServerFailed): a second try then.
    std::string start(unsigned period = 480) {
        resume();
        setenv("VBZ_JACK_PERIOD", std::to_string(period).c_str(), 1);
        run("start");
        if (readFirstLine(state_ + "/ready").empty()) run("start");
        ended_ = false;
        if (readFirstLine(state_ + "/ready").empty())
            return "no JACK server: " + readFirstLine(state_ + "/unavailable");
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        return {};
    }
    // SIGKILL to the server, as a crash would end it.
    void kill() {
        ended_ = true;
        signal(SIGKILL);
    }
    // SIGTERM to the server, as a session logout or a service stop ends it:
    // it shuts down in order, telling its clients.
    void terminate() {
        ended_ = true;
        signal(SIGTERM);
    }
    // The server answers nothing from pause to resume (SIGSTOP, SIGCONT), as
    // one that is alive but late: a machine that swaps, a debugger.
    void pause() { signal(SIGSTOP); }
    void resume() { signal(SIGCONT); }
    // True when the server says it refused a client since it started (jackd
    // does when a stall catches it in the middle of the client's open).
    bool refusedAClient() const {
        std::ifstream log(state_ + "/jackd.log");
        const std::string text{std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
        return text.find("Cannot create new client") != std::string::npos;
    }
    // True once the server's process is gone (bounded wait).
    bool waitUntilGone() {
        const std::string pid = readFirstLine(state_ + "/jackd.pid");
        for (int i = 0; !pid.empty() && i < 2000; ++i) {
            if (::kill(static_cast<pid_t>(std::stol(pid)), 0) != 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pid.empty();
    }
    // The sink clients (the desk speakers and the vest) leave the server
    // (SIGTERM), as a desktop sink that goes away.
    void stopSinks() {
        const std::string pid = readFirstLine(state_ + "/sinks.pid");
        if (!pid.empty()) ::kill(static_cast<pid_t>(std::stol(pid)), SIGTERM);
    }
    // They come back; false when they did not (bounded).
    bool startSinks() {
        if (run("sinks") != 0) return false;
        for (int i = 0; i < 500; ++i) {
            if (readFirstLine(state_ + "/sinks-again.log") == "ready") return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    const std::string& name() const { return name_; }

private:
    void signal(int number) {
        const std::string pid = readFirstLine(state_ + "/jackd.pid");
        if (!pid.empty()) ::kill(static_cast<pid_t>(std::stol(pid)), number);
    }
    // The script's exit status (std::system's).
    int run(const char* action) {
        const std::string command = "bash '" + script_ + "' " + action + " '" + state_ + "' " + name_ + " '" +
                                    helper_ + "' >/dev/null 2>&1";
        return std::system(command.c_str());
    }
    std::string name_, state_;
    bool ended_ = false;
    std::string script_ = VBZ_JACK_SCRIPT, helper_ = VBZ_JACK_SINKS;
};

// A fixture whose server starts before each test; it skips (or fails, with
// VBZ_REQUIRE_JACK=1) when the server cannot run.
class OwnJackServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = server.start();
        if (why.empty()) return;
        const char* require = std::getenv("VBZ_REQUIRE_JACK");
        if (require && std::string(require) == "1") FAIL() << why;
        GTEST_SKIP() << why;
    }
    OwnJackServer server;
};

}  // namespace vbz_test
