#include "sdk/platform/JackStream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <jack/jack.h>

namespace vbz {

namespace {
constexpr const char* kCaptureClientName = "vbz-loopback-capture";
constexpr const char* kPlaybackClientName = "vbz-audio-output";
constexpr const char* kMonitorInfix = ":monitor_";
constexpr int kMaxChannels = 64;
// Longest block handed to the callback, in frames (a JACK period is at most
// 8192 frames).
constexpr unsigned long kMaxBlockFrames = 1u << 16;

}  // namespace

std::unique_ptr<JackStream> JackStream::open(Direction direction, const std::string& clientName, Format format,
                                             double sampleRate, PaStreamCallback* callback, void* userData,
                                             PaError& error) {
    error = paNoError;
    if (format.channels < 1 || format.channels > kMaxChannels || !callback) {
        error = callback ? paInvalidChannelCount : paNullCallback;
        return nullptr;
    }
    if (format.framesPerBuffer > kMaxBlockFrames) {
        error = paBufferTooBig;
        return nullptr;
    }
    const bool capture = direction == Direction::Capture;
    std::unique_ptr<JackStream> stream(new JackStream());
    jack_status_t status{};
    stream->client_ = jack_client_open(capture ? kCaptureClientName : kPlaybackClientName, JackNoStartServer, &status);
    if (!stream->client_) {
        error = paDeviceUnavailable;
        return nullptr;
    }
    if (static_cast<double>(jack_get_sample_rate(stream->client_)) != sampleRate) {
        error = paInvalidSampleRate;
        return nullptr;
    }
    // A capture takes the device's monitor ports (outputs); a playback
    // feeds the device's inputs, as PortAudio's JACK devices count them.
    const std::string prefix = clientName + (capture ? kMonitorInfix : ":");
    if (const char** ports = jack_get_ports(stream->client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                            capture ? JackPortIsOutput : JackPortIsInput)) {
        for (std::size_t i = 0; ports[i]; ++i)
            if (std::strncmp(ports[i], prefix.c_str(), prefix.size()) == 0) stream->peers_.emplace_back(ports[i]);
        jack_free(ports);
    }
    const auto channels = static_cast<std::size_t>(format.channels);
    if (stream->peers_.size() < channels) {
        error = stream->peers_.empty() ? paDeviceUnavailable : paInvalidChannelCount;
        return nullptr;
    }
    stream->peers_.resize(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        const std::string name = (capture ? "in_" : "out_") + std::to_string(c + 1);
        jack_port_t* port = jack_port_register(stream->client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                               capture ? JackPortIsInput : JackPortIsOutput, 0);
        if (!port) {
            error = paInsufficientMemory;
            return nullptr;
        }
        stream->ports_.push_back(port);
    }
    const jack_nframes_t period = jack_get_buffer_size(stream->client_);
    stream->direction_ = direction;
    stream->device_ = clientName;
    stream->callback_ = callback;
    stream->userData_ = userData;
    stream->nonInterleaved_ = format.nonInterleaved;
    stream->blockFrames_ = format.framesPerBuffer != paFramesPerBufferUnspecified ? format.framesPerBuffer : period;
    if (stream->blockFrames_ == 0) {
        error = paDeviceUnavailable;
        return nullptr;
    }
    stream->block_.assign(stream->blockFrames_ * channels, 0.0f);
    for (std::size_t c = 0; c < channels; ++c)
        stream->channelBuffers_.push_back(stream->block_.data() + c * stream->blockFrames_);
    // A playback begins with its block played out: the first cycle asks.
    stream->blockAt_ = capture ? 0 : stream->blockFrames_;
    stream->info_.structVersion = 1;
    stream->info_.sampleRate = sampleRate;
    (capture ? stream->info_.inputLatency : stream->info_.outputLatency) = static_cast<double>(period) / sampleRate;
    jack_set_process_callback(stream->client_, &JackStream::process, stream.get());
    jack_on_shutdown(stream->client_, &JackStream::onShutdown, stream.get());
    jack_set_client_registration_callback(stream->client_, &JackStream::onClientRegistration, stream.get());
    return stream;
}

JackStream::~JackStream() {
    if (!client_) return;
    // Both return at once when the server is gone: the client's requests
    // then fail on the closed socket instead of waiting for a cycle.
    stop();
    jack_client_close(client_);
}

PaError JackStream::start() {
    if (active_.load()) return paStreamIsNotStopped;
    if (ended_.load()) return paDeviceUnavailable;
    finishedSaid_.store(false);
    // A cycle that the last deactivation cancelled may have left it set.
    inProcess_.store(false);
    leaving_.store(false);
    if (jack_activate(client_) != 0) return paDeviceUnavailable;
    active_.store(true);
    for (std::size_t c = 0; c < ports_.size(); ++c) {
        const char* own = jack_port_name(ports_[c]);
        const bool capture = direction_ == Direction::Capture;
        const char* from = capture ? peers_[c].c_str() : own;
        const char* to = capture ? own : peers_[c].c_str();
        if (jack_connect(client_, from, to) != 0) {
            stop();
            return paDeviceUnavailable;
        }
    }
    return paNoError;
}

PaError JackStream::stop() {
    if (!active_.exchange(false)) return paStreamIsStopped;
    // libjack's deactivation cancels the process thread wherever it is
    // (asynchronous cancellation): it must not find it in a callback, which
    // may be waiting or hold a lock. A cycle in progress ends first (no wait
    // once the server is gone: no cycle runs); later ones return at once.
    leaving_.store(true);
    while (inProcess_.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    jack_deactivate(client_);
    sayFinished();  // as a PortAudio stream does once it stops
    return paNoError;
}

PaTime JackStream::time() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void JackStream::handOver() {
    void* buffer = nonInterleaved_ ? static_cast<void*>(channelBuffers_.data()) : static_cast<void*>(block_.data());
    const bool capture = direction_ == Direction::Capture;
    callback_(capture ? buffer : nullptr, capture ? nullptr : buffer, blockFrames_, nullptr, 0, userData_);
}

int JackStream::process(unsigned frames, void* arg) {
    auto* self = static_cast<JackStream*>(arg);
    // Sequentially consistent with stop(): either it sees this cycle in
    // progress, or this cycle sees it leaving.
    self->inProcess_.store(true);
    if (self->leaving_.load() || self->ended_.load()) {
        // Silence without touching the block: an ended playback plays none.
        if (self->direction_ == Direction::Playback)
            for (_jack_port* p : self->ports_) {
                auto* out = static_cast<float*>(jack_port_get_buffer(p, frames));
                std::fill(out, out + frames, 0.0f);
            }
        self->inProcess_.store(false);
        return 0;
    }
    self->cycle(frames);
    self->inProcess_.store(false);
    return 0;
}

void JackStream::cycle(unsigned frames) {
    const std::size_t channels = ports_.size();
    const bool capture = direction_ == Direction::Capture;
    float* port[kMaxChannels];
    for (std::size_t c = 0; c < channels; ++c)
        port[c] = static_cast<float*>(jack_port_get_buffer(ports_[c], frames));
    // The period and the callback's block need not be the same size: a block
    // is handed over once filled (capture) or before it is played (playback),
    // and what is left of it waits for the next cycle.
    for (std::size_t done = 0; done < frames;) {
        if (!capture && blockAt_ == blockFrames_) {
            handOver();
            blockAt_ = 0;
        }
        const std::size_t n = std::min<std::size_t>(frames - done, blockFrames_ - blockAt_);
        for (std::size_t c = 0; c < channels; ++c) {
            for (std::size_t f = 0; f < n; ++f) {
                float& held = sample(c, blockAt_ + f);
                if (capture)
                    held = port[c][done + f];
                else
                    port[c][done + f] = held;
            }
        }
        blockAt_ += n;
        done += n;
        if (capture && blockAt_ == blockFrames_) {
            handOver();
            blockAt_ = 0;
        }
    }
}

void JackStream::sayFinished() {
    if (finishedSaid_.exchange(true)) return;
    if (PaStreamFinishedCallback* finished = finished_.load()) finished(userData_);
}

void JackStream::end() {
    if (!ended_.exchange(true)) sayFinished();
}

void JackStream::onShutdown(void* arg) { static_cast<JackStream*>(arg)->end(); }

void JackStream::onClientRegistration(const char* name, int registered, void* arg) {
    auto* self = static_cast<JackStream*>(arg);
    if (!registered && name && self->device_ == name) self->end();
}

}  // namespace vbz
