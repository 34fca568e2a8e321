// Turns what the computer plays into a haptic sample stream: captures a
// loopback input device through the audio host, mixes every frame down to
// mono, reduces each 20 ms block to ORV tokens at the capture rate (input
// processor) and re-synthesises a 20 ms block of vibration from them at the
// rate the haptic stream asked for (output processor). The synthesised
// samples wait in a FIFO until the stream pulls them. Log tag "OrvLoopback".
//
// Owned by OrvCore, its only user; every start, stop and re-configuration
// runs inside OrvCore's control lock, so those never overlap. The device is
// kept as a reference (index and name) and resolved again when the capture
// opens, since the host's indices shift as JACK clients come and go.
//
// Log lines of start, stop and re-configuration are not written at once but
// kept until takeLog(), so that the owner writes them after releasing its
// locks.
//
// Threads: the capture callback runs on the audio host's thread and takes
// only the capture lock, for the decode and queueing of one finished block;
// pull runs on the stream thread under the capture lock. The FIFO is a ring
// allocated at the first start, so neither allocates in steady state.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <portaudio.h>

#include "orv-fx/processor/BaseORV.h"
#include "sdk/platform/IAudioHost.h"

namespace vbz {

class OrvLoopback {
public:
    using LogBatch = std::vector<std::pair<int, std::string>>;
    struct Counters {
        uint32_t underruns = 0, drops = 0, overflows = 0;
    };

    OrvLoopback();
    ~OrvLoopback();
    OrvLoopback(const OrvLoopback&) = delete;
    OrvLoopback& operator=(const OrvLoopback&) = delete;

    // Opens and starts the capture of device with the output processor at
    // outputRate Hz (a running capture is restarted). 0; -15 an audio host
    // error; -2 no such device; -17 a processor could not be made; -1 the two
    // processors disagree on token sizes. A failed start leaves everything
    // released.
    int start(double outputRate, const AudioDeviceRef& device);
    // Ends the capture and releases what the start acquired; the audio host
    // is terminated only for an initialisation this capture made. Any state;
    // bounded also when the device or the audio server has gone.
    void stop();
    // False too once the capture ended on its own (its device or the audio
    // server went away): a start is needed again.
    bool isRunning() const {
        return running_.load(std::memory_order_acquire) && !ended_.load(std::memory_order_acquire);
    }
    // True, with a warning in the log batch the first time, when the capture
    // ended on its own. Under the owner's control, as start and stop.
    bool noticeEnded();
    // Replaces the output processor by one at rate while running (queued
    // samples stay; the new one is made before the old one goes, so no block
    // is lost or decoded by neither); 0 and nothing else when stopped. A
    // failure stops the capture and is returned.
    int setOutputRate(double rate);
    // Kept across starts; applied to a running output processor at once.
    void setPreset(unsigned preset);
    unsigned getPreset() const { return preset_; }

    // Fills out from the FIFO, oldest first: all zeros (nothing consumed)
    // when fewer than out.size() samples wait; samples beyond twice
    // max(output block, out.size()) are dropped first. Stream thread.
    void pull(std::vector<double>& out);

    // Body of the capture callback: frameCount interleaved frames of the
    // channel count the stream was opened with. A null input is silence, so
    // is a frame with a non-finite sample; samples beyond full scale are
    // clipped to [-1, 1].
    void onAudioInput(const float* input, unsigned long frameCount);

    // Lines gathered since the last call, in order.
    LogBatch takeLog();

    // Diagnostics and tests.
    Counters counters();
    std::size_t queued();
    uint64_t blockFrames() const { return blockFrames_; }
    std::size_t outputBlockSize();
    unsigned inputChannels() const { return inputChannels_; }

private:
    int createOutputProcessor(double rate);
    int reportOrvError(int32_t code);
    int reportPaError(PaError err);
    void log(int level, std::string text);
    // Fails a start: stops, then returns code.
    int fail(int code);

    static void finishedCallback(void* userData);
    static int captureCallback(const void* input, void* output, unsigned long frameCount,
                               const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags,
                               void* userData);

    // A fixed ring of samples, oldest first; guarded by captureLock_.
    class Ring {
    public:
        void reserve(std::size_t capacity);
        std::size_t size() const { return size_; }
        std::size_t capacity() const { return data_.size(); }
        void clear() { head_ = size_ = 0; }
        // False (nothing queued) when it would not fit.
        bool push(const float* samples, std::size_t n);
        void discard(std::size_t n);
        void pop(double* out, std::size_t n);

    private:
        std::vector<float> data_;
        std::size_t head_ = 0, size_ = 0;
    };

    IAudioHost& host_;
    std::atomic<bool> running_{false};
    // Set by the host's thread when the stream ends without a stop.
    std::atomic<bool> ended_{false};
    bool endReported_ = false;
    bool initialized_ = false;  // a successful initialize awaits its terminate
    PaStream* stream_ = nullptr;
    unsigned inputChannels_ = 0;
    // Belong to the capture callback while the stream exists.
    std::unique_ptr<orv::BaseORV> inProcessor_;
    std::vector<float> inBlock_;
    uint64_t blockFrames_ = 1;
    std::vector<uint8_t> tokens_;
    unsigned preset_ = 0;

    // Guarded by captureLock_.
    std::mutex captureLock_;
    std::unique_ptr<orv::BaseORV> outProcessor_;
    std::vector<float> outBlock_;
    Ring fifo_;
    Counters counters_;

    LogBatch log_;
};

}  // namespace vbz

using vbz::OrvLoopback;
