// Timing and fault statistics of the audio-device stream: four event
// counters, the stream's last CPU load, and moving averages over the last N
// callbacks of the time a callback waited for its block, the time the
// callback took, the ratio of the two, and the time a block's render took.
// The audio stream owns one, feeds it from its output callback and its stream
// loop, and logs the periodic report and the summary built here.
//
// Each window slot holds its sample already divided by N, so an average is
// the plain running sum of its window; empty slots of a fresh window count
// as 0, so an average rises from 0 during the first N pushes. Times are
// seconds of the stream's clock.
//
// Threads: the output callback writes the counters, cpuLoad and the request
// windows (pushRequest); the stream loop writes the compute window
// (pushCompute); report() and summary() may run on any thread and read only
// single-word atomics (a report may mix values of adjacent callbacks).
// reset() only while no stream runs. Nothing here allocates except reset()
// and the two text builders.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace vbz {

class SlidingWindow {
public:
    // Windows of max(n, 1) slots.
    explicit SlidingWindow(int n);

    // One render time into the compute window.
    void pushCompute(double seconds);
    // One callback's pair: the wait for the block and the callback's own
    // duration. A callback of zero (or negative) duration adds a ratio of 0,
    // so that one odd sample cannot poison the ratio's average for good.
    void pushRequest(double requestSeconds, double callbackSeconds);
    // Clears the averages, windows and indices and resizes the windows to
    // max(n, 1) slots; the counters and cpuLoad are kept.
    void reset(int n);

    // The periodic report: "Callback report:\n>>Haptic stream average request
    // compute time: ..." (four lines).
    std::string report() const;
    // The summary logged when the stream stops: underflows, overflows and
    // timeouts with their share of the callbacks ("nan" before any callback).
    std::string summary() const;

    std::size_t windowLength() const { return requestTimes_.size(); }
    double avgRequestTime() const { return avgRequestTime_.load(std::memory_order_relaxed); }
    double avgCallbackTime() const { return avgCallbackTime_.load(std::memory_order_relaxed); }
    double avgRequestRatio() const { return avgRequestRatio_.load(std::memory_order_relaxed); }
    double avgComputeTime() const { return avgComputeTime_.load(std::memory_order_relaxed); }

    // Written directly by the audio stream's callback.
    std::atomic<uint64_t> callbackCount{0};
    std::atomic<uint64_t> timeouts{0};
    std::atomic<uint64_t> overflows{0};
    std::atomic<uint64_t> underflows{0};
    std::atomic<double> cpuLoad{0.0};

private:
    // Callback thread.
    int requestIndex_ = 0;
    std::atomic<double> avgRequestTime_{0.0};
    std::atomic<double> avgCallbackTime_{0.0};
    // Stream loop.
    int computeIndex_ = 0;
    std::atomic<double> avgComputeTime_{0.0};
    // Callback thread.
    std::atomic<double> avgRequestRatio_{0.0};

    std::vector<double> requestTimes_;
    std::vector<double> callbackTimes_;
    std::vector<double> computeTimes_;
    std::vector<double> requestRatios_;
};

}  // namespace vbz

using vbz::SlidingWindow;
