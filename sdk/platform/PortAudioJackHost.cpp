#include "sdk/platform/PortAudioJackHost.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/platform/AudioLibraryMessageScope.h"
#include "sdk/platform/JackMonitorProbe.h"

namespace vbz {

namespace {
constexpr const char* kLoopbackSuffix = " [Loopback]";
}

PortAudioJackHost& PortAudioJackHost::instance() {
    static PortAudioJackHost host;
    return host;
}

PaError PortAudioJackHost::initialize() {
    // PortAudio's JACK host API and the probe open JACK clients. Closes
    // still under way are waited for before the lock, so that the host's
    // other calls do not wait for them too.
    JackStream::awaitClosing();
    std::lock_guard<std::mutex> lock(mutex_);
    const AudioLibraryMessageScope quiet;
    // The probe's client opens and closes before PortAudio opens its own: a
    // client that a server refuses while PortAudio holds one may cost
    // PortAudio its client (see JackStream::noteClientsWrittenOff).
    std::optional<std::vector<JackMonitorClient>> monitors;
    if (initCount_ == 0) monitors = probeJackMonitorClients();
    const JackStream::OpenGate gate;
    const PaError result = Pa_Initialize();
    if (result != paNoError) return result;
    if (++initCount_ == 1) {
        buildLoopbackTable(monitors ? *monitors : std::vector<JackMonitorClient>{});
        // A server answered the probe but PortAudio's client did not open:
        // refused, as far as libjack's bookkeeping goes.
        if (monitors && jackApi_ < 0) JackStream::noteClientsWrittenOff();
    }
    return paNoError;
}

PaError PortAudioJackHost::terminate() {
    std::lock_guard<std::mutex> lock(mutex_);
    const AudioLibraryMessageScope quiet;
    const PaError result = Pa_Terminate();
    if (result == paNoError && initCount_ > 0 && --initCount_ == 0) {
        loopbacks_.clear();
        jackApi_ = paHostApiNotFound;
        portAudioCount_ = 0;
    }
    return result;
}

void PortAudioJackHost::buildLoopbackTable(const std::vector<JackMonitorClient>& monitors) {
    loopbacks_.clear();
    portAudioCount_ = Pa_GetDeviceCount();
    jackApi_ = Pa_HostApiTypeIdToHostApiIndex(paJACK);
    const PaHostApiInfo* jack = jackApi_ >= 0 ? Pa_GetHostApiInfo(jackApi_) : nullptr;
    if (!jack || portAudioCount_ < 0) {
        jackApi_ = paHostApiNotFound;
        return;
    }
    jackApiInfo_ = *jack;
    for (int i = 0; i < jack->deviceCount; ++i) {
        const PaDeviceIndex device = Pa_HostApiDeviceIndexToDeviceIndex(jackApi_, i);
        const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
        if (!info || !info->name) continue;
        for (const auto& monitor : monitors) {
            if (monitor.clientName != info->name) continue;
            Loopback loopback{device, std::string(info->name) + kLoopbackSuffix, *info};
            loopback.info.maxOutputChannels = 0;
            loopback.info.maxInputChannels =
                monitor.monitorPorts < info->maxInputChannels ? monitor.monitorPorts : info->maxInputChannels;
            loopbacks_.push_back(std::move(loopback));
            break;
        }
    }
    // Names point into the table's own strings; set them once it stops moving.
    for (auto& loopback : loopbacks_) loopback.info.name = loopback.name.c_str();
    jackApiInfo_.deviceCount = jack->deviceCount + static_cast<int>(loopbacks_.size());
}

const char* PortAudioJackHost::errorText(PaError error) { return Pa_GetErrorText(error); }

PaDeviceIndex PortAudioJackHost::deviceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0 || initCount_ == 0) return count;
    return count + static_cast<PaDeviceIndex>(loopbacks_.size());
}

const PaDeviceInfo* PortAudioJackHost::deviceInfo(PaDeviceIndex device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (initCount_ > 0 && device >= portAudioCount_ &&
        device - portAudioCount_ < static_cast<PaDeviceIndex>(loopbacks_.size()))
        return &loopbacks_[static_cast<size_t>(device - portAudioCount_)].info;
    return Pa_GetDeviceInfo(device);
}

const PaHostApiInfo* PortAudioJackHost::hostApiInfo(PaHostApiIndex hostApi) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (hostApi < 0) return nullptr;
    if (initCount_ > 0 && hostApi == jackApi_) return &jackApiInfo_;
    return Pa_GetHostApiInfo(hostApi);
}

PaHostApiIndex PortAudioJackHost::loopbackHostApi() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (initCount_ == 0) return paNotInitialized;
    return jackApi_;
}

PaDeviceIndex PortAudioJackHost::hostApiDeviceIndexToDeviceIndex(PaHostApiIndex hostApi, int hostApiDeviceIndex) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (initCount_ > 0 && hostApi == jackApi_ && jackApi_ >= 0) {
        const int own = jackApiInfo_.deviceCount - static_cast<int>(loopbacks_.size());
        if (hostApiDeviceIndex >= own && hostApiDeviceIndex < jackApiInfo_.deviceCount)
            return portAudioCount_ + (hostApiDeviceIndex - own);
    }
    return Pa_HostApiDeviceIndexToDeviceIndex(hostApi, hostApiDeviceIndex);
}

PaDeviceIndex PortAudioJackHost::defaultOutputDevice() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (initCount_ == 0 || jackApi_ < 0) return paNoDevice;
    return jackApiInfo_.defaultOutputDevice;
}

int PortAudioJackHost::isLoopback(PaDeviceIndex device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (initCount_ == 0) return paNotInitialized;
    if (device >= portAudioCount_ && device - portAudioCount_ < static_cast<PaDeviceIndex>(loopbacks_.size()))
        return 1;
    return device >= 0 && device < portAudioCount_ ? 0 : paInvalidDevice;
}

PaDeviceIndex PortAudioJackHost::portAudioIndex(PaDeviceIndex device) {
    if (initCount_ > 0 && device >= portAudioCount_ &&
        device - portAudioCount_ < static_cast<PaDeviceIndex>(loopbacks_.size()))
        return loopbacks_[static_cast<size_t>(device - portAudioCount_)].captured;
    return device;
}

bool PortAudioJackHost::translate(const PaStreamParameters* in, PaStreamParameters& out) {
    if (!in) return false;
    out = *in;
    out.device = portAudioIndex(in->device);
    return true;
}

PaError PortAudioJackHost::isFormatSupported(const PaStreamParameters* input, const PaStreamParameters* output,
                                             double sampleRate) {
    std::lock_guard<std::mutex> lock(mutex_);
    const AudioLibraryMessageScope quiet;
    PaStreamParameters in{}, out{};
    const bool hasIn = translate(input, in);
    const bool hasOut = translate(output, out);
    return Pa_IsFormatSupported(hasIn ? &in : nullptr, hasOut ? &out : nullptr, sampleRate);
}

const PortAudioJackHost::Loopback* PortAudioJackHost::loopbackOf(PaDeviceIndex device) {
    if (initCount_ > 0 && device >= portAudioCount_ &&
        device - portAudioCount_ < static_cast<PaDeviceIndex>(loopbacks_.size()))
        return &loopbacks_[static_cast<size_t>(device - portAudioCount_)];
    return nullptr;
}

JackStream* PortAudioJackHost::own(PaStream* stream) {
    for (const auto& slot : own_) {
        JackStream* s = slot.load(std::memory_order_acquire);
        if (s && reinterpret_cast<PaStream*>(s) == stream) return s;
    }
    return nullptr;
}

bool PortAudioJackHost::isJackDevice(PaDeviceIndex device) {
    if (initCount_ == 0 || jackApi_ < 0 || device < 0 || device >= portAudioCount_) return false;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    return info && info->hostApi == jackApi_;
}

PaError PortAudioJackHost::openOwn(JackStream::Direction direction, const char* client,
                                   const PaStreamParameters& parameters, double sampleRate,
                                   unsigned long framesPerBuffer, PaStreamCallback* callback, void* userData,
                                   PaStream** stream) {
    if ((parameters.sampleFormat & ~paNonInterleaved) != paFloat32) return paSampleFormatNotSupported;
    if (!client) return paInvalidDevice;
    auto free = std::find_if(own_.begin(), own_.end(), [](const auto& slot) { return slot.load() == nullptr; });
    if (free == own_.end()) return paInsufficientMemory;
    JackStream::Format format;
    format.channels = parameters.channelCount;
    format.nonInterleaved = (parameters.sampleFormat & paNonInterleaved) != 0;
    format.framesPerBuffer = framesPerBuffer;
    PaError error = paNoError;
    auto made = JackStream::open(direction, client, format, sampleRate, callback, userData, error);
    if (!made) return error;
    *stream = reinterpret_cast<PaStream*>(made.get());
    free->store(made.release(), std::memory_order_release);
    return paNoError;
}

const char* PortAudioJackHost::jackClientName(PaDeviceIndex device) {
    const Loopback* loopback = loopbackOf(device);
    if (!loopback && !isJackDevice(device)) return nullptr;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(loopback ? loopback->captured : device);
    return info ? info->name : nullptr;
}

std::string PortAudioJackHost::jackClientOf(PaDeviceIndex device) {
    std::lock_guard<std::mutex> lock(mutex_);
    const char* name = jackClientName(device);
    return name ? name : std::string();
}

PaError PortAudioJackHost::openJackStream(PaStream** stream, bool capture, const std::string& client,
                                          const PaStreamParameters& parameters, double sampleRate,
                                          unsigned long framesPerBuffer, PaStreamCallback* callback,
                                          void* userData) {
    std::lock_guard<std::mutex> lock(mutex_);
    const AudioLibraryMessageScope quiet;
    if (!stream || client.empty()) return paInvalidDevice;
    return openOwn(capture ? JackStream::Direction::Capture : JackStream::Direction::Playback, client.c_str(),
                   parameters, sampleRate, framesPerBuffer, callback, userData, stream);
}

PaError PortAudioJackHost::openStream(PaStream** stream, const PaStreamParameters* input,
                                      const PaStreamParameters* output, double sampleRate,
                                      unsigned long framesPerBuffer, PaStreamFlags flags,
                                      PaStreamCallback* callback, void* userData) {
    std::lock_guard<std::mutex> lock(mutex_);
    const AudioLibraryMessageScope quiet;
    if (const Loopback* loopback = input && !output ? loopbackOf(input->device) : nullptr) {
        if (input->channelCount > loopback->info.maxInputChannels) return paInvalidChannelCount;
        return openOwn(JackStream::Direction::Capture, jackClientName(input->device), *input, sampleRate,
                       framesPerBuffer, callback, userData, stream);
    }
    if (output && !input && isJackDevice(output->device)) {
        if (output->channelCount > Pa_GetDeviceInfo(output->device)->maxOutputChannels) return paInvalidChannelCount;
        return openOwn(JackStream::Direction::Playback, jackClientName(output->device), *output, sampleRate,
                       framesPerBuffer, callback, userData, stream);
    }
    PaStreamParameters in{}, out{};
    const bool hasIn = translate(input, in);
    const bool hasOut = translate(output, out);
    return Pa_OpenStream(stream, hasIn ? &in : nullptr, hasOut ? &out : nullptr, sampleRate, framesPerBuffer,
                         flags, callback, userData);
}

PaError PortAudioJackHost::setStreamFinishedCallback(PaStream* stream, PaStreamFinishedCallback* callback) {
    if (JackStream* s = own(stream)) {
        s->setFinishedCallback(callback);
        return paNoError;
    }
    return Pa_SetStreamFinishedCallback(stream, callback);
}
PaError PortAudioJackHost::startStream(PaStream* stream) {
    if (JackStream* s = own(stream)) return s->start();
    return Pa_StartStream(stream);
}
PaError PortAudioJackHost::stopStream(PaStream* stream) {
    if (JackStream* s = own(stream)) return s->stop();
    return Pa_StopStream(stream);
}
PaError PortAudioJackHost::abortStream(PaStream* stream) { return stopStream(stream); }
PaError PortAudioJackHost::closeStream(PaStream* stream) {
    std::unique_ptr<JackStream> closed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& slot : own_) {
            if (reinterpret_cast<PaStream*>(slot.load()) != stream) continue;
            closed.reset(slot.exchange(nullptr));
            break;
        }
    }
    // Outside the lock: closing waits for the process cycle to end.
    if (closed) return paNoError;
    return Pa_CloseStream(stream);
}
const PaStreamInfo* PortAudioJackHost::streamInfo(PaStream* stream) {
    if (JackStream* s = own(stream)) return s->info();
    return Pa_GetStreamInfo(stream);
}
PaTime PortAudioJackHost::streamTime(PaStream* stream) {
    if (own(stream)) return JackStream::time();
    return Pa_GetStreamTime(stream);
}
double PortAudioJackHost::streamCpuLoad(PaStream* stream) {
    if (own(stream)) return 0.0;
    return Pa_GetStreamCpuLoad(stream);
}
const PaHostErrorInfo* PortAudioJackHost::lastHostErrorInfo() { return Pa_GetLastHostErrorInfo(); }

}  // namespace vbz
