// The sample source of the audio-to-haptics back-end: a stream asks it for
// blocks exactly as it asks the engine wrapper, and gets the haptic signal
// that the loopback capture synthesised from the computer's sound output,
// scaled by the output volume and clamped to [-1, 1]. One signal serves all
// 20 actuator channels. The core also holds the capture's settings (device,
// output rate, preset) and starts or re-configures the capture as they
// change: the capture starts once both a device and an output rate above 0
// are known, whichever comes second. A capture that fails to start leaves
// the source silent; its log lines say why.
//
// Owned by HandlerORV.
//
// Threads and locks: the control lock serialises every start, stop and
// re-configuration of the capture (setSampleRate, setDevice, setPreset,
// getPreset, the destructor); lock order is handler mutex, control lock,
// then the capture's own lock. Only setSampleRate may be called with the
// handler mutex held (a stream does so before rendering). The capture's log lines are written after the
// control lock is released. render, setBufferSize and getSample run on the
// stream thread (render under the handler mutex); setVolume and getVolume
// under the handler mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "orv-fx/OrvLoopback.h"
#include "sdk/platform/IAudioHost.h"
#include "streaming/AbstractCore.h"

namespace vbz {

class OrvCore final : public AbstractCore {
public:
    OrvCore() = default;
    ~OrvCore() override;

    unsigned getChannelCount() override { return 20; }
    unsigned getBufferSize() override { return static_cast<unsigned>(buffer_.size()); }
    // Samples kept up to n, new ones 0.
    void setBufferSize(unsigned n) override { buffer_.resize(n, 0.0); }
    double getSampleRate() override { return sampleRate_.load(std::memory_order_relaxed); }
    // A new rate reconfigures a running capture's output, or starts the
    // capture when a device is set. The same rate (exactly) does nothing but
    // write, once, the warning of a capture that ended on its own.
    // The stream calls it before its renders: while another thread starts
    // or stops the capture, it gives up after kRateWait and leaves the rate
    // for the next block, rather than hold up the render.
    void setSampleRate(double hz) override;
    static constexpr std::chrono::milliseconds kRateWait{5};
    // Pulls a block from the capture (silence when too little waits); NaN
    // becomes 0.
    void render() override;
    // The same sample for every channel; an index not below the buffer size
    // throws std::out_of_range.
    double getSample(unsigned channel, unsigned index) override;
    // A capture does not advance with the stream's clock: never fast-forwarded.
    bool isPlaying() override { return false; }

    unsigned getPreset();
    float getVolume() const { return volume_; }
    // Selects the capture device; a different device (re)starts the capture
    // when an output rate is known, and so does the same one when the capture
    // is not running (it ended on its own or never started), resolving the
    // device by name again. A device with a negative index is only stored: a
    // running capture keeps its device. The start's result (see
    // OrvLoopback::start), 0 when none was needed.
    int setDevice(const AudioDeviceRef& device);
    // No range check: callers pass 0 to 3.
    void setPreset(unsigned preset);
    // Volumes not above 0 (NaN included) become 0.
    void setVolume(float volume) { volume_ = volume > 0.0f ? volume : 0.0f; }

    // One output sample: gain x s clamped to [-1, 1], NaN as 0 (clamping it
    // to -1 would drive every actuator to full scale).
    static double outputSample(double gain, double s);

    // Diagnostics and tests: the capture, to be used under no lock of ours.
    OrvLoopback& loopback() { return loopback_; }
    int device();

private:
    // Writes the capture's gathered lines; called with no lock held.
    static void writeLog(OrvLoopback::LogBatch lines);

    OrvLoopback loopback_;
    std::vector<double> buffer_;
    std::timed_mutex controlLock_;
    // Written under controlLock_; read without it.
    std::atomic<double> sampleRate_{-1.0};
    // Guarded by controlLock_.
    AudioDeviceRef device_{-1, {}};
    // Under the handler mutex.
    float volume_ = 1.0f;
};

}  // namespace vbz

using vbz::OrvCore;
