// The hand-over of rendered blocks between an audio output callback and the
// stream loop that renders them on the back-end's worker thread.
//
// The callback runs every period and needs a block at once; rendering takes
// the handler mutex, which the callback must never take. So the two meet
// through two atomic flags: the callback sets `requested` and waits (at most
// a bounded time) for `ready`; the loop renders under the mutex when it sees
// a request and no block, then sets `ready`; the callback clears `requested`
// and copies; the loop, seeing a block that is no longer requested, clears
// `ready` (the acknowledgement). The loop renders again only after a later
// callback has asked, so no render ever overlaps a copy. A block rendered
// before the stream starts lets the first callback copy without waiting.
//
// A callback that gets no block in time writes silence. A copy never
// exceeds the callback's frame count, and output channels beyond the
// source's are silent.
//
// Source: anything with getChannelCount(), getBufferSize(), getSample(c, i)
// and render() (the streams' sample source). Now: a callable giving the
// stream's clock in seconds.
//
// Threads: serve() on the audio callback thread only; prime() and
// loopPass() on the stream loop's thread only; reset() while no stream runs.
// Allocates nothing and takes no lock but the handler mutex in the loop.
#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>

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

    void reset() {
        ready_.store(false, std::memory_order_release);
        requested_.store(false, std::memory_order_release);
    }

    // Renders the first block, before the stream starts.
    void prime(Source& source, std::mutex& mutex) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            source.render();
        }
        ready_.store(true, std::memory_order_release);
    }

    // One pass of the stream loop: renders the block asked for (true, with
    // the render's duration, lock included, in renderSeconds), or
    // acknowledges a block the callback has taken (false).
    template <class Now>
    bool loopPass(Source& source, std::mutex& mutex, Now&& now, double& renderSeconds) {
        const bool ready = ready_.load(std::memory_order_acquire);
        const bool requested = requested_.load(std::memory_order_acquire);
        if (!ready && requested) {
            const double t0 = now();
            {
                std::lock_guard<std::mutex> lock(mutex);
                source.render();
            }
            ready_.store(true, std::memory_order_release);
            renderSeconds = now() - t0;
            return true;
        }
        if (ready && !requested) ready_.store(false, std::memory_order_release);
        return false;
    }

    // The callback's part: fills out (one buffer of frames floats per
    // channel) from the block waiting or asked for, waiting at most
    // waitLimit seconds from t0 on the stream's clock.
    template <class Now>
    Served serve(Source& source, float* const* out, int outChannels, unsigned long frames, double t0,
                 double waitLimit, Now&& now) {
        Served served;
        if (ready_.load(std::memory_order_acquire)) {
            requested_.store(false, std::memory_order_release);
            copy(source, out, outChannels, frames);
            served.copied = true;
            while (now() - t0 < waitLimit) {
                if (!ready_.load(std::memory_order_acquire)) {
                    served.timedOut = false;
                    break;
                }
            }
        } else {
            served.hadToAsk = true;
            requested_.store(true, std::memory_order_release);
            const double tRequest = now();
            do {
                const bool requested = requested_.load(std::memory_order_acquire);
                const bool ready = ready_.load(std::memory_order_acquire);
                if (requested && ready) {
                    served.requestTime = now() - tRequest;
                    requested_.store(false, std::memory_order_release);
                    copy(source, out, outChannels, frames);
                    served.copied = true;
                } else if (!requested && !ready) {
                    served.timedOut = false;
                    break;
                }
            } while (now() - t0 < waitLimit);
        }
        if (!served.copied) silence(out, outChannels, frames, 0, 0);
        return served;
    }

    bool ready() const { return ready_.load(std::memory_order_acquire); }
    bool requested() const { return requested_.load(std::memory_order_acquire); }

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

    std::atomic<bool> ready_{false};
    std::atomic<bool> requested_{false};
};

}  // namespace vbz
