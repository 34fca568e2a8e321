#include "sdk/platform/JackCaptureStream.h"

#include <algorithm>
#include <cstring>

#include <jack/jack.h>

namespace vbz {

namespace {
constexpr const char* kClientName = "vbz-loopback-capture";
constexpr const char* kMonitorPrefix = ":monitor_";
// Frames handed to the callback at a time: a longer JACK period is cut.
constexpr unsigned kChunkFrames = 1024;
constexpr int kMaxChannels = 64;

}  // namespace

std::unique_ptr<JackCaptureStream> JackCaptureStream::open(const std::string& clientName, int channels,
                                                           double sampleRate, PaStreamCallback* callback,
                                                           void* userData, PaError& error) {
    error = paNoError;
    if (channels < 1 || channels > kMaxChannels || !callback) {
        error = callback ? paInvalidChannelCount : paNullCallback;
        return nullptr;
    }
    std::unique_ptr<JackCaptureStream> stream(new JackCaptureStream());
    jack_status_t status{};
    stream->client_ = jack_client_open(kClientName, JackNoStartServer, &status);
    if (!stream->client_) {
        error = paDeviceUnavailable;
        return nullptr;
    }
    if (static_cast<double>(jack_get_sample_rate(stream->client_)) != sampleRate) {
        error = paInvalidSampleRate;
        return nullptr;
    }
    const std::string prefix = clientName + kMonitorPrefix;
    if (const char** ports = jack_get_ports(stream->client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput)) {
        for (std::size_t i = 0; ports[i]; ++i)
            if (std::strncmp(ports[i], prefix.c_str(), prefix.size()) == 0) stream->sources_.emplace_back(ports[i]);
        jack_free(ports);
    }
    if (stream->sources_.size() < static_cast<std::size_t>(channels)) {
        error = stream->sources_.empty() ? paDeviceUnavailable : paInvalidChannelCount;
        return nullptr;
    }
    stream->sources_.resize(static_cast<std::size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        const std::string name = "in_" + std::to_string(c + 1);
        jack_port_t* port =
            jack_port_register(stream->client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        if (!port) {
            error = paInsufficientMemory;
            return nullptr;
        }
        stream->ports_.push_back(port);
    }
    stream->captured_ = clientName;
    stream->callback_ = callback;
    stream->userData_ = userData;
    stream->interleaved_.assign(static_cast<std::size_t>(kChunkFrames) * static_cast<std::size_t>(channels), 0.0f);
    stream->info_.structVersion = 1;
    stream->info_.sampleRate = sampleRate;
    stream->info_.inputLatency = static_cast<double>(jack_get_buffer_size(stream->client_)) / sampleRate;
    jack_set_process_callback(stream->client_, &JackCaptureStream::process, stream.get());
    jack_on_shutdown(stream->client_, &JackCaptureStream::onShutdown, stream.get());
    jack_set_client_registration_callback(stream->client_, &JackCaptureStream::onClientRegistration, stream.get());
    return stream;
}

JackCaptureStream::~JackCaptureStream() {
    if (!client_) return;
    // Both return at once when the server is gone: the client's requests
    // then fail on the closed socket instead of waiting for a cycle.
    if (active_.load()) jack_deactivate(client_);
    jack_client_close(client_);
}

PaError JackCaptureStream::start() {
    if (active_.load()) return paStreamIsNotStopped;
    if (ended_.load() || jack_activate(client_) != 0) return paDeviceUnavailable;
    active_.store(true);
    for (std::size_t c = 0; c < ports_.size(); ++c) {
        if (jack_connect(client_, sources_[c].c_str(), jack_port_name(ports_[c])) != 0) {
            stop();
            return paDeviceUnavailable;
        }
    }
    return paNoError;
}

PaError JackCaptureStream::stop() {
    if (!active_.exchange(false)) return paStreamIsStopped;
    jack_deactivate(client_);
    return paNoError;
}

int JackCaptureStream::process(unsigned frames, void* arg) {
    auto* self = static_cast<JackCaptureStream*>(arg);
    const std::size_t channels = self->ports_.size();
    const float* in[kMaxChannels];
    for (std::size_t c = 0; c < channels; ++c)
        in[c] = static_cast<const float*>(jack_port_get_buffer(self->ports_[c], frames));
    for (unsigned done = 0; done < frames;) {
        const unsigned n = std::min(frames - done, kChunkFrames);
        float* out = self->interleaved_.data();
        for (unsigned f = 0; f < n; ++f)
            for (std::size_t c = 0; c < channels; ++c) *out++ = in[c][done + f];
        self->callback_(self->interleaved_.data(), nullptr, n, nullptr, 0, self->userData_);
        done += n;
    }
    return 0;
}

void JackCaptureStream::end() {
    if (ended_.exchange(true)) return;
    if (PaStreamFinishedCallback* finished = finished_.load()) finished(userData_);
}

void JackCaptureStream::onShutdown(void* arg) { static_cast<JackCaptureStream*>(arg)->end(); }

void JackCaptureStream::onClientRegistration(const char* name, int registered, void* arg) {
    auto* self = static_cast<JackCaptureStream*>(arg);
    if (!registered && name && self->captured_ == name) self->end();
}

}  // namespace vbz
