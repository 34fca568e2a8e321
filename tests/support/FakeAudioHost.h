// A scripted audio host for tests: a device table, host APIs, failures on
// demand, and streams whose callbacks the test drives. Install it with
// vbz::setAudioHost(&fake) and remove it with vbz::setAudioHost(nullptr).
#pragma once

#include <set>
#include <string>
#include <vector>

#include "sdk/platform/IAudioHost.h"

namespace vbz_test {

class FakeAudioHost : public vbz::IAudioHost {
public:
    struct Device {
        std::string name;
        PaHostApiIndex hostApi = 0;
        int maxInputChannels = 0;
        int maxOutputChannels = 0;
        double lowOutputLatency = 0.01;
        double highOutputLatency = 0.1;
        double defaultSampleRate = 48000.0;
        bool loopback = false;
        bool missingInfo = false;  // deviceInfo answers null
        int loopbackError = 0;     // negative: isLoopback answers it
        std::set<unsigned> rates{48000};
    };
    struct Stream {
        PaStreamParameters input{}, output{};
        bool hasInput = false, hasOutput = false;
        double sampleRate = 0;
        unsigned long framesPerBuffer = 0;
        PaStreamCallback* callback = nullptr;
        PaStreamFinishedCallback* finished = nullptr;
        void* userData = nullptr;
        bool started = false, closed = false;
        PaStreamInfo info{};
    };

    // Host APIs by index; the loopback host API is the one named kLoopbackApi.
    std::vector<std::string> hostApis{"ALSA", "JACK Audio Connection Kit"};
    PaHostApiIndex loopbackApi = 1;  // negative: no loopback host API
    std::vector<Device> devices;
    PaDeviceIndex defaultOutput = paNoDevice;

    PaError initializeError = paNoError;
    PaError terminateError = paNoError;
    PaError deviceCountError = paNoError;

    int initializeCalls = 0;
    int terminateCalls = 0;
    int balance = 0;  // successful initialisations not yet terminated
    std::vector<Stream> streams;

    // Adds a device and returns its index.
    PaDeviceIndex add(Device d) {
        devices.push_back(std::move(d));
        return static_cast<PaDeviceIndex>(devices.size() - 1);
    }
    PaDeviceIndex addOutput(const std::string& name, PaHostApiIndex api, int channels) {
        Device d;
        d.name = name;
        d.hostApi = api;
        d.maxOutputChannels = channels;
        return add(d);
    }
    PaDeviceIndex addLoopback(const std::string& name, int channels = 2) {
        Device d;
        d.name = name;
        d.hostApi = loopbackApi;
        d.maxInputChannels = channels;
        d.loopback = true;
        return add(d);
    }

    PaError initialize() override {
        ++initializeCalls;
        if (initializeError != paNoError) return initializeError;
        ++balance;
        return paNoError;
    }
    PaError terminate() override {
        ++terminateCalls;
        if (balance > 0) --balance;
        return terminateError;
    }
    const char* errorText(PaError error) override {
        switch (error) {
            case paNoError: return "Success";
            case paNotInitialized: return "PortAudio not initialized";
            case paInternalError: return "Internal PortAudio error";
            case paInvalidDevice: return "Invalid device";
            case paDeviceUnavailable: return "Device unavailable";
            case paInsufficientMemory: return "Insufficient memory";
            default: return "Illegal error number";
        }
    }
    PaDeviceIndex deviceCount() override {
        if (deviceCountError != paNoError) return deviceCountError;
        return static_cast<PaDeviceIndex>(devices.size());
    }
    const PaDeviceInfo* deviceInfo(PaDeviceIndex device) override {
        if (device < 0 || device >= static_cast<PaDeviceIndex>(devices.size())) return nullptr;
        const Device& d = devices[static_cast<size_t>(device)];
        if (d.missingInfo) return nullptr;
        infos_.resize(devices.size());
        PaDeviceInfo& info = infos_[static_cast<size_t>(device)];
        info = PaDeviceInfo{};
        info.structVersion = 2;
        info.name = d.name.c_str();
        info.hostApi = d.hostApi;
        info.maxInputChannels = d.maxInputChannels;
        info.maxOutputChannels = d.maxOutputChannels;
        info.defaultLowOutputLatency = d.lowOutputLatency;
        info.defaultHighOutputLatency = d.highOutputLatency;
        info.defaultLowInputLatency = d.lowOutputLatency;
        info.defaultHighInputLatency = d.highOutputLatency;
        info.defaultSampleRate = d.defaultSampleRate;
        return &info;
    }
    const PaHostApiInfo* hostApiInfo(PaHostApiIndex api) override {
        if (api < 0 || api >= static_cast<PaHostApiIndex>(hostApis.size())) return nullptr;
        apiInfos_.resize(hostApis.size());
        PaHostApiInfo& info = apiInfos_[static_cast<size_t>(api)];
        info = PaHostApiInfo{};
        info.structVersion = 1;
        info.name = hostApis[static_cast<size_t>(api)].c_str();
        info.deviceCount = static_cast<int>(devicesOf(api).size());
        info.defaultOutputDevice = api == loopbackApi ? defaultOutput : paNoDevice;
        info.defaultInputDevice = paNoDevice;
        return &info;
    }
    PaHostApiIndex loopbackHostApi() override { return loopbackApi < 0 ? paHostApiNotFound : loopbackApi; }
    PaDeviceIndex hostApiDeviceIndexToDeviceIndex(PaHostApiIndex api, int i) override {
        const auto of = devicesOf(api);
        if (i < 0 || i >= static_cast<int>(of.size())) return paInvalidDevice;
        return of[static_cast<size_t>(i)];
    }
    PaDeviceIndex defaultOutputDevice() override { return defaultOutput; }
    int isLoopback(PaDeviceIndex device) override {
        if (device < 0 || device >= static_cast<PaDeviceIndex>(devices.size())) return paInvalidDevice;
        const Device& d = devices[static_cast<size_t>(device)];
        if (d.loopbackError < 0) return d.loopbackError;
        return d.loopback ? 1 : 0;
    }
    PaError isFormatSupported(const PaStreamParameters* input, const PaStreamParameters* output,
                              double rate) override {
        const PaStreamParameters* p = output ? output : input;
        if (!p || p->device < 0 || p->device >= static_cast<PaDeviceIndex>(devices.size())) return paInvalidDevice;
        const Device& d = devices[static_cast<size_t>(p->device)];
        lastFormatChecked = *p;
        return d.rates.count(static_cast<unsigned>(rate)) ? paNoError : paInvalidSampleRate;
    }
    PaStreamParameters lastFormatChecked{};

    PaError openStream(PaStream** stream, const PaStreamParameters* input, const PaStreamParameters* output,
                       double rate, unsigned long frames, PaStreamFlags, PaStreamCallback* callback,
                       void* userData) override {
        if (openError != paNoError) return openError;
        Stream s;
        if (input) s.input = *input, s.hasInput = true;
        if (output) s.output = *output, s.hasOutput = true;
        s.sampleRate = rate;
        s.framesPerBuffer = frames;
        s.callback = callback;
        s.userData = userData;
        s.info.sampleRate = rate;
        s.info.outputLatency = 0.01;
        s.info.inputLatency = 0.01;
        streams.push_back(s);
        *stream = reinterpret_cast<PaStream*>(streams.size());  // 1-based handle
        return paNoError;
    }
    PaError openError = paNoError;
    std::string jackClientOf(PaDeviceIndex device) override {
        if (device < 0 || device >= static_cast<PaDeviceIndex>(devices.size())) return {};
        const Device& d = devices[static_cast<size_t>(device)];
        return d.loopback || d.hostApi == loopbackApi ? d.name : std::string();
    }
    PaError openJackStream(PaStream** stream, bool capture, const std::string& client, const PaStreamParameters& p,
                           double rate, unsigned long frames, PaStreamCallback* callback, void* userData) override {
        jackOpens.push_back({client, balance});
        return openStream(stream, capture ? &p : nullptr, capture ? nullptr : &p, rate, frames, paNoFlag, callback,
                          userData);
    }
    // Each openJackStream: the client, and the initialisations of the host
    // held then.
    struct JackOpen {
        std::string client;
        int held = 0;
    };
    std::vector<JackOpen> jackOpens;
    Stream* find(PaStream* s) {
        const auto n = reinterpret_cast<size_t>(s);
        return n >= 1 && n <= streams.size() ? &streams[n - 1] : nullptr;
    }
    PaError setStreamFinishedCallback(PaStream* s, PaStreamFinishedCallback* cb) override {
        Stream* st = find(s);
        if (!st) return paBadStreamPtr;
        st->finished = cb;
        return paNoError;
    }
    PaError startStream(PaStream* s) override {
        Stream* st = find(s);
        if (!st) return paBadStreamPtr;
        st->started = true;
        return paNoError;
    }
    PaError stopStream(PaStream* s) override { return abortStream(s); }
    PaError abortStream(PaStream* s) override {
        Stream* st = find(s);
        if (!st) return paBadStreamPtr;
        const bool was = st->started;
        st->started = false;
        if (was && st->finished) st->finished(st->userData);
        return paNoError;
    }
    PaError closeStream(PaStream* s) override {
        Stream* st = find(s);
        if (!st) return paBadStreamPtr;
        st->closed = true;
        return paNoError;
    }
    const PaStreamInfo* streamInfo(PaStream* s) override {
        Stream* st = find(s);
        return st ? &st->info : nullptr;
    }
    PaTime streamTime(PaStream*) override { return now; }
    double streamCpuLoad(PaStream*) override { return 0.0; }
    const PaHostErrorInfo* lastHostErrorInfo() override { return &hostError; }
    PaTime now = 0.0;
    PaHostErrorInfo hostError{};

private:
    std::vector<PaDeviceIndex> devicesOf(PaHostApiIndex api) {
        std::vector<PaDeviceIndex> out;
        for (size_t i = 0; i < devices.size(); ++i)
            if (devices[i].hostApi == api) out.push_back(static_cast<PaDeviceIndex>(i));
        return out;
    }
    std::vector<PaDeviceInfo> infos_;
    std::vector<PaHostApiInfo> apiInfos_;
};

// Installs a fake host for the scope of a test.
class ScopedAudioHost {
public:
    explicit ScopedAudioHost(vbz::IAudioHost& host) { vbz::setAudioHost(&host); }
    ~ScopedAudioHost() { vbz::setAudioHost(nullptr); }
    ScopedAudioHost(const ScopedAudioHost&) = delete;
    ScopedAudioHost& operator=(const ScopedAudioHost&) = delete;
};

}  // namespace vbz_test
