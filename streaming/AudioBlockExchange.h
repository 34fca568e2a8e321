// The hand-over of rendered blocks between an audio output callback and the
// stream loop that renders them on the back-end's worker thread.
//
// The callback runs every period and needs a block at once; rendering takes
// the handler mutex, which the callback must never take. So the two meet
// through one atomic state: the callback asks (Requested) and waits, at most
// a bounded time, for the block; the loop renders under the mutex when asked
// and offers the block (Ready); the callback copies it and marks it taken
// (Taken); the loop acknowledges (Idle). The loop renders again only after a
// later callback has asked, so no render ever overlaps a copy, and a block
// is dropped only once it has been played. A block rendered before the
// stream starts lets the first callback copy without waiting.
//
// Between passes the loop sleeps until a callback has something for it:
// each change a callback makes (a request, a block taken) bumps a counter
// and wakes the loop sleeping on it; stop wakes it the same way. The loop
// reads the counter before its pass and sleeps only while the counter still
// holds that value, so no wake-up is lost. A callback waiting for the loop
// sleeps on the state itself, at most until its wait limit, and the loop
// wakes it when the block is ready and when it has acknowledged the copy.
// Neither side spins or yields while it waits (WordWait): when every core
// is busy, a yield gives the core away for a whole time slice, and a
// hand-over that yields a few times misses its period, whereas a sleeper
// woken by the other side, having used little of its share, gets a core
// back within microseconds. Waking takes no lock and never blocks.
//
// A callback that gets no block in time writes silence. A copy never
// exceeds the callback's frame count, and output channels beyond the
// source's are silent.
//
// Source: anything with getChannelCount(), getBufferSize(), getSample(c, i)
// and render() (the streams' sample source). Now: a callable giving the
// stream's clock in seconds.
//
// Threads: serve() on the audio callback thread only; prime(), loopPass(),
// signals() and waitForSignal() on the stream loop's thread only; signal()
// from any thread; reset() while no stream runs. Allocates nothing and takes
// no lock but the handler mutex in the loop.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "sdk/core/LogHold.h"
#include "sdk/platform/WordWait.h"

namespace vbz {

template <class Source>
class AudioBlockExchange {
public:
    // What one callback did.
    struct Served {
        bool copied = false;    // a rendered block was played
        bool timedOut = true;   // the hand-over did not complete in time
        bool hadToAsk = false;  // no block was waiting when the callback began
        double requestTime = 0.0;  // from the request to the copy (0 without copy)
    };

    void reset() { state_.store(kIdle, std::memory_order_release); }

    // The wake-up counter, read before a loop pass.
    uint32_t signals() const { return signals_.load(std::memory_order_acquire); }
    // Sleeps until the counter differs from seen (at once when it already
    // does).
    void waitForSignal(uint32_t seen) const {
        while (signals_.load(std::memory_order_acquire) == seen) waitWhileWordIs(signals_, seen);
    }
    // Wakes the loop: something changed since it read the counter. Lock-free
    // and non-blocking, so the callback may call it.
    void signal() {
        signals_.fetch_add(1, std::memory_order_release);
        wakeWordWaiters(signals_);
    }

    // Renders the first block, before the stream starts.
    void prime(Source& source, std::mutex& mutex) {
        {
            vbz::HandlerLock lock(mutex);
            source.render();
        }
        state_.store(kReady, std::memory_order_release);
    }

    // One pass of the stream loop: renders the block asked for (true, with
    // the render's duration, lock included, in renderSeconds), or
    // acknowledges a block the callback has taken (false).
    template <class Now>
    bool loopPass(Source& source, std::mutex& mutex, Now&& now, double& renderSeconds) {
        uint32_t state = state_.load(std::memory_order_acquire);
        if (state == kRequested) {
            const double t0 = now();
            {
                vbz::HandlerLock lock(mutex);
                source.render();
            }
            state_.store(kReady, std::memory_order_release);
            wakeWordWaiters(state_);  // the callback waiting for it
            renderSeconds = now() - t0;
            return true;
        }
        // A callback may turn Taken into Requested at the same moment.
        if (state == kTaken && state_.compare_exchange_strong(state, kIdle, std::memory_order_acq_rel))
            wakeWordWaiters(state_);  // the callback waiting for the acknowledgement
        return false;
    }

    // The callback's part: fills out (one buffer of frames floats per
    // channel) from the block waiting or asked for, waiting at most
    // waitLimit seconds from t0 on the stream's clock.
    template <class Now>
    Served serve(Source& source, float* const* out, int outChannels, unsigned long frames, double t0,
                 double waitLimit, Now&& now) {
        Served served;
        if (state_.load(std::memory_order_acquire) == kReady) {
            copy(source, out, outChannels, frames);
            served.copied = true;
            state_.store(kTaken, std::memory_order_release);
            signal();
        } else {
            served.hadToAsk = true;
            // Idle, or Taken and not yet acknowledged: ask. (Only the loop
            // turns Requested into Ready, so no block can appear meanwhile.)
            uint32_t state = state_.load(std::memory_order_acquire);
            while (state != kRequested &&
                   !state_.compare_exchange_weak(state, kRequested, std::memory_order_acq_rel)) {
            }
            signal();
        }
        const double tRequest = served.hadToAsk ? now() : 0.0;
        for (;;) {
            const double waited = now() - t0;
            if (!(waited < waitLimit)) break;
            const uint32_t state = state_.load(std::memory_order_acquire);
            if (!served.copied && state == kReady) {
                served.requestTime = now() - tRequest;
                copy(source, out, outChannels, frames);
                served.copied = true;
                state_.store(kTaken, std::memory_order_release);
                signal();
            } else if (served.copied && state != kTaken) {
                served.timedOut = false;  // the loop has acknowledged the block
                break;
            } else {
                // Only the loop moves the state on from here (Requested to
                // Ready, Taken to Idle), and it wakes this sleep when it does.
                waitWhileWordIs(state_, state, waitLimit - waited);
            }
        }
        if (!served.copied) silence(out, outChannels, frames, 0, 0);
        return served;
    }

    bool ready() const { return state_.load(std::memory_order_acquire) == kReady; }
    bool requested() const { return state_.load(std::memory_order_acquire) == kRequested; }

private:
    static void silence(float* const* out, int outChannels, unsigned long frames, int fromChannel,
                        unsigned long fromFrame) {
        for (int c = 0; c < outChannels; ++c) {
            if (!out[c]) continue;
            const unsigned long start = c < fromChannel ? fromFrame : 0;
            std::fill(out[c] + start, out[c] + frames, 0.0f);
        }
    }

    static void copy(Source& source, float* const* out, int outChannels, unsigned long frames) {
        const int channels = std::min(static_cast<int>(source.getChannelCount()), outChannels);
        const unsigned long length = std::min<unsigned long>(source.getBufferSize(), frames);
        for (int c = 0; c < channels; ++c) {
            if (!out[c]) continue;
            for (unsigned long i = 0; i < length; ++i)
                out[c][i] = static_cast<float>(source.getSample(static_cast<unsigned>(c), static_cast<unsigned>(i)));
        }
        silence(out, outChannels, frames, channels, length);
    }

    // Both word-sized: the callback sleeps on the state, the loop on the
    // counter.
    static constexpr uint32_t kIdle = 0, kRequested = 1, kReady = 2, kTaken = 3;
    std::atomic<uint32_t> state_{kIdle};
    std::atomic<uint32_t> signals_{0};
};

}  // namespace vbz
