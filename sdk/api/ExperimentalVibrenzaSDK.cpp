// The experimental handle: audio and ORV connections, ORV and per-effect
// controls, and the static audio device queries.
#include <iostream>

#include "orv-fx/HandlerORV.h"
#include "orv-fx/orvfx.h"
#include "sdk/api/AudioDeviceQueries.h"
#include "sdk/api/HandlerFactory.h"
#include "sdk/core/IHandler.h"
#include "sdk/core/LogLine.h"
#include "sdk/platform/IAudioHost.h"
#include "streaming/HandlerStreaming.h"
#include "vibrenza/vibrenza.h"

namespace {

constexpr const char* kTag = "ExperimentalVibrenzaSDK";

// The back-end as the wanted class, or null when it is of another kind (a
// test's scripted back-end reports a kind without being that class).
template <typename Handler>
Handler* backendOf(IHandler* handler, int kind) {
    if (!handler || handler->kind() != kind) return nullptr;
    return dynamic_cast<Handler*>(handler);
}

// The caller's record with the back-end's answers copied back, except the two
// texts: the back-end keeps its own copies, and pointing the caller at them
// would leave the caller with dangling pointers after the next change of
// back-end.
void copyBackNumbers(const vbz_audio_settings_t& used, vbz_audio_settings_t& settings) {
    settings.sampleRate = used.sampleRate;
    settings.bufferSize = used.bufferSize;
    settings.nbStreamChannel = used.nbStreamChannel;
    settings.suggestedOutputLatency = used.suggestedOutputLatency;
}

// The loopback device at index with its current name, so that the capture
// finds it again after the device list has changed. Needs the host
// initialised.
vbz::AudioDeviceRef loopbackRef(int index) {
    vbz::AudioDeviceRef ref;
    ref.index = index;
    const PaDeviceInfo* info = vbz::audioHost().deviceInfo(index);
    if (info && info->name) ref.name = info->name;
    return ref;
}

}  // namespace

// Shared first steps of the two ORV connections: state test, audio host and
// loopback lookup, swap to the ORV back-end. On success the host is still
// initialised and the result is 0.
int ExperimentalVibrenzaSDK::prepareOrv(const char* loopbackDevice, int& deviceIndex) {
    IHandler* handler = owner->handler;
    if (handler->onOwnThread()) {
        LogLine(3, kTag) << "Cannot connect device: not allowed from a connection callback.";
        return VBZ_ERROR_PROCESS_RUNNING;
    }
    if (handler->connectionStatus() != VBZ_STATE_DISCONNECTED) return VBZ_ERROR_DEVICE_ALREADY_CONNECTED;
    vbz::IAudioHost& host = vbz::audioHost();
    const PaError error = host.initialize();
    if (error != paNoError) {
        host.terminate();
        const char* text = host.errorText(error);
        std::cerr << "Could not initialize PortAudio: " << (text ? text : "") << std::endl;
        return VBZ_ERROR_PORTAUDIO;
    }
    vbz::AudioDeviceRef found;
    deviceIndex = vbz::findLoopbackDevice(loopbackDevice, &found);
    if (deviceIndex < 0) {
        host.terminate();
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    owner->ensureBackendKind(vbz::kKindOrv);
    if (!backendOf<HandlerORV>(owner->handler, vbz::kKindOrv)) {
        host.terminate();
        LogLine(4, kTag) << "The audio-to-haptics back-end could not be made.";
        return VBZ_ERROR_OTHER;
    }
    return 0;
}

int ExperimentalVibrenzaSDK::connectOrv(vbz_output_t output, unsigned int serialNumber,
                                        const char* loopbackDevice) {
    LogLine(2, kTag) << "Command: connectOrv(" << static_cast<int>(output) << ", " << serialNumber << ")";
    if (!owner || !owner->handler) return VBZ_ERROR_NO_INSTANCE;
    int index = -1;
    if (const int refused = prepareOrv(loopbackDevice, index)) return refused;
    auto* orv = backendOf<HandlerORV>(owner->handler, vbz::kKindOrv);
    const vbz::AudioDeviceRef device = loopbackRef(index);
    // Let go before the capture may open its JACK client (as connectOrvAudio
    // does): see OrvLoopback::start.
    vbz::audioHost().terminate();
    // A capture that is not running (its device or the audio server went
    // away since) starts again here; one that cannot is this call's failure.
    const int started = orv->setLoopbackDevice(device);
    if (started < 0) return started;
    return orv->connect(output, serialNumber);
}

int ExperimentalVibrenzaSDK::connectOrvAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings,
                                             const char* loopbackDevice) {
    if (!owner || !owner->handler) return VBZ_ERROR_NO_INSTANCE;
    int index = -1;
    if (const int refused = prepareOrv(loopbackDevice, index)) return refused;
    auto* orv = backendOf<HandlerORV>(owner->handler, vbz::kKindOrv);
    const vbz::AudioDeviceRef device = loopbackRef(index);
    vbz::audioHost().terminate();
    if (const int started = orv->setLoopbackDevice(device); started < 0) return started;
    vbz_audio_settings_t used = settings;
    const int result = orv->connectAudio(preset, used);
    copyBackNumbers(used, settings);
    return result;
}

int ExperimentalVibrenzaSDK::connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings) {
    if (!owner || !owner->handler) return VBZ_ERROR_NO_INSTANCE;
    if (owner->handler->onOwnThread()) {
        LogLine(3, kTag) << "Cannot connect device: not allowed from a connection callback.";
        return VBZ_ERROR_PROCESS_RUNNING;
    }
    if (owner->handler->connectionStatus() != VBZ_STATE_DISCONNECTED) return VBZ_ERROR_DEVICE_ALREADY_CONNECTED;
    owner->ensureBackendKind(vbz::kKindStreaming);
    auto* streaming = backendOf<HandlerStreaming>(owner->handler, vbz::kKindStreaming);
    if (!streaming) {
        LogLine(4, kTag) << "The streaming back-end could not be made.";
        return VBZ_ERROR_OTHER;
    }
    vbz_audio_settings_t used = settings;
    const int result = streaming->connectAudio(preset, used);
    copyBackNumbers(used, settings);
    return result;
}

void ExperimentalVibrenzaSDK::enableLegacyBackend(bool enable) {
    if (owner) owner->legacyBackend = enable;
}

int ExperimentalVibrenzaSDK::getOrvPreset() {
    auto* orv = owner ? backendOf<HandlerORV>(owner->handler, vbz::kKindOrv) : nullptr;
    return orv ? orv->getOrvPreset() : 0;
}

int ExperimentalVibrenzaSDK::setOrvPreset(int preset) {
    if (static_cast<unsigned int>(preset) > 3u) return VBZ_ERROR_INVALID_PARAMETER;
    auto* orv = owner ? backendOf<HandlerORV>(owner->handler, vbz::kKindOrv) : nullptr;
    if (!orv) return VBZ_ERROR_ORVFX;
    orv->setOrvPreset(preset);
    return 0;
}

float ExperimentalVibrenzaSDK::getOrvVolume() {
    auto* orv = owner ? backendOf<HandlerORV>(owner->handler, vbz::kKindOrv) : nullptr;
    return orv ? orv->getOrvVolume() : 0.0f;
}

void ExperimentalVibrenzaSDK::setOrvVolume(float volume) {
    if (auto* orv = owner ? backendOf<HandlerORV>(owner->handler, vbz::kKindOrv) : nullptr)
        orv->setOrvVolume(volume);
}

void ExperimentalVibrenzaSDK::setEffectSpeed(int effectId, float speed) {
    if (auto* streaming = owner ? backendOf<HandlerStreaming>(owner->handler, vbz::kKindStreaming) : nullptr)
        streaming->setEffectSpeed(effectId, speed);
}

void ExperimentalVibrenzaSDK::setEffectVolume(int effectId, float volume) {
    if (auto* streaming = owner ? backendOf<HandlerStreaming>(owner->handler, vbz::kKindStreaming) : nullptr)
        streaming->setEffectVolume(effectId, volume);
}

int ExperimentalVibrenzaSDK::listOrvPresets(const char**& names, int& count) {
    // Filled on first use (thread-safe), never changed afterwards.
    static const char* presetNames[4] = {orvfx_preset_name(0), orvfx_preset_name(1), orvfx_preset_name(2),
                                         orvfx_preset_name(3)};
    names = presetNames;
    count = 4;
    return 0;
}

int ExperimentalVibrenzaSDK::getOutputDevicesNames(const char**& names, int& count) {
    return vbz::getOutputDevicesNames(names, count);
}

int ExperimentalVibrenzaSDK::getLoopbackDevicesNames(const char**& names, int& count) {
    return vbz::getLoopbackDevicesNames(names, count);
}

int ExperimentalVibrenzaSDK::getOutputDeviceAPIs(const char* deviceName, const char**& apiNames, int& count) {
    return vbz::getOutputDeviceAPIs(deviceName, apiNames, count);
}

int ExperimentalVibrenzaSDK::getOutputDeviceInfo(const char* deviceName, const char* apiName,
                                                 int& maxOutputChannels, float& defaultLowOutputLatency,
                                                 float& defaultHighOutputLatency) {
    return vbz::getOutputDeviceInfo(deviceName, apiName, maxOutputChannels, defaultLowOutputLatency,
                                    defaultHighOutputLatency);
}

int ExperimentalVibrenzaSDK::getSupportedStandardSampleRates(const char* deviceName, const char* apiName,
                                                             unsigned int*& rates, int& count) {
    return vbz::getSupportedStandardSampleRates(deviceName, apiName, rates, count);
}
