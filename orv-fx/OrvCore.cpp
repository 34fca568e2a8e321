#include "orv-fx/OrvCore.h"

#include <cmath>
#include <stdexcept>

#include "sdk/core/LogLine.h"

namespace vbz {

namespace {
constexpr const char* kLoopbackTag = "OrvLoopback";
}

OrvCore::~OrvCore() {
    OrvLoopback::LogBatch lines;
    {
        std::lock_guard<std::timed_mutex> lock(controlLock_);
        loopback_.stop();
        lines = loopback_.takeLog();
    }
    writeLog(std::move(lines));
}

void OrvCore::writeLog(OrvLoopback::LogBatch lines) {
    for (auto& [level, text] : lines) LogLine(level, kLoopbackTag) << text;
}

void OrvCore::setSampleRate(double hz) {
    OrvLoopback::LogBatch lines;
    {
        std::unique_lock<std::timed_mutex> lock(controlLock_, kRateWait);
        if (!lock.owns_lock()) return;
        // Said once, here: the stream calls this before every block.
        const bool ended = loopback_.noticeEnded();
        // Exact comparison: the stream sets its rate before every block.
        const bool same = hz == sampleRate_.load(std::memory_order_relaxed);
        if (same && !ended) return;
        if (!same) {
            sampleRate_.store(hz, std::memory_order_relaxed);
            if (loopback_.isRunning())
                loopback_.setOutputRate(hz);
            else if (hz > 0.0 && device_.index >= 0)
                loopback_.start(hz, device_);
        }
        lines = loopback_.takeLog();
    }
    writeLog(std::move(lines));
}

int OrvCore::setDevice(const AudioDeviceRef& device) {
    OrvLoopback::LogBatch lines;
    int result = 0;
    {
        std::lock_guard<std::timed_mutex> lock(controlLock_);
        loopback_.noticeEnded();
        const bool same = device.index == device_.index && device.name == device_.name;
        if (same && (loopback_.isRunning() || device.index < 0)) return 0;
        device_ = device;
        const double rate = sampleRate_.load(std::memory_order_relaxed);
        if (rate > 0.0 && device.index >= 0) result = loopback_.start(rate, device);
        lines = loopback_.takeLog();
    }
    writeLog(std::move(lines));
    return result;
}

int OrvCore::device() {
    std::lock_guard<std::timed_mutex> lock(controlLock_);
    return device_.index;
}

unsigned OrvCore::getPreset() {
    std::lock_guard<std::timed_mutex> lock(controlLock_);
    return loopback_.getPreset();
}

void OrvCore::setPreset(unsigned preset) {
    std::lock_guard<std::timed_mutex> lock(controlLock_);
    loopback_.setPreset(preset);
}

double OrvCore::outputSample(double gain, double s) {
    const double x = gain * s;
    if (std::isnan(x)) return 0.0;
    return x > 1.0 ? 1.0 : (x > -1.0 ? x : -1.0);
}

void OrvCore::render() {
    loopback_.pull(buffer_);
    const double gain = static_cast<double>(volume_);
    for (double& s : buffer_) s = outputSample(gain, s);
}

double OrvCore::getSample(unsigned, unsigned index) {
    if (index >= buffer_.size()) throw std::out_of_range("invalid vector subscript");
    return buffer_[index];
}

}  // namespace vbz
