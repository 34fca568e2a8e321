// Rounds of an audio connection (vbz_exp_connectAudio) and of an
// audio-to-haptics one (vbz_exp_connectOrvAudio) on a JACK server of the
// test's own, which stops (SIGTERM, as a session logout does) or dies
// (SIGKILL) at a random moment of each round: during the connect, while
// streaming, or in the first 40 ms of the disconnect. Every round must end
// with the disconnection and the free returning (the watchdog ends the
// process when they hang), and the process must not abort. Rounds in which
// the server only stalls (SIGSTOP, then SIGCONT 300-1000 ms later) at such
// a moment: the connect succeeds, and a second connection follows at once.
// And connections one after another on a server that stays leave no
// thread, descriptor or JACK client behind; an instance whose connect found
// no device (no server yet, no vest sink yet, PortAudio's client refused)
// connects once the device is there, and so do the others.
//
// VBZ_JACK_STOP_ROUNDS sets the rounds per connection kind (3 when unset):
// scripts/jack_stop_soak.sh runs many; VBZ_JACK_STOP_SEED the random seed.
// Each round prints what it measured ("round ...").
// VBZ_JACK_STALLS=connect or =storm puts every stall in the connect.
//
// The server goes away during the connect only with VBZ_JACK_STOP_AT_CONNECT=1
// (the soak sets it): PortAudio 19.6 fails an assertion, and so aborts the
// process, when the server goes away between the JACK client it opens in
// Pa_Initialize and that client's activation, or before Pa_Terminate closes
// it, and the connect holds PortAudio initialised for a moment.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

#include <jack/jack.h>

#include "tests/support/ThreadCount.h"
#include "tests/support/Watchdog.h"
#include "tests/support/jack/OwnJackServer.h"
#include "tests/support/jack/RefusingJackOpen.h"
#include "vibrenza/vbz_c_api.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vbz_test::OwnJackServer;

namespace {

enum class Moment { Connect, Streaming, Disconnect };
const char* text(Moment m) {
    return m == Moment::Connect ? "connect" : (m == Moment::Streaming ? "streaming" : "disconnect");
}

struct States {
    std::mutex mutex;
    std::condition_variable changed;
    int last = VBZ_STATE_DISCONNECTED;
    int reports = 0;

    static void callback(vbz_connection_state_t state, vbz_error_t, unsigned int, void* user) {
        auto* self = static_cast<States*>(user);
        const std::lock_guard<std::mutex> lock(self->mutex);
        self->last = state;
        ++self->reports;
        self->changed.notify_all();
    }
    // Waits (bounded) for a report after the first `after` that leaves the
    // connecting state; the state then.
    int settled(int after, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, limit, [&] {
            return reports > after && last != VBZ_STATE_CONNECTING && last != VBZ_STATE_DISCONNECTING;
        });
        return last;
    }
    int count() {
        const std::lock_guard<std::mutex> lock(mutex);
        return reports;
    }
};

// Entries of a /proc/self directory.
int entries(const char* dir) {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

// The clients with ports on the server whose names begin with `prefix`; -1
// when the server cannot be reached.
int jackClients(const std::string& prefix) {
    jack_status_t status{};
    jack_client_t* probe = jack_client_open("probe", JackNoStartServer, &status);
    if (!probe) return -1;
    std::set<std::string> clients;
    if (const char** ports = jack_get_ports(probe, nullptr, nullptr, 0)) {
        for (std::size_t i = 0; ports[i]; ++i) {
            const std::string name(ports[i]);
            if (name.rfind(prefix, 0) == 0) clients.insert(name.substr(0, name.find(':')));
        }
        jack_free(ports);
    }
    jack_client_close(probe);
    return static_cast<int>(clients.size());
}

// The clients of ours on the server (their names begin with "vbz-").
int ourJackClients() { return jackClients("vbz-"); }

// The output devices that the device query lists; empty when it fails.
std::set<std::string> listedOutputs() {
    const char** names = nullptr;
    int count = 0;
    std::set<std::string> listed;
    if (vbz_exp_getOutputDevicesNames(&names, &count) != 0) return listed;
    for (int i = 0; i < count; ++i) listed.insert(names[i]);
    return listed;
}

int rounds() {
    const char* value = std::getenv("VBZ_JACK_STOP_ROUNDS");
    return value ? std::max(1, std::atoi(value)) : 3;
}

class ServerStopRounds : public vbz_test::OwnJackServerTest {
protected:
    static void settings(vbz_audio_settings_t& s) {
        vbz_exp_defaultAudioSettings(&s);
        s.deviceName = "VibrenzaVest";
        s.audioAPI = "JACK Audio Connection Kit";
        s.sampleRate = 48000;
        s.bufferSize = 480;
        s.nbStreamChannel = 20;
    }

    // An instance of the test's own and its audio (or audio-to-haptics)
    // connection.
    struct Connection {
        explicit Connection(bool orv) : orv(orv), id(vbz_createSDKInstance("")) {
            EXPECT_GE(id, 0);
            vbz_setConnectionCallback(id, &States::callback, &states);
        }
        // The connect; the state it settled in (disconnected when refused).
        // Up to `tries` of them 200 ms apart until one connects: under a
        // sanitizer on a loaded machine a first connect after the server
        // came up has now and then failed.
        int connect(int tries = 1) {
            for (int i = 0;; ++i) {
                vbz_audio_settings_t s;
                settings(s);
                const int before = states.count();
                result = orv ? vbz_exp_connectOrvAudio(id, eCustomDevice, &s, "DeskSpeakers")
                             : vbz_exp_connectAudio(id, eCustomDevice, &s);
                state = result == 0 ? states.settled(before, 20s) : VBZ_STATE_DISCONNECTED;
                if (state == VBZ_STATE_CONNECTED || i + 1 >= tries) return state;
                std::this_thread::sleep_for(200ms);
            }
        }
        // Disconnects, waiting (bounded) for the report.
        void disconnect() {
            const int reports = states.count();
            if (vbz_disconnectDevice(id) == 0) states.settled(reports, 20s);
        }
        // A connect that has not settled (none did in 20 s under TSan on a
        // loaded machine, once) is waited for by the disconnect and the free:
        // their bound is for a connection that has.
        bool settled() { return result != 0 || (states.count() > 0 && state != VBZ_STATE_CONNECTING); }
        // Disconnects and frees the instance (the watchdog ends the process
        // past `limit`); the seconds until the disconnection and the free
        // returned.
        std::pair<double, double> disconnectAndFree(std::chrono::seconds limit) {
            const auto begin = Clock::now();
            double disconnected = 0.0;
            vbz_test::mustReturnWithin(
                limit,
                [&] {
                    disconnect();
                    disconnected = std::chrono::duration<double>(Clock::now() - begin).count();
                    vbz_freeSDKInstance(id);
                },
                "the disconnection and the free");
            return {disconnected, std::chrono::duration<double>(Clock::now() - begin).count()};
        }

        bool orv;
        States states;
        int id;
        int result = -1;
        int state = VBZ_STATE_DISCONNECTED;
    };

    // One connection that streams a while and disconnects; its instance is
    // freed. False when it did not connect. `when`: the moment it had.
    static bool connection(bool orv, Clock::time_point* when = nullptr) {
        Connection c(orv);
        if (c.connect() != VBZ_STATE_CONNECTED) {
            vbz_freeSDKInstance(c.id);
            return false;
        }
        if (when) *when = Clock::now();
        std::this_thread::sleep_for(100ms);
        const int reports = c.states.count();
        EXPECT_EQ(vbz_disconnectDevice(c.id), 0);
        EXPECT_EQ(c.states.settled(reports, 20s), VBZ_STATE_DISCONNECTED);
        vbz_freeSDKInstance(c.id);
        return true;
    }

    void oneAfterAnother(bool orv) {
        // What the first one leaves for good (logger, PortAudio). Once, under
        // TSan on a loaded machine, the first connection after the server
        // started found no JACK host API in PortAudio (cause not found): a
        // second try then.
        bool first = connection(orv);
        for (int i = 0; i < 2 && !first; ++i) first = connection(orv);
        ASSERT_TRUE(first);
        const int threads = vbz_test::threadCount();
        const int fds = entries("/proc/self/fd");
        EXPECT_EQ(ourJackClients(), 0);
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(connection(orv)) << "connection " << i;
        // Settled: a thread joined by the free can be listed a moment longer.
        EXPECT_EQ(vbz_test::threadCount(), threads);
        EXPECT_EQ(entries("/proc/self/fd"), fds);
        EXPECT_EQ(ourJackClients(), 0);
    }

    // The rounds, on the random generator of VBZ_JACK_STOP_SEED (or a seed
    // of their own, printed).
    void run(bool orv, bool stall) {
        const char* seedText = std::getenv("VBZ_JACK_STOP_SEED");
        const unsigned seed = seedText ? static_cast<unsigned>(std::atoi(seedText)) : std::random_device{}();
        std::printf("seed %u\n", seed);
        std::mt19937 random(seed);
        double worst = 0.0;
        for (int round = 0; round < rounds(); ++round) worst = std::max(worst, once(orv, stall, round, random));
        std::printf("worst disconnect and free: %.3f s\n", worst);
    }

    // One round; the time from the disconnect to the free's return. The
    // server stops (SIGTERM) or dies (SIGKILL), or with `stall` stalls, at
    // the round's moment; after a stall the next connection follows at once.
    // VBZ_JACK_STALLS=connect makes every stall last 600 ms from 60-110 ms
    // into the connect, where the clients open; =storm stalls the server for
    // 5-40 ms again and again from the connect until the next connection is
    // up: jackd refuses a client whose open it stalls in, so connects may
    // fail then, but one after the storm must not.
    double once(bool orv, bool stall, int round, std::mt19937& random) {
        const char* stalls = stall ? std::getenv("VBZ_JACK_STALLS") : nullptr;
        const bool atConnect = stalls && std::string(stalls) == "connect";
        const bool storm = stalls && std::string(stalls) == "storm";
        const unsigned period = std::uniform_int_distribution<int>(0, 1)(random) ? 4800 : 480;
        if (round > 0 || period != 480) {
            const std::string why = server.start(period);
            EXPECT_EQ(why, "");
            if (!why.empty()) return 0.0;
        }
        const char* stopAtConnect = std::getenv("VBZ_JACK_STOP_AT_CONNECT");
        const int first = stall || (stopAtConnect && std::string(stopAtConnect) == "1") ? 0 : 1;
        const Moment moment = atConnect || storm
                                  ? Moment::Connect
                                  : static_cast<Moment>(std::uniform_int_distribution<int>(first, 2)(random));
        const bool kill = !stall && std::uniform_int_distribution<int>(0, 1)(random) == 1;
        const auto within = [&random](int lowMs, int highMs) {
            return std::chrono::milliseconds(std::uniform_int_distribution<int>(lowMs, highMs)(random));
        };
        const auto length = atConnect ? 600ms : (stall ? within(300, 1000) : 0ms);
        // The server's trouble, `delay` from now: its end, one stall, or in a
        // storm short stalls one after another until it is calm.
        std::thread troubler;
        std::atomic<bool> calm{false};
        Clock::time_point resumed{};
        const auto troubleIn = [&](std::chrono::milliseconds delay) {
            troubler = std::thread([&, delay, seed = static_cast<unsigned>(random())] {
                std::mt19937 own(seed);
                const auto ms = [&own](int low, int high) {
                    return std::chrono::milliseconds(std::uniform_int_distribution<int>(low, high)(own));
                };
                std::this_thread::sleep_for(delay);
                if (!stall) {
                    kill ? server.kill() : server.terminate();
                    return;
                }
                do {
                    server.pause();
                    std::this_thread::sleep_for(storm ? ms(5, 40) : length);
                    server.resume();
                    if (storm) std::this_thread::sleep_for(ms(0, 20));
                } while (storm && !calm.load());
                resumed = Clock::now();
            });
        };

        Connection c(orv);
        if (moment == Moment::Connect)
            troubleIn(storm ? 0ms : (atConnect ? within(60, 110) : within(0, stall ? 150 : 20)));
        const auto begin = Clock::now();
        const int state = c.connect();
        const double connectTook = std::chrono::duration<double>(Clock::now() - begin).count();
        if (!stall && moment == Moment::Connect) troubler.join();
        // A client that jackd itself refuses fails the connect: it is counted,
        // not ours to mend.
        const bool refused = stall && server.refusedAClient();
        if (stall ? !storm && !refused : moment != Moment::Connect) {
            EXPECT_EQ(state, VBZ_STATE_CONNECTED) << "a connect that the server's trouble does not end";
        }
        if (moment == Moment::Streaming) {
            std::this_thread::sleep_for(within(50, 300));
            troubleIn(0ms);
            std::this_thread::sleep_for(within(0, 100));
        } else if (moment == Moment::Disconnect) {
            std::this_thread::sleep_for(within(50, 300));
            troubleIn(within(0, 40));
        } else if (stall) {
            std::this_thread::sleep_for(100ms);
        }

        const bool settled = c.settled();
        if (!settled) std::printf("round %d: the connect has not settled\n", round);
        const auto [disconnected, freed] = c.disconnectAndFree(settled ? 3s : 60s);
        if (!stall) {
            if (troubler.joinable()) troubler.join();
            std::printf("round %d %s period %u %s at %s: disconnected %.3f s, freed %.3f s\n", round,
                        orv ? "orv-audio" : "audio", period, kill ? "SIGKILL" : "SIGTERM", text(moment),
                        disconnected, freed);
            EXPECT_TRUE(server.waitUntilGone());
            return freed;
        }

        // The next connection of the application, at once.
        const auto nextBegin = Clock::now();
        Clock::time_point nextConnected{};
        const bool next = connection(orv, &nextConnected);
        if (!storm) {
            EXPECT_TRUE(next) << "the connection after a stall";
        }
        calm.store(true);
        if (troubler.joinable()) troubler.join();
        if (storm) {
            EXPECT_TRUE(connection(orv)) << "a connection once the server runs steadily again";
        }
        const double nextTook = std::chrono::duration<double>(nextConnected - nextBegin).count();
        const double afterStall = std::chrono::duration<double>(nextConnected - resumed).count();
        std::printf("round %d %s period %u stall %s at %s: connect %s in %.3f s, disconnected %.3f s, "
                    "freed %.3f s, next connect %s in %.3f s, %.3f s after the stall ended%s\n",
                    round, orv ? "orv-audio" : "audio", period,
                    storm ? "storm" : (std::to_string(length.count()) + " ms").c_str(), text(moment),
                    state == VBZ_STATE_CONNECTED ? "ok" : "FAILED", connectTook, disconnected, freed,
                    next ? "ok" : "FAILED", nextTook, afterStall, refused ? " (jackd refused a client)" : "");
        return freed;
    }
};

}  // namespace

TEST_F(ServerStopRounds, AnAudioConnectionWithTheServerStoppingAtARandomMoment) { run(false, false); }

TEST_F(ServerStopRounds, AnOrvAudioConnectionWithTheServerStoppingAtARandomMoment) { run(true, false); }

TEST_F(ServerStopRounds, AnAudioConnectionWithTheServerStallingAtARandomMoment) { run(false, true); }

TEST_F(ServerStopRounds, AnOrvAudioConnectionWithTheServerStallingAtARandomMoment) { run(true, true); }

TEST_F(ServerStopRounds, AudioConnectionsOneAfterAnotherLeaveNothingBehind) { oneAfterAnother(false); }

TEST_F(ServerStopRounds, OrvAudioConnectionsOneAfterAnotherLeaveNothingBehind) { oneAfterAnother(true); }

// The devices are looked at anew by every connect and query: a connect that
// found none leaves nothing behind that a later one would see.
TEST_F(ServerStopRounds, AnInstanceWhoseConnectFoundNoDeviceConnectsOnceTheServerAndThenTheSinkAreThere) {
    server.terminate();
    ASSERT_TRUE(server.waitUntilGone());
    Connection c(false);
    EXPECT_EQ(c.connect(), VBZ_STATE_DISCONNECTED) << "no server";
    ASSERT_EQ(server.start(), "");
    EXPECT_EQ(c.connect(3), VBZ_STATE_CONNECTED) << "once the server runs";
    c.disconnect();

    server.stopSinks();
    for (int i = 0; i < 500 && jackClients("VibrenzaVest") != 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(jackClients("VibrenzaVest"), 0);
    EXPECT_EQ(c.connect(), VBZ_STATE_DISCONNECTED) << "no vest sink";
    EXPECT_EQ(listedOutputs().count("system"), 1u);
    ASSERT_TRUE(server.startSinks());
    EXPECT_EQ(listedOutputs().count("VibrenzaVest"), 1u) << "the query in between sees the sink come";
    EXPECT_EQ(c.connect(3), VBZ_STATE_CONNECTED) << "once the vest sink is there";
    c.disconnectAndFree(5s);
}

// jackd refuses a client whose open a stall caught; here PortAudio's own, so
// that the host comes up without its JACK host API.
TEST_F(ServerStopRounds, AfterTheServerRefusedPortAudiosClientEveryInstanceConnectsAgain) {
    Connection streaming(false), refused(false), other(false);
    ASSERT_EQ(streaming.connect(3), VBZ_STATE_CONNECTED);
    vbz_test::refuseNextJackOpen("PortAudio");
    EXPECT_EQ(refused.connect(), VBZ_STATE_DISCONNECTED);
    ASSERT_TRUE(vbz_test::jackOpenWasRefused());

    const int streamingReports = streaming.states.count();
    EXPECT_EQ(other.connect(3), VBZ_STATE_CONNECTED) << "another instance";
    // libjack may have written off every client of the process: the next
    // open ended the stream that ran.
    EXPECT_EQ(streaming.states.settled(streamingReports, 5s), VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(streaming.connect(3), VBZ_STATE_CONNECTED) << "the instance whose stream was ended";
    EXPECT_EQ(refused.connect(3), VBZ_STATE_CONNECTED) << "the instance that met the refusal";
    for (Connection* c : {&streaming, &refused, &other}) c->disconnectAndFree(5s);
    EXPECT_EQ(ourJackClients(), 0);
}
