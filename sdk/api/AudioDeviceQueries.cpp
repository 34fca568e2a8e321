#include "sdk/api/AudioDeviceQueries.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "sdk/core/DeviceNameFilter.h"

namespace vbz {

namespace {

constexpr const char* kNoDevice = "noDevice";
constexpr const char* kNoApi = "noAPI";
constexpr unsigned int kNoRate = 0xFFFFFFFFu;

// Strings and the pointer array handed to the caller; one per query.
struct NameStore {
    std::vector<std::string> names;
    std::vector<const char*> array;

    void clear() {
        names.clear();
        array.clear();
    }
    void rebuild() {
        array.clear();
        for (const auto& n : names) array.push_back(n.c_str());
    }
    void placeholder(const char* text) {
        array.assign(1, text);
    }
    void handOut(const char**& out, int& count) {
        out = array.data();
        count = static_cast<int>(array.size());
    }
    // Hands out the names, or the placeholder alone when there are none:
    // true when there were names.
    bool handOutNames(const char**& out, int& count, const char* none) {
        if (names.empty()) {
            placeholder(none);
        } else {
            rebuild();
        }
        handOut(out, count);
        return !names.empty();
    }
};

NameStore& outputNameStore() {
    static NameStore store;
    return store;
}
NameStore& loopbackNameStore() {
    static NameStore store;
    return store;
}
NameStore& apiNameStore() {
    static NameStore store;
    return store;
}
std::vector<unsigned int>& rateStore() {
    static std::vector<unsigned int> store;
    return store;
}

void errorLine(const std::string& text) { std::cerr << text << std::endl; }

std::string paText(IAudioHost& host, PaError error) {
    const char* text = host.errorText(error);
    return text ? text : "";
}

// Initialises the host; on failure terminates it, reports and gives -15.
int openHost(IAudioHost& host) {
    const PaError error = host.initialize();
    if (error == paNoError) return 0;
    host.terminate();
    errorLine("Could not initialize PortAudio: " + paText(host, error));
    return -15;
}

int paError(IAudioHost& host, PaError error) {
    errorLine("PortAudio raised an error: " + paText(host, error));
    return -15;
}

// Terminates the host; a failure is reported and gives -15.
int closeHost(IAudioHost& host) {
    const PaError error = host.terminate();
    if (error == paNoError) return 0;
    errorLine("Could not terminate PortAudio properly: " + paText(host, error));
    return -15;
}

std::string hostApiName(IAudioHost& host, const PaDeviceInfo* info) {
    const PaHostApiInfo* api = info ? host.hostApiInfo(info->hostApi) : nullptr;
    return api && api->name ? api->name : "";
}

// The loopback host API's record; null (reported) when it is not there.
const PaHostApiInfo* loopbackApiInfo(IAudioHost& host, PaHostApiIndex api) {
    const PaHostApiInfo* info = host.hostApiInfo(api);
    if (!info) errorLine(std::string("Audio interface ") + kLoopbackHostApiName + " not found");
    return info;
}

int nullArgument(const char* query) {
    errorLine(std::string(query) + ": a required argument is null.");
    return -2;
}

}  // namespace

int getOutputDevicesNames(const char**& names, int& count) {
    IAudioHost& host = audioHost();
    if (const int r = openHost(host)) return r;
    const PaDeviceIndex n = host.deviceCount();
    if (n < 0) {
        host.terminate();
        return paError(host, n);
    }
    if (n == 0) {
        host.terminate();
        errorLine("Empty device list.");
        return -4;
    }
    NameStore& store = outputNameStore();
    store.names.clear();
    for (PaDeviceIndex d = 0; d < n; ++d) {
        const PaDeviceInfo* info = host.deviceInfo(d);
        if (!info || !info->name || info->maxOutputChannels < 1) continue;
        bool seen = false;
        for (const auto& name : store.names) seen = seen || name == info->name;
        if (!seen) store.names.emplace_back(info->name);
    }
    if (const int r = closeHost(host)) return r;
    if (store.handOutNames(names, count, kNoDevice)) return 0;
    errorLine("No output audio device found");
    return -4;
}

int getLoopbackDevicesNames(const char**& names, int& count) {
    IAudioHost& host = audioHost();
    if (const int r = openHost(host)) return r;
    NameStore& store = loopbackNameStore();
    store.clear();
    const PaHostApiIndex api = host.loopbackHostApi();
    const PaHostApiInfo* apiInfo = loopbackApiInfo(host, api);
    if (!apiInfo) {
        host.terminate();
        return -4;
    }
    for (int i = 0; i < apiInfo->deviceCount; ++i) {
        const PaDeviceIndex d = host.hostApiDeviceIndexToDeviceIndex(api, i);
        const PaDeviceInfo* info = host.deviceInfo(d);
        if (!info) {
            host.terminate();
            return -1;
        }
        const int loopback = host.isLoopback(d);
        if (loopback < 0) {
            host.terminate();
            return paError(host, loopback);
        }
        if (loopback > 0 && info->name && !isVestDeviceName(info->name)) store.names.emplace_back(info->name);
    }
    const bool found = store.handOutNames(names, count, kNoDevice);
    if (!found) errorLine("No loopback audio device found");
    host.terminate();
    return found ? 0 : -4;
}

int getOutputDeviceAPIs(const char* deviceName, const char**& apiNames, int& count) {
    if (!deviceName) return nullArgument("getOutputDeviceAPIs");
    IAudioHost& host = audioHost();
    if (const int r = openHost(host)) return r;
    const PaDeviceIndex n = host.deviceCount();
    if (n < 0) {
        host.terminate();
        return paError(host, n);
    }
    NameStore& store = apiNameStore();
    store.names.clear();
    for (PaDeviceIndex d = 0; d < n; ++d) {
        const PaDeviceInfo* info = host.deviceInfo(d);
        if (!info || !info->name || info->maxOutputChannels < 1) continue;
        if (std::strcmp(info->name, deviceName) == 0) store.names.push_back(hostApiName(host, info));
    }
    if (const int r = closeHost(host)) return r;
    if (store.handOutNames(apiNames, count, kNoApi)) return 0;
    errorLine(std::string("Device ") + deviceName + " does not support any API.");
    return -4;
}

int getOutputDeviceInfo(const char* deviceName, const char* apiName, int& maxOutputChannels,
                        float& defaultLowOutputLatency, float& defaultHighOutputLatency) {
    if (!deviceName || !apiName) return nullArgument("getOutputDeviceInfo");
    IAudioHost& host = audioHost();
    if (const int r = openHost(host)) return r;
    const int index = findOutputDevice(deviceName, apiName);
    if (index < 0) {
        host.terminate();
        return index;
    }
    const PaDeviceInfo* info = host.deviceInfo(index);
    if (info) {
        maxOutputChannels = info->maxOutputChannels;
        defaultLowOutputLatency = static_cast<float>(info->defaultLowOutputLatency);
        defaultHighOutputLatency = static_cast<float>(info->defaultHighOutputLatency);
    }
    return closeHost(host);
}

int getSupportedStandardSampleRates(const char* deviceName, const char* apiName, unsigned int*& rates,
                                    int& count) {
    if (!deviceName || !apiName) return nullArgument("getSupportedStandardSampleRates");
    std::vector<unsigned int>& store = rateStore();
    auto handOut = [&] {
        rates = store.data();
        count = static_cast<int>(store.size());
    };
    auto fallback = [&](int result) {
        store.assign(std::begin(kStandardSampleRates), std::end(kStandardSampleRates));
        handOut();
        return result;
    };
    IAudioHost& host = audioHost();
    if (const int r = openHost(host)) return fallback(r);
    const int index = findOutputDevice(deviceName, apiName);
    if (index < 0) {
        host.terminate();
        return fallback(index);
    }
    store.clear();
    const PaDeviceInfo* info = host.deviceInfo(index);
    PaStreamParameters output{};
    output.device = index;
    output.channelCount = info ? info->maxOutputChannels : 0;
    output.sampleFormat = paInt16 | paNonInterleaved;
    output.suggestedLatency = 0.0;
    output.hostApiSpecificStreamInfo = nullptr;
    for (const unsigned int rate : kStandardSampleRates)
        if (host.isFormatSupported(nullptr, &output, rate) == paNoError) store.push_back(rate);
    if (closeHost(host) != 0) return fallback(-15);
    const bool found = !store.empty();
    if (!found) store.assign(1, kNoRate);
    handOut();
    if (found) return 0;
    errorLine(std::string("Device ") + deviceName + " using " + apiName +
              "does not support any standard sample rates.");
    return -4;
}

int findOutputDevice(const char* deviceName, const char* apiName) {
    if (!deviceName || !apiName) return nullArgument("findOutputDevice");
    IAudioHost& host = audioHost();
    const PaDeviceIndex n = host.deviceCount();
    if (n < 0) return paError(host, n);
    for (PaDeviceIndex d = 0; d < n; ++d) {
        const PaDeviceInfo* info = host.deviceInfo(d);
        if (!info || !info->name || info->maxOutputChannels < 1) continue;
        if (std::strcmp(info->name, deviceName) == 0 && hostApiName(host, info) == apiName) return d;
    }
    errorLine(std::string("Could not find a device named ") + deviceName + " using " + apiName);
    return -2;
}

int findLoopbackDevice(const char* name, AudioDeviceRef* found) {
    IAudioHost& host = audioHost();
    const PaHostApiIndex api = host.loopbackHostApi();
    const PaHostApiInfo* apiInfo = loopbackApiInfo(host, api);
    if (!apiInfo) return -4;
    if (!name) {
        const PaDeviceInfo* output = host.deviceInfo(host.defaultOutputDevice());
        if (!output || !output->name) {
            errorLine("No default audio output device found, please specify the loopback device explicitly");
            return -2;
        }
        if (isVestDeviceName(output->name)) {
            errorLine("Default audio output is an Quorvenix device, please specify the loopback device "
                      "explicitly or change the default audio output of the computer");
            return -2;
        }
        name = output->name;
    }
    const size_t length = std::strlen(name);
    for (int i = 0; i < apiInfo->deviceCount; ++i) {
        const PaDeviceIndex d = host.hostApiDeviceIndexToDeviceIndex(api, i);
        const PaDeviceInfo* info = host.deviceInfo(d);
        if (!info) return -1;
        if (host.isLoopback(d) != 1 || !info->name) continue;
        if (std::strncmp(info->name, name, length) != 0) continue;
        std::cout << ">>> VibrenzaSDK [Experimental] loopback input device used for ORV: " << info->name
                  << std::endl;
        if (found) *found = AudioDeviceRef{d, info->name};
        return d;
    }
    errorLine(std::string("Could not find a loopback device named ") + name);
    return -2;
}

}  // namespace vbz
