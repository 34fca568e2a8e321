// The flat C interface over the instance registry.
//
// The registry's mutex is held only around look-ups, inserts and erases:
// never while a method runs or an instance is destroyed, so that a callback
// that calls a vbz_ function while the back-end joins its thread does not
// deadlock. The look-up hands out the plain pointer; freeing an instance
// while another thread is inside a call on it stays outside the contract.
#include <climits>
#include <exception>
#include <map>
#include <mutex>
#include <string>

#include "sdk/core/ErrorText.h"
#include "sdk/core/LogLine.h"
#include "vibrenza/vbz_c_api.h"
#include "vibrenza/vibrenza.h"

namespace {

constexpr const char* kTag = "Vibrenza";
constexpr const char* kNoDevice = "noDeviceConnected";

struct Registry {
    std::mutex mutex;
    std::map<int, VibrenzaSDK*> instances;
    int nextId = 0;
};

Registry& registry() {
    static Registry* made = new Registry();  // outlives every static destructor
    return *made;
}

VibrenzaSDK* findInstance(int id, const char* function) {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.instances.find(id);
        if (it != r.instances.end()) return it->second;
    }
    LogLine(3, kTag) << function << ": no Vibrenza instance with id " << id << ".";
    return nullptr;
}

int nullArgument(const char* function) {
    LogLine(4, kTag) << function << ": a required pointer argument is null.";
    return VBZ_ERROR_INVALID_PARAMETER;
}

// One returned text per function: replaced by the next call of the same
// function; the lock only guards the string object during the replacement.
struct Text {
    std::mutex mutex;
    std::string value;
    explicit Text(const char* initial) : value(initial) {}
    const char* set(std::string next) {
        std::lock_guard<std::mutex> lock(mutex);
        value = std::move(next);
        return value.c_str();
    }
    const char* get() {
        std::lock_guard<std::mutex> lock(mutex);
        return value.c_str();
    }
};

}  // namespace

extern "C" {

int vbz_createSDKInstance(const char* logFile) {
    VibrenzaSDK* sdk = nullptr;
    try {
        sdk = new VibrenzaSDK(logFile ? logFile : "");
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        // Ids are never reused: once the counter is spent, no more instances.
        if (r.nextId < INT_MAX) {
            const int id = r.nextId;
            r.instances.emplace(id, sdk);
            ++r.nextId;
            return id;
        }
    } catch (const std::exception& e) {
        LogLine(5, kTag) << "vbz_createSDKInstance: " << e.what();
        delete sdk;
        return VBZ_ERROR_OTHER;
    }
    LogLine(4, kTag) << "vbz_createSDKInstance: no instance id left.";
    delete sdk;  // outside the registry's lock
    return VBZ_ERROR_OTHER;
}

void vbz_freeSDKInstance(int id) {
    VibrenzaSDK* sdk = nullptr;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.instances.find(id);
        if (it == r.instances.end()) return;
        // The callback returns into the instance's threads and objects: it
        // stays registered, for an ordinary call to free it later.
        if (!it->second->callingBack()) {
            sdk = it->second;
            r.instances.erase(it);
        }
    }
    if (!sdk) {
        LogLine(4, kTag) << __func__ << ": cannot free instance " << id
                         << " from inside one of its callbacks or the log callback: "
                         << vbz::errorText(VBZ_ERROR_PROCESS_RUNNING);
        return;
    }
    delete sdk;
}

int vbz_connectDevice(int id, vbz_output_t output, unsigned int serialNumber) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->connect(output, serialNumber) : VBZ_ERROR_NO_INSTANCE;
}

vbz_connection_state_t vbz_connectionStatus(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->connectionStatus() : VBZ_STATE_DISCONNECTED;
}

int vbz_disconnectDevice(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->disconnect() : VBZ_ERROR_NO_INSTANCE;
}

int vbz_scanDevices(int id, vbz_output_t output) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->scanDevices(output) : VBZ_ERROR_NO_INSTANCE;
}

int vbz_scanStatus(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->scanStatus() : VBZ_ERROR_NO_INSTANCE;
}

vbz_device_info_t* vbz_getFirstScannedDevice(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->getFirstScannedDevice() : nullptr;
}

unsigned int vbz_getVibrenzaSerialNumber(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->getVibrenzaSerialNumber() : 0xFFFFFFFFu;
}

const char* vbz_getVibrenzaSerialNumberAsString(int id) {
    static Text text(kNoDevice);
    VibrenzaSDK* sdk = findInstance(id, __func__);
    // The method runs without the text's lock: it may log, and a log
    // callback may call this function.
    return sdk ? text.set(sdk->getVibrenzaSerialNumberAsString()) : text.get();
}

vbz_device_type_t vbz_getVibrenzaType(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->getVibrenzaType() : VBZ_DEVICE_UNKNOWN;
}

const char* vbz_getVibrenzaVersion(int id) {
    static Text text(kNoDevice);
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? text.set(sdk->getVibrenzaVersion()) : text.get();
}

int vbz_setConnectionCallback(int id, vbz_connection_callback_t callback, void* userData) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->setConnectionCallback(callback, userData) : VBZ_ERROR_NO_INSTANCE;
}

int vbz_loadPatternFromJSON(int id, const char* json) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->loadPatternFromJSON(json) : VBZ_ERROR_NO_INSTANCE;
}

int vbz_unloadPattern(int id, int patternId) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->unloadPattern(patternId) : VBZ_ERROR_NO_INSTANCE;
}

int vbz_playEffect(int id, int patternId, vbz_effect_properties_t properties) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->playEffect(patternId, properties) : VBZ_ERROR_NO_INSTANCE;
}

int vbz_stopEffect(int id, int effectId, float fadeTime) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->stopEffect(effectId, fadeTime) : VBZ_ERROR_NO_INSTANCE;
}

vbz_effect_state_t vbz_effectState(int id, int effectId) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->effectState(effectId) : VBZ_EFFECT_UNKNOWN;
}

int vbz_pauseAll(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->pauseAll() : VBZ_ERROR_NO_INSTANCE;
}

int vbz_resumeAll(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->resumeAll() : VBZ_ERROR_NO_INSTANCE;
}

int vbz_stopAll(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->stopAll() : VBZ_ERROR_NO_INSTANCE;
}

int vbz_setAccumulationWindowToPattern(int id, int mainPatternId, int fallbackPatternId, float timeWindow,
                                       int maxAccumulation) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->setAccumulationWindowToPattern(mainPatternId, fallbackPatternId, timeWindow, maxAccumulation)
               : VBZ_ERROR_NO_INSTANCE;
}

int vbz_eraseAccumulationWindowToPattern(int id, int patternId) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->eraseAccumulationWindowToPattern(patternId) : VBZ_ERROR_NO_INSTANCE;
}

int vbz_getPatternIntensityBoost(int id, int patternId) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->getPatternIntensityBoost(patternId) : 0;
}

int vbz_setGlobalIntensityBoost(int id, int boost) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->setGlobalIntensityBoost(boost) : VBZ_ERROR_NO_INSTANCE;
}

int vbz_getGlobalIntensityBoost(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->getGlobalIntensityBoost() : VBZ_ERROR_NO_INSTANCE;
}

const char* vbz_getSDKVersion(void) {
    static const std::string version = VibrenzaSDK::getSDKVersion();
    return version.c_str();
}

const char* vbz_serialNumberToString(unsigned int serialNumber) {
    static Text text("");
    return text.set(VibrenzaSDK::serialNumberToString(serialNumber));
}

int vbz_setLogCallback(vbz_log_callback_t callback) { return VibrenzaSDK::setLogCallback(callback); }

int vbz_exp_connectOrv(int id, vbz_output_t output, unsigned int serialNumber, const char* loopbackDevice) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->ExperimentalAPI().connectOrv(output, serialNumber, loopbackDevice) : VBZ_ERROR_NO_INSTANCE;
}

int vbz_exp_connectOrvAudio(int id, vbz_audio_preset_t preset, vbz_audio_settings_t* settings,
                            const char* loopbackDevice) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    if (!sdk) return VBZ_ERROR_NO_INSTANCE;
    if (!settings) return nullArgument(__func__);
    return sdk->ExperimentalAPI().connectOrvAudio(preset, *settings, loopbackDevice);
}

int vbz_exp_connectAudio(int id, vbz_audio_preset_t preset, vbz_audio_settings_t* settings) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    if (!sdk) return VBZ_ERROR_NO_INSTANCE;
    if (!settings) return nullArgument(__func__);
    return sdk->ExperimentalAPI().connectAudio(preset, *settings);
}

void vbz_exp_enableLegacyBackend(int id, bool enable) {
    if (VibrenzaSDK* sdk = findInstance(id, __func__)) sdk->ExperimentalAPI().enableLegacyBackend(enable);
}

int vbz_exp_getOrvPreset(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->ExperimentalAPI().getOrvPreset() : VBZ_ERROR_NO_INSTANCE;
}

int vbz_exp_setOrvPreset(int id, int preset) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->ExperimentalAPI().setOrvPreset(preset) : VBZ_ERROR_NO_INSTANCE;
}

float vbz_exp_getOrvVolume(int id) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    return sdk ? sdk->ExperimentalAPI().getOrvVolume() : -9.0f;
}

int vbz_exp_setOrvVolume(int id, float volume) {
    VibrenzaSDK* sdk = findInstance(id, __func__);
    if (!sdk) return VBZ_ERROR_NO_INSTANCE;
    sdk->ExperimentalAPI().setOrvVolume(volume);
    return 0;
}

void vbz_exp_setEffectSpeed(int id, int effectId, float speed) {
    if (VibrenzaSDK* sdk = findInstance(id, __func__)) sdk->ExperimentalAPI().setEffectSpeed(effectId, speed);
}

void vbz_exp_setEffectVolume(int id, int effectId, float volume) {
    if (VibrenzaSDK* sdk = findInstance(id, __func__)) sdk->ExperimentalAPI().setEffectVolume(effectId, volume);
}

int vbz_exp_listOrvPresets(const char*** names, int* count) {
    if (!names || !count) return nullArgument(__func__);
    return ExperimentalVibrenzaSDK::listOrvPresets(*names, *count);
}

int vbz_exp_getOutputDevicesNames(const char*** names, int* count) {
    if (!names || !count) return nullArgument(__func__);
    return ExperimentalVibrenzaSDK::getOutputDevicesNames(*names, *count);
}

int vbz_exp_getLoopbackDevicesNames(const char*** names, int* count) {
    if (!names || !count) return nullArgument(__func__);
    return ExperimentalVibrenzaSDK::getLoopbackDevicesNames(*names, *count);
}

int vbz_exp_getOutputDeviceAPIs(const char* deviceName, const char*** apiNames, int* count) {
    if (!deviceName || !apiNames || !count) return nullArgument(__func__);
    return ExperimentalVibrenzaSDK::getOutputDeviceAPIs(deviceName, *apiNames, *count);
}

int vbz_exp_getOutputDeviceInfo(const char* deviceName, const char* apiName, int* maxOutputChannels,
                                float* defaultLowOutputLatency, float* defaultHighOutputLatency) {
    if (!deviceName || !apiName || !maxOutputChannels || !defaultLowOutputLatency || !defaultHighOutputLatency)
        return nullArgument(__func__);
    return ExperimentalVibrenzaSDK::getOutputDeviceInfo(deviceName, apiName, *maxOutputChannels,
                                                        *defaultLowOutputLatency, *defaultHighOutputLatency);
}

int vbz_exp_getSupportedStandardSampleRates(const char* deviceName, const char* apiName, unsigned int** rates,
                                            int* count) {
    if (!deviceName || !apiName || !rates || !count) return nullArgument(__func__);
    return ExperimentalVibrenzaSDK::getSupportedStandardSampleRates(deviceName, apiName, *rates, *count);
}

void vbz_defaultEffectProperties(vbz_effect_properties_t* properties) {
    if (properties) *properties = vbz_effect_properties_t();
}

void vbz_exp_defaultAudioSettings(vbz_audio_settings_t* settings) {
    if (settings) *settings = vbz_audio_settings_t();
}

}  // extern "C"
