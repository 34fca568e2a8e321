// The block hand-over between an audio callback and the stream loop: what a
// callback plays in each state, the bounds of the copy, and, with two real
// threads, that every callback plays the next rendered block exactly once.
#include "streaming/AudioBlockExchange.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <mutex>
#include <vector>

#include "sdk/core/LogLine.h"
#include "tests/support/Watchdog.h"

namespace {
// Block k holds k + channel / 100 + index / 10000 everywhere.
struct CountingSource {
    unsigned channels = 3;
    unsigned length = 4;
    std::atomic<int> renders{0};
    int block = 0;
    unsigned getChannelCount() { return channels; }
    unsigned getBufferSize() { return length; }
    void render() { block = ++renders; }
    double getSample(unsigned c, unsigned i) { return block + c / 100.0 + i / 10000.0; }
};

// A stream clock that advances 1 ms at every read.
struct SteppingClock {
    double t = 0.0;
    double operator()() { return t += 0.001; }
};

struct Output {
    Output(int channels, unsigned long frames)
        : data(static_cast<size_t>(channels), std::vector<float>(frames + 1, 7.0f)) {
        for (auto& c : data) pointers.push_back(c.data());
    }
    // A canary after the last frame shows a copy that ran past it.
    float canary(int c) const { return data[static_cast<size_t>(c)].back(); }
    float at(int c, size_t i) const { return data[static_cast<size_t>(c)][i]; }
    std::vector<std::vector<float>> data;
    std::vector<float*> pointers;
};

using Exchange = vbz::AudioBlockExchange<CountingSource>;
}  // namespace

TEST(AudioBlockExchange, ACallbackWithoutABlockAsksTimesOutAndPlaysSilence) {
    CountingSource source;
    Exchange exchange;
    Output out(4, 8);
    SteppingClock clock;
    const auto served = exchange.serve(source, out.pointers.data(), 4, 8, clock(), 0.005, clock);
    EXPECT_FALSE(served.copied);
    EXPECT_TRUE(served.timedOut);
    EXPECT_TRUE(served.hadToAsk);
    EXPECT_TRUE(exchange.requested());
    for (int c = 0; c < 4; ++c) {
        for (size_t i = 0; i < 8; ++i) EXPECT_EQ(out.at(c, i), 0.0f);
        EXPECT_EQ(out.canary(c), 7.0f);
    }
    // The loop renders the late block; the next callback plays it at once.
    std::mutex mutex;
    double renderSeconds = -1.0;
    EXPECT_TRUE(exchange.loopPass(source, mutex, clock, renderSeconds));
    EXPECT_GT(renderSeconds, 0.0);
    const auto next = exchange.serve(source, out.pointers.data(), 4, 8, clock(), 0.005, clock);
    EXPECT_TRUE(next.copied);
    EXPECT_FALSE(next.hadToAsk);
    EXPECT_FLOAT_EQ(out.at(0, 0), 1.0f);
}

TEST(AudioBlockExchange, TheCopyStaysWithinTheFramesAndSilencesSurplusChannelsAndFrames) {
    std::mutex mutex;
    SteppingClock clock;
    {   // Source block shorter than the callback's frames, fewer channels than the stream.
        CountingSource source;
        Exchange exchange;
        exchange.prime(source, mutex);
        Output out(5, 6);
        const auto served = exchange.serve(source, out.pointers.data(), 5, 6, clock(), 0.003, clock);
        EXPECT_TRUE(served.copied);
        EXPECT_TRUE(served.timedOut);  // nobody acknowledged
        for (int c = 0; c < 3; ++c) {
            for (size_t i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(out.at(c, i), 1.0f + c / 100.0f + i / 10000.0f);
            EXPECT_EQ(out.at(c, 4), 0.0f);
            EXPECT_EQ(out.at(c, 5), 0.0f);
        }
        for (int c = 3; c < 5; ++c)
            for (size_t i = 0; i < 6; ++i) EXPECT_EQ(out.at(c, i), 0.0f);
        for (int c = 0; c < 5; ++c) EXPECT_EQ(out.canary(c), 7.0f);
    }
    {   // Source block longer than the frames, more channels than the stream.
        CountingSource source;
        source.channels = 20;
        source.length = 512;
        Exchange exchange;
        exchange.prime(source, mutex);
        Output out(2, 16);
        exchange.serve(source, out.pointers.data(), 2, 16, clock(), 0.003, clock);
        EXPECT_FLOAT_EQ(out.at(1, 15), 1.0f + 0.01f + 0.0015f);
        EXPECT_EQ(out.canary(0), 7.0f);
        EXPECT_EQ(out.canary(1), 7.0f);
    }
}

TEST(AudioBlockExchange, TheLoopRendersOnlyOnRequestAndDropsNoBlockBeforeItIsPlayed) {
    CountingSource source;
    Exchange exchange;
    std::mutex mutex;
    SteppingClock clock;
    double seconds = 0;
    EXPECT_FALSE(exchange.loopPass(source, mutex, clock, seconds));  // nothing asked
    EXPECT_EQ(source.renders, 0);
    exchange.prime(source, mutex);
    EXPECT_EQ(source.renders, 1);
    // The loop may pass many times before the first callback: the primed
    // block waits for it.
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(exchange.loopPass(source, mutex, clock, seconds));
    EXPECT_TRUE(exchange.ready());
    Output out(3, 4);
    const auto first = exchange.serve(source, out.pointers.data(), 3, 4, clock(), 0.002, clock);
    EXPECT_TRUE(first.copied);
    EXPECT_FALSE(first.hadToAsk);
    EXPECT_FLOAT_EQ(out.at(0, 0), 1.0f);
    // Taken, then acknowledged; no render until the next callback asks.
    EXPECT_FALSE(exchange.loopPass(source, mutex, clock, seconds));
    EXPECT_FALSE(exchange.ready());
    EXPECT_FALSE(exchange.loopPass(source, mutex, clock, seconds));
    EXPECT_EQ(source.renders, 1);
    exchange.reset();
    EXPECT_FALSE(exchange.ready());
    EXPECT_FALSE(exchange.requested());
}

TEST(AudioBlockExchange, WithARealLoopEveryCallbackPlaysTheNextBlockOnce) {
    CountingSource source;
    source.channels = 2;
    Exchange exchange;
    std::mutex mutex;
    const auto start = std::chrono::steady_clock::now();
    auto now = [start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    exchange.prime(source, mutex);
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        double seconds;
        while (!stop.load()) {
            if (!exchange.loopPass(source, mutex, now, seconds)) std::this_thread::yield();
        }
    });
    Output out(2, 4);
    int timedOut = 0;
    for (int k = 1; k <= 300; ++k) {
        // A generous bound: only a stalled machine makes a callback give up.
        const auto served = exchange.serve(source, out.pointers.data(), 2, 4, now(), 10.0, now);
        ASSERT_TRUE(served.copied) << k;
        timedOut += served.timedOut;
        EXPECT_FLOAT_EQ(out.at(0, 0), static_cast<float>(k)) << "callback " << k;
        EXPECT_FLOAT_EQ(out.at(1, 3), k + 0.01f + 0.0003f);
        if (k > 1) {
            EXPECT_TRUE(served.hadToAsk);
            EXPECT_GE(served.requestTime, 0.0);
        }
    }
    stop = true;
    loop.join();
    EXPECT_EQ(timedOut, 0);
    EXPECT_EQ(source.renders, 300);
}

TEST(AudioBlockExchange, ALoopThatSleepsBetweenPassesIsWokenByEveryRequestAndByAStop) {
    CountingSource source;
    Exchange exchange;
    std::mutex mutex;
    const auto start = std::chrono::steady_clock::now();
    auto now = [start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    exchange.prime(source, mutex);
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        double seconds;
        for (;;) {
            const uint32_t seen = exchange.signals();
            const bool rendered = exchange.loopPass(source, mutex, now, seconds);
            if (stop.load()) break;
            if (!rendered) exchange.waitForSignal(seen);
        }
    });
    Output out(3, 4);
    int timedOut = 0;
    for (int k = 1; k <= 300; ++k) {
        // A lost wake-up (of the loop, or of the callback sleeping for its
        // block or its acknowledgement) shows as a callback that waited its
        // whole 10 s.
        const auto served = exchange.serve(source, out.pointers.data(), 3, 4, now(), 10.0, now);
        ASSERT_TRUE(served.copied) << k;
        timedOut += served.timedOut;
        EXPECT_FLOAT_EQ(out.at(0, 0), static_cast<float>(k)) << "callback " << k;
    }
    stop = true;
    exchange.signal();
    loop.join();
    EXPECT_EQ(timedOut, 0);
}

namespace {
std::mutex handlerMutex;
int warningsSeen = 0;

// A source whose render warns, as the engine does inside a render.
struct WarningSource : CountingSource {
    void render() {
        CountingSource::render();
        vbz::engineLogHook(4, "filter:49", "Invalid filtered index");
    }
};

// An application callback that calls the SDK, which takes the handler mutex.
void sinkTakingTheMutex(int, const char*, const char* text) {
    std::lock_guard<std::mutex> lock(handlerMutex);
    if (std::string(text) == "Invalid filtered index") ++warningsSeen;
}
}  // namespace

TEST(AudioBlockExchange, AWarningOfARenderOnTheStreamThreadReachesACallbackThatTakesTheMutex) {
    vbz::setLogCallback(&sinkTakingTheMutex);
    vbz::setMinLogLevel(0);
    WarningSource source;
    vbz::AudioBlockExchange<WarningSource> exchange;
    vbz_test::mustReturnWithin(std::chrono::seconds(30), [&] { exchange.prime(source, handlerMutex); },
                               "the first render");
    Output out(3, 4);
    SteppingClock clock;
    (void)exchange.serve(source, out.pointers.data(), 3, 4, clock(), 0.0, clock);  // takes it
    (void)exchange.serve(source, out.pointers.data(), 3, 4, clock(), 0.0, clock);  // asks again
    double renderSeconds = 0.0;
    vbz_test::mustReturnWithin(
        std::chrono::seconds(30),
        [&] { EXPECT_TRUE(exchange.loopPass(source, handlerMutex, clock, renderSeconds)); }, "a loop pass");
    EXPECT_EQ(warningsSeen, 2);
}
