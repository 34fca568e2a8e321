#include "streaming/SlidingWindow.h"

#include <algorithm>
#include <limits>
#include <sstream>

namespace vbz {

namespace {
// avg += (slot' - slot), keeping the running sum of a window.
void replaceSlot(std::atomic<double>& average, double& slot, double value) {
    const double sum = average.load(std::memory_order_relaxed) - slot + value;
    slot = value;
    average.store(sum, std::memory_order_relaxed);
}

// 100 x part / whole; a plain "nan" (not "-nan") before any callback.
double percentOf(uint64_t part, uint64_t whole) {
    if (whole == 0) return std::numeric_limits<double>::quiet_NaN();
    return 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}
}  // namespace

SlidingWindow::SlidingWindow(int n) { reset(n); }

void SlidingWindow::reset(int n) {
    const std::size_t length = static_cast<std::size_t>(std::max(n, 1));
    requestTimes_.assign(length, 0.0);
    callbackTimes_.assign(length, 0.0);
    computeTimes_.assign(length, 0.0);
    requestRatios_.assign(length, 0.0);
    requestIndex_ = 0;
    computeIndex_ = 0;
    avgRequestTime_.store(0.0, std::memory_order_relaxed);
    avgCallbackTime_.store(0.0, std::memory_order_relaxed);
    avgComputeTime_.store(0.0, std::memory_order_relaxed);
    avgRequestRatio_.store(0.0, std::memory_order_relaxed);
}

void SlidingWindow::pushCompute(double seconds) {
    const std::size_t n = computeTimes_.size();
    const std::size_t k = static_cast<std::size_t>(computeIndex_);
    replaceSlot(avgComputeTime_, computeTimes_[k], seconds / static_cast<double>(n));
    computeIndex_ = static_cast<int>((k + 1) % n);
}

void SlidingWindow::pushRequest(double requestSeconds, double callbackSeconds) {
    const std::size_t n = requestTimes_.size();
    const double length = static_cast<double>(n);
    const std::size_t j = static_cast<std::size_t>(requestIndex_);
    const double ratio = callbackSeconds > 0.0 ? requestSeconds / (length * callbackSeconds) : 0.0;
    replaceSlot(avgRequestTime_, requestTimes_[j], requestSeconds / length);
    replaceSlot(avgCallbackTime_, callbackTimes_[j], callbackSeconds / length);
    replaceSlot(avgRequestRatio_, requestRatios_[j], ratio);
    requestIndex_ = static_cast<int>((j + 1) % n);
}

std::string SlidingWindow::report() const {
    std::ostringstream out;
    out << "Callback report:\n>>Haptic stream average request compute time: " << avgRequestTime()
        << "\n>>Haptic stream average compute time: " << avgComputeTime()
        << "\n>>Haptic stream average callback time: " << avgCallbackTime() << "( ratio "
        << 100.0 * avgRequestRatio() << "/100)\n>>Haptic stream CPU load: "
        << cpuLoad.load(std::memory_order_relaxed);
    return out.str();
}

std::string SlidingWindow::summary() const {
    const uint64_t callbacks = callbackCount.load(std::memory_order_relaxed);
    const uint64_t under = underflows.load(std::memory_order_relaxed);
    const uint64_t over = overflows.load(std::memory_order_relaxed);
    const uint64_t timedOut = timeouts.load(std::memory_order_relaxed);
    std::ostringstream out;
    out << "Stop streaming signal:\n>>Haptic stream underflow: " << under << "( ratio "
        << percentOf(under, callbacks) << "/100)\n>>Haptic stream overflow occurrence: " << over
        << "( ratio " << percentOf(over, callbacks)
        << "/100)\n>>Haptic stream timeout occurrence: " << timedOut << "( ratio "
        << percentOf(timedOut, callbacks) << "/100)\n";
    return out.str();
}

}  // namespace vbz
