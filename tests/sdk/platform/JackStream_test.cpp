// Our JACK stream on a JACK server of the test's own, which the test stops
// as a session logout does (SIGTERM) or kills (SIGKILL) under it: the
// finished callback of a stream that ended with its server runs to its end
// though the stream is closed at once, and stop and closing return soon
// whatever the server is doing at that moment, without aborting. A server
// that only stalls (SIGSTOP, then SIGCONT) is waited for, not given up.
// Once libjack may have written off our clients, every stream is closed
// before the next client of ours opens, on whatever thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "sdk/platform/JackStream.h"
#include "tests/support/Watchdog.h"
#include "tests/support/jack/OwnJackServer.h"

using namespace std::chrono_literals;
using vbz::JackStream;
using vbz_test::OwnJackServer;

namespace {

constexpr const char* kSink = "DeskSpeakers";
constexpr int kChannels = 2;

struct Probe {
    std::atomic<int> cycles{0};
    std::atomic<int> finishedCalls{0};
    std::atomic<bool> finishedBegan{false};
    std::atomic<bool> finishedEnded{false};
    std::chrono::milliseconds finishedTakes{0};
};

int play(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
         void* user) {
    auto* out = static_cast<float*>(output);
    std::fill(out, out + frames * kChannels, 0.0f);
    static_cast<Probe*>(user)->cycles.fetch_add(1);
    return paContinue;
}

// Works inside a catch-all, as a logger does: a thread cancelled in there
// aborts the process ("exception not rethrown").
void finished(void* user) {
    auto* probe = static_cast<Probe*>(user);
    probe->finishedCalls.fetch_add(1);
    probe->finishedBegan.store(true);
    try {
        std::this_thread::sleep_for(probe->finishedTakes);
    } catch (...) {
        std::fputs("finished callback: caught\n", stderr);
    }
    probe->finishedEnded.store(true);
}

// Stalls the server now (SIGSTOP) and lets it run again `length` later, on
// the thread returned.
std::thread stalled(OwnJackServer& server, std::chrono::milliseconds length) {
    server.pause();
    return std::thread([&server, length] {
        std::this_thread::sleep_for(length);
        server.resume();
    });
}

template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 1000 && !condition(); ++i) std::this_thread::sleep_for(10ms);
    return condition();
}

// Stops and closes the stream (the watchdog ends the process past 3 s); the
// seconds it took.
double stopAndClose(std::unique_ptr<JackStream>& stream, const char* what) {
    const auto begin = std::chrono::steady_clock::now();
    vbz_test::mustReturnWithin(
        3s,
        [&] {
            EXPECT_EQ(stream->stop(), paNoError);
            stream.reset();
        },
        what);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

class StreamOnOwnServer : public vbz_test::OwnJackServerTest {
protected:
    // A playback on the sink's inputs, not started.
    static std::unique_ptr<JackStream> opened(Probe& probe) {
        JackStream::Format format;
        format.channels = kChannels;
        PaError error = paNoError;
        auto stream = JackStream::open(JackStream::Direction::Playback, kSink, format, 48000.0, &play, &probe, error);
        EXPECT_EQ(error, paNoError);
        return stream;
    }
    // One that runs.
    static std::unique_ptr<JackStream> playing(Probe& probe) {
        auto stream = opened(probe);
        if (!stream) return nullptr;
        stream->setFinishedCallback(&finished);
        EXPECT_EQ(stream->start(), paNoError);
        EXPECT_TRUE(eventually([&] { return probe.cycles.load() > 2; })) << "the stream runs";
        return stream;
    }

    // The server ends the stream (SIGTERM or SIGKILL) while it plays; the
    // stream is closed as soon as its finished callback has begun.
    void closedAsSoonAsItEnded(void (OwnJackServer::*end)()) {
        Probe probe;
        probe.finishedTakes = 200ms;
        auto stream = playing(probe);
        ASSERT_NE(stream, nullptr);
        (server.*end)();
        ASSERT_TRUE(eventually([&] { return probe.finishedBegan.load(); })) << "the stream ended with its server";
        vbz_test::mustReturnWithin(5s, [&] { stream.reset(); }, "closing a stream that ended");
        EXPECT_TRUE(probe.finishedEnded.load()) << "the finished callback ran to its end";
        EXPECT_EQ(probe.finishedCalls.load(), 1);
    }

    // Stop and closing, with the server stopped `delay` after the stop
    // began, on a server whose 100 ms period keeps the deactivation waiting
    // for the next cycle meanwhile. Fails (the watchdog ends the process)
    // when they wait for the server's shutdown.
    void stoppedWhileItStops(void (OwnJackServer::*end)(), std::chrono::milliseconds delay) {
        ASSERT_EQ(server.start(4800), "");
        Probe probe;
        auto stream = playing(probe);
        ASSERT_NE(stream, nullptr);
        std::thread stopper([&] {
            std::this_thread::sleep_for(delay);
            (server.*end)();
        });
        const double took = stopAndClose(stream, "stop and closing while the server stops");
        stopper.join();
        std::printf("stop and close with the server ended %lld ms in: %.3f s\n",
                    static_cast<long long>(delay.count()), took);
        EXPECT_EQ(probe.finishedCalls.load(), 1) << "stop says it finished, once";
        EXPECT_TRUE(probe.finishedEnded.load());
        ASSERT_TRUE(server.waitUntilGone());
    }

    // The server stalls for 600 ms from the moment the stream stops; `then`
    // runs once stop and closing have returned, and must not wait for more
    // than the rest of the stall (the watchdog ends the process past 3 s).
    void stalledWhileItStops(const std::function<void()>& then, const char* what) {
        Probe probe;
        auto stream = playing(probe);
        ASSERT_NE(stream, nullptr);
        std::thread resumer = stalled(server, 600ms);
        const double closed = stopAndClose(stream, "stop and closing while the server stalls");
        const auto begin = std::chrono::steady_clock::now();
        vbz_test::mustReturnWithin(3s, then, what);
        resumer.join();
        std::printf("stalled 600 ms at the stop: stop and close %.3f s, then %s %.3f s\n", closed, what,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
        EXPECT_EQ(probe.finishedCalls.load(), 1);
    }
};

}  // namespace

TEST_F(StreamOnOwnServer, AStreamEndedByTheServersShutdownFinishesToTheEndThoughClosedAtOnce) {
    closedAsSoonAsItEnded(&OwnJackServer::terminate);
}

TEST_F(StreamOnOwnServer, AStreamEndedByTheServersDeathFinishesToTheEndThoughClosedAtOnce) {
    closedAsSoonAsItEnded(&OwnJackServer::kill);
}

TEST_F(StreamOnOwnServer, StopAndCloseReturnSoonWhenTheServerShutsDownMeanwhile) {
    for (const auto delay : {0ms, 30ms}) stoppedWhileItStops(&OwnJackServer::terminate, delay);
}

TEST_F(StreamOnOwnServer, StopAndCloseReturnSoonWhenTheServerDiesMeanwhile) {
    stoppedWhileItStops(&OwnJackServer::kill, 30ms);
}

TEST_F(StreamOnOwnServer, StopAndCloseReturnAtOnceOnceTheServerDied) {
    Probe probe;
    auto stream = playing(probe);
    ASSERT_NE(stream, nullptr);
    server.kill();
    ASSERT_TRUE(server.waitUntilGone());
    std::this_thread::sleep_for(100ms);
    std::printf("stop and close after the server died: %.3f s\n",
                stopAndClose(stream, "stop and closing once the server died"));
    EXPECT_EQ(probe.finishedCalls.load(), 1);
}

TEST_F(StreamOnOwnServer, AStallAtTheStopDelaysTheNextStreamAndTheExitOnlyUntilTheServerRunsAgain) {
    stalledWhileItStops(
        [] {
            Probe probe;
            auto next = playing(probe);
            ASSERT_NE(next, nullptr);
            EXPECT_EQ(next->stop(), paNoError);
        },
        "the next stream");
    // What the process's exit waits for.
    stalledWhileItStops([] { JackStream::awaitClosing(); }, "the closes left");
}

TEST_F(StreamOnOwnServer, AStartThatAStallOverlapsWaitsForTheServer) {
    Probe probe;
    auto stream = opened(probe);
    ASSERT_NE(stream, nullptr);
    std::thread resumer = stalled(server, 1s);
    EXPECT_EQ(stream->start(), paNoError);
    resumer.join();
    EXPECT_TRUE(eventually([&] { return probe.cycles.load() > 2; })) << "the stream runs";
    stopAndClose(stream, "stop and closing after a stalled start");
}

// libjack frees every client of the process at the next open once it takes
// the server for gone, as it may after an open that the server refused.
TEST_F(StreamOnOwnServer, OnceOurClientsMayHaveBeenWrittenOffTheNextOpenEndsAndClosesEveryStreamFirst) {
    Probe first;
    auto earlier = playing(first);
    ASSERT_NE(earlier, nullptr);
    JackStream::noteClientsWrittenOff();
    Probe second;
    auto later = playing(second);
    ASSERT_NE(later, nullptr);
    EXPECT_TRUE(eventually([&] { return first.finishedEnded.load(); })) << "the earlier stream ended";
    const int cycles = first.cycles.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(first.cycles.load(), cycles) << "its client is closed";
    stopAndClose(earlier, "stop and closing a stream whose client was closed under it");
    stopAndClose(later, "stop and closing the later stream");
    EXPECT_EQ(first.finishedCalls.load(), 1);
    EXPECT_EQ(second.finishedCalls.load(), 1);
}

// Closing the written-off clients takes a while (each is given time to hear
// that its server is going): an open on another thread meanwhile waits for
// it, or libjack would free at that open a client that is closed after.
TEST_F(StreamOnOwnServer, AnOpenOnAnotherThreadWaitsUntilTheWrittenOffClientsAreClosed) {
    Probe first;
    auto earlier = playing(first);
    ASSERT_NE(earlier, nullptr);
    JackStream::noteClientsWrittenOff();
    std::thread closer([] { JackStream::awaitClosing(); });
    std::this_thread::sleep_for(50ms);  // the closer has taken the mark
    Probe second;
    auto later = opened(second);
    ASSERT_NE(later, nullptr);
    const int cycles = first.cycles.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(first.cycles.load(), cycles) << "the earlier stream's client was closed before the open";
    closer.join();
    stopAndClose(earlier, "stop and closing a stream whose client was closed under it");
    later.reset();
}
