// A sample source whose every sample is known: the value of a channel at a
// time depends only on the channel and on the source's own time line, which
// advances by each rendered block's span. A stream that renders the spans
// the vest asked for (and skips the gaps) therefore sends, for a request at
// time stamp T, exactly expected(channel, T + i / rate).
//
// Records every render (rate and block size). Test thread and the stream's
// thread; renders happen under the stream's mutex, records are read after
// the stream has ended.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "streaming/AbstractCore.h"

namespace vbz_test {

class FakeSampleSource : public vbz::AbstractCore {
public:
    struct Render {
        double rate;
        unsigned samples;
        uint64_t startUs;
    };

    explicit FakeSampleSource(unsigned channels = 20) : channels_(channels) {}

    // Value of a channel at a time in microseconds: a saw tooth in steps of
    // 1/1024 (exact in single precision), one step per 500 us, shifted per
    // channel so that every channel differs.
    static double expected(unsigned channel, uint64_t timeUs) {
        const uint64_t step = timeUs / 500 + channel * 131u;
        return (static_cast<double>(step % 2048) - 1024.0) / 1024.0;
    }

    unsigned getChannelCount() override { return channels_; }
    unsigned getBufferSize() override { return size_; }
    void setBufferSize(unsigned n) override { size_ = n; }
    double getSampleRate() override { return rate_; }
    void setSampleRate(double hz) override {
        if (hz > 0) rate_ = hz;
    }
    void render() override {
        if (renderPause.count() > 0) std::this_thread::sleep_for(renderPause);
        renderCount.fetch_add(1);
        blockStartUs_ = timeUs_;
        renders.push_back({rate_, size_, timeUs_});
        timeUs_ += static_cast<uint64_t>(std::llround(size_ * 1e6 / rate_));
    }
    double getSample(unsigned channel, unsigned index) override {
        if (nanChannel == static_cast<int>(channel)) return std::numeric_limits<double>::quiet_NaN();
        if (infChannel == static_cast<int>(channel)) return -std::numeric_limits<double>::infinity();
        return expected(channel, blockStartUs_ + static_cast<uint64_t>(std::llround(index * 1e6 / rate_)));
    }
    bool isPlaying() override { return playing; }

    uint64_t timeUs() const { return timeUs_; }

    bool playing = true;
    int nanChannel = -1;  // this channel returns NaN
    int infChannel = -1;  // this channel returns minus infinity
    std::vector<Render> renders;
    // Renders so far, readable from any thread while the stream runs.
    std::atomic<unsigned> renderCount{0};
    // Each render takes this long (a slow source).
    std::chrono::microseconds renderPause{0};

private:
    unsigned channels_;
    unsigned size_ = 512;
    double rate_ = 48000.0;
    uint64_t timeUs_ = 0;
    uint64_t blockStartUs_ = 0;
};

}  // namespace vbz_test
