#include "orv-fx/OrvLoopback.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "sdk/core/LogLine.h"
#include "streaming/AudioOutputSelection.h"
#include "vibrenza/vbz_types.h"

namespace vbz {

namespace {

// Output blocks the FIFO may hold before a push: about one second of haptics
// when nobody pulls.
constexpr std::size_t kFifoBlocks = 50;
// The largest output block: 20 ms at the highest rate the processor takes.
constexpr std::size_t kLargestOutputBlock = 96000 / 50;
// Enough for kFifoBlocks blocks plus the one pushed last, at any rate: a push
// needs fewer than kFifoBlocks blocks of the current size queued.
constexpr std::size_t kRingCapacity = (kFifoBlocks + 1) * kLargestOutputBlock;

// A rate in Hz as the processor takes it: nearest integer, halves away from
// zero, saturated; NaN gives 0 (which the processor refuses).
uint32_t processorRate(double rate) {
    if (!(rate > 0.0)) return 0;
    if (rate >= static_cast<double>(std::numeric_limits<uint32_t>::max())) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(std::lround(rate));
}

// One mono processor of float samples with double processing; error as the
// processor reports it, -12 when memory ran out while building it.
std::unique_ptr<orv::BaseORV> makeProcessor(double rate, int32_t& error) {
    try {
        return orv::createOrv(processorRate(rate), 1, orv::kInputFloat, orv::kProcessDouble, error);
    } catch (const std::bad_alloc&) {
        error = orv::kOrvNoMemory;
        return nullptr;
    }
}

// The device that ref names now; a reference without a name is taken by its
// index alone.
PaDeviceIndex resolveCaptureDevice(IAudioHost& host, const AudioDeviceRef& ref) {
    if (ref.name.empty()) return ref.index;
    return resolveDevice(host, ref);
}

}  // namespace

// ---- Ring

void OrvLoopback::Ring::reserve(std::size_t capacity) {
    if (data_.size() < capacity) data_.assign(capacity, 0.0f);
    clear();
}

bool OrvLoopback::Ring::push(const float* samples, std::size_t n) {
    if (n > data_.size() - size_) return false;
    std::size_t tail = (head_ + size_) % data_.size();
    for (std::size_t i = 0; i < n; ++i) {
        data_[tail] = samples[i];
        if (++tail == data_.size()) tail = 0;
    }
    size_ += n;
    return true;
}

void OrvLoopback::Ring::discard(std::size_t n) {
    n = std::min(n, size_);
    if (n == 0) return;
    head_ = (head_ + n) % data_.size();
    size_ -= n;
}

void OrvLoopback::Ring::pop(double* out, std::size_t n) {
    n = std::min(n, size_);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<double>(data_[head_]);
        if (++head_ == data_.size()) head_ = 0;
    }
    size_ -= n;
}

// ---- OrvLoopback

OrvLoopback::OrvLoopback() : host_(audioHost()) {}

OrvLoopback::~OrvLoopback() { stop(); }

void OrvLoopback::log(int level, std::string text) { log_.emplace_back(level, std::move(text)); }

OrvLoopback::LogBatch OrvLoopback::takeLog() {
    LogBatch taken;
    taken.swap(log_);
    return taken;
}

int OrvLoopback::fail(int code) {
    stop();
    return code;
}

int OrvLoopback::start(double outputRate, const AudioDeviceRef& device) {
    stop();  // also a capture that ended on its own holds its stream
    log(1, "Start ORV loopback...");
    {
        std::lock_guard<std::mutex> lock(captureLock_);
        counters_ = Counters{};
    }
    const PaError initError = host_.initialize();
    if (initError != paNoError) return fail(reportPaError(initError));
    initialized_ = true;

    const PaDeviceIndex index = resolveCaptureDevice(host_, device);
    const PaDeviceInfo* info = index >= 0 ? host_.deviceInfo(index) : nullptr;
    if (!info) return fail(VBZ_ERROR_INVALID_PARAMETER);

    int32_t error = 0;
    inProcessor_ = makeProcessor(info->defaultSampleRate, error);
    if (!inProcessor_) return fail(reportOrvError(error));
    blockFrames_ = inProcessor_->getBlockSize();
    inBlock_.clear();
    inBlock_.reserve(static_cast<std::size_t>(blockFrames_));
    tokens_.assign(inProcessor_->getTokenBytes(blockFrames_), 0);
    {
        std::lock_guard<std::mutex> lock(captureLock_);
        fifo_.reserve(kRingCapacity);  // allocates at the first start only
    }

    const int made = createOutputProcessor(outputRate);
    if (made != 0) return fail(made);

    inputChannels_ = info->maxInputChannels > 0 ? static_cast<unsigned>(info->maxInputChannels) : 0u;
    PaStreamParameters input{};
    input.device = index;
    input.channelCount = info->maxInputChannels;
    input.sampleFormat = paFloat32;
    input.suggestedLatency = info->defaultLowInputLatency;
    input.hostApiSpecificStreamInfo = nullptr;
    const double rate = info->defaultSampleRate;
    // A loopback capture runs without the host, which is let go before the
    // capture's client opens: holding it would tie the host to an audio
    // server that may die under the capture, and a client of ours that the
    // server refuses while PortAudio holds its own can cost PortAudio that
    // client.
    const std::string client = host_.isLoopback(index) == 1 ? host_.jackClientOf(index) : std::string();
    PaError openError;
    if (!client.empty()) {
        host_.terminate();
        initialized_ = false;
        openError = host_.openJackStream(&stream_, true, client, input, rate, paFramesPerBufferUnspecified,
                                         &OrvLoopback::captureCallback, this);
    } else {
        openError = host_.openStream(&stream_, &input, nullptr, rate, paFramesPerBufferUnspecified, paNoFlag,
                                     &OrvLoopback::captureCallback, this);
    }
    if (openError != paNoError) {
        stream_ = nullptr;
        return fail(reportPaError(openError));
    }
    host_.setStreamFinishedCallback(stream_, &OrvLoopback::finishedCallback);
    const PaError startError = host_.startStream(stream_);
    if (startError != paNoError) return fail(reportPaError(startError));

    running_.store(true, std::memory_order_release);
    log(1, "ORV loopback started.");
    return 0;
}

int OrvLoopback::createOutputProcessor(double rate) {
    if (!inProcessor_) return -1;
    // Built outside the capture lock, so that neither the capture callback nor
    // a pull waits for the filter designs; only the swap happens under it, so
    // the callback decodes every block with the old processor or the new one.
    int32_t error = 0;
    std::unique_ptr<orv::BaseORV> made = makeProcessor(rate, error);
    if (!made) return reportOrvError(error);
    made->setPreset(preset_);
    std::vector<float> block(static_cast<std::size_t>(made->getBlockSize()), 0.0f);
    const bool consistent = tokens_.size() == made->getTokenBytes(block.size());
    {
        std::lock_guard<std::mutex> lock(captureLock_);
        outProcessor_.swap(made);
        outBlock_.swap(block);
    }
    made.reset();  // the one replaced, if any
    if (consistent) return 0;
    log(4, "ORV-fx: inconsistent token sizes between in and out");
    return -1;
}

void OrvLoopback::stop() {
    if (stream_) {
        // Never under the capture lock: the callback may be waiting for it.
        host_.closeStream(stream_);
        stream_ = nullptr;
    }
    std::unique_ptr<orv::BaseORV> out;
    {
        std::lock_guard<std::mutex> lock(captureLock_);
        out = std::move(outProcessor_);
        fifo_.clear();
        running_.store(false, std::memory_order_release);
    }
    ended_.store(false, std::memory_order_release);  // closing may have said so
    endReported_ = false;
    inProcessor_.reset();  // the callback is over: the stream is closed
    out.reset();
    if (initialized_) {
        // Only the initialisation this capture made: the count is shared with
        // every other audio user of the process.
        host_.terminate();
        initialized_ = false;
    }
}

bool OrvLoopback::noticeEnded() {
    if (!running_.load(std::memory_order_acquire) || !ended_.load(std::memory_order_acquire)) return false;
    if (!endReported_) {
        endReported_ = true;
        log(3, "ORV loopback capture ended: its device or the audio server went away.");
    }
    return true;
}

void OrvLoopback::finishedCallback(void* userData) {
    if (userData) static_cast<OrvLoopback*>(userData)->ended_.store(true, std::memory_order_release);
}

int OrvLoopback::setOutputRate(double rate) {
    if (!isRunning()) return 0;
    const int made = createOutputProcessor(rate);
    if (made != 0) {
        stop();
        return made;
    }
    return 0;
}

void OrvLoopback::setPreset(unsigned preset) {
    preset_ = preset;
    if (!isRunning()) return;
    std::lock_guard<std::mutex> lock(captureLock_);
    if (outProcessor_) outProcessor_->setPreset(preset);
}

void OrvLoopback::pull(std::vector<double>& out) {
    std::lock_guard<std::mutex> lock(captureLock_);
    const std::size_t n = out.size();
    if (fifo_.size() < n) {
        std::fill(out.begin(), out.end(), 0.0);
        ++counters_.underruns;
        return;
    }
    const std::size_t limit = 2 * std::max(outBlock_.size(), n);
    if (fifo_.size() > limit) {
        fifo_.discard(fifo_.size() - limit);
        ++counters_.drops;
    }
    fifo_.pop(out.data(), n);
}

void OrvLoopback::onAudioInput(const float* input, unsigned long frameCount) {
    const unsigned channels = inputChannels_;
    for (unsigned long f = 0; f < frameCount; ++f) {
        if (inBlock_.size() >= blockFrames_) {
            // Errors of encode and decode leave the block as the processors
            // made it; it is queued all the same.
            inProcessor_->encode(inBlock_.data(), tokens_.data(), blockFrames_);
            {
                std::lock_guard<std::mutex> lock(captureLock_);
                if (outProcessor_) {
                    outProcessor_->decode(tokens_.data(), tokens_.size(), outBlock_.data(), outBlock_.size());
                    if (fifo_.size() >= kFifoBlocks * outBlock_.size() ||
                        !fifo_.push(outBlock_.data(), outBlock_.size()))
                        ++counters_.overflows;
                }
            }
            inBlock_.clear();
        }
        float mean = 0.0f;
        if (input && channels > 0) {
            const float* frame = input + f * channels;
            float sum = 0.0f;
            bool finite = true;
            for (unsigned c = 0; c < channels; ++c) {
                finite = finite && std::isfinite(frame[c]);
                // Beyond full scale as a device would deliver it: one huge
                // sample would otherwise hold the detectors' gain down for
                // minutes.
                sum += std::clamp(frame[c], -1.0f, 1.0f);
            }
            // One bad driver sample would otherwise poison the band
            // detectors for the rest of the session.
            mean = finite ? sum / static_cast<float>(channels) : 0.0f;
        }
        inBlock_.push_back(mean);
    }
}

int OrvLoopback::captureCallback(const void* input, void*, unsigned long frameCount,
                                 const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* userData) {
    if (userData) static_cast<OrvLoopback*>(userData)->onAudioInput(static_cast<const float*>(input), frameCount);
    return paContinue;
}

int OrvLoopback::reportOrvError(int32_t code) {
    switch (code) {
        case orv::kOrvUnknownError: log(4, "ORV-fx error: other error"); break;
        case orv::kOrvInvalidParameter: log(4, "ORV-fx error: invalid input parameter"); break;
        case orv::kOrvNoMemory: log(4, "ORV-fx error: not enough memory"); break;
        default: log(4, "ORV-fx error: undocumented error"); break;
    }
    return VBZ_ERROR_ORVFX;
}

int OrvLoopback::reportPaError(PaError err) {
    for (std::string& text : audioErrorTexts(host_, err)) log(4, std::move(text));
    return VBZ_ERROR_PORTAUDIO;
}

OrvLoopback::Counters OrvLoopback::counters() {
    std::lock_guard<std::mutex> lock(captureLock_);
    return counters_;
}

std::size_t OrvLoopback::queued() {
    std::lock_guard<std::mutex> lock(captureLock_);
    return fifo_.size();
}

std::size_t OrvLoopback::outputBlockSize() {
    std::lock_guard<std::mutex> lock(captureLock_);
    return outBlock_.size();
}

}  // namespace vbz
