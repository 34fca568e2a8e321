#include "vibrenza/vibrenza.h"

#include <cmath>
#include <exception>

#include "sdk/api/HandlerFactory.h"
#include "sdk/core/IHandler.h"
#include "sdk/core/LogLine.h"
#include "sdk/core/SdkPersistentState.h"
#include "sdk/core/SerialNumberText.h"

namespace {
constexpr const char* kDefaultLogFile = "VibrenzaLogs/VibrenzaSDK.log";
constexpr const char* kTag = "Vibrenza";

LogLine command() {
    return LogLine(2, kTag);
}

// The boost scale of the API to the integer gain of the back-ends:
// 10^(|b|/50) with the sign of b, the exponent formed in single precision,
// truncated and saturated at the gain's 32-bit range.
int boostToGain(int boost) {
    double x = 0.0;
    if (boost > 0) {
        const float e = static_cast<float>(boost) * 0.02f;
        x = std::pow(10.0, static_cast<double>(e));
    } else if (boost < 0) {
        const float e = static_cast<float>(boost) * -0.02f;
        x = -std::pow(10.0, static_cast<double>(e));
    }
    return vbz::saturatingToInt(x);
}

// The inverse scale: 50 * log10(|g|) with the sign of g, truncated.
int gainToBoost(int gain) {
    const double g = static_cast<double>(gain);
    double r = 0.0;
    if (g >= 1.0)
        r = (std::log(g) * 50.0) / std::log(10.0);
    else if (g <= -1.0)
        r = (std::log(-g) * -50.0) / std::log(10.0);
    return vbz::saturatingToInt(r);
}

bool propertiesInBounds(const vbz_effect_properties_t& p) {
    const float floats[] = {p.volume,      p.speed,  p.repeatDelay, p.playAtTime,
                            p.maxDuration, p.height, p.heading,     p.tilting};
    for (float f : floats)
        if (!std::isfinite(f)) return false;
    if (p.priority < 1 || p.priority > 10) return false;
    if (p.speed > 100.0f || p.speed < 0.01f) return false;
    if (p.volume > 250.0f || p.volume < 0.0f) return false;
    if (p.overridePatternBoost) {
        const float boost = static_cast<float>(p.effectBoost);
        if (boost < -100.0f || boost > 100.0f) return false;
    }
    return true;
}

}  // namespace

VibrenzaSDK::VibrenzaSDK(const char* logFile)
    : handler(nullptr), persistentState(nullptr), legacyBackend(false), experimentalApi(this) {
    const std::string path = (logFile && *logFile) ? std::string(logFile) : kDefaultLogFile;
    vbz::setMinLogLevel(2);
    vbz::initFileLogger(path);
    try {
        persistentState = new SdkPersistentState();
        handler = vbz::createHandler(vbz::kKindStreaming, persistentState);
    } catch (const std::exception& e) {
        // Every method then answers -9 (no instance) instead of crashing.
        LogLine(5, kTag) << "Unable to create the back-end: " << e.what();
    }
}

VibrenzaSDK::~VibrenzaSDK() {
    // The back-end's threads read the persistent state until they are joined.
    delete handler;
    handler = nullptr;
    delete persistentState;
    persistentState = nullptr;
}

bool VibrenzaSDK::callingBack() const {
    // A log line does not say which instance wrote it, and it may be written
    // in the middle of a call on any of them: the log callback counts as a
    // callback of every instance.
    return vbz::insideLogSink() || IHandler::insideCallbackOf(persistentState);
}

int VibrenzaSDK::setLogCallback(vbz_log_callback_t callback) {
    return vbz::setApplicationLogCallback(callback);
}

ExperimentalVibrenzaSDK VibrenzaSDK::ExperimentalAPI() { return experimentalApi; }

void VibrenzaSDK::ensureBackendKind(int kind) {
    if (handler && handler->kind() == kind) return;
    IHandler* made = nullptr;
    try {
        made = vbz::createHandler(kind, persistentState);
    } catch (const std::exception& e) {
        LogLine(4, kTag) << "Unable to create the back-end: " << e.what();
    }
    if (!made) return;  // keep the current back-end
    IHandler* old = handler;
    handler = made;
    delete old;  // waits for its worker, a running scan included
}

int VibrenzaSDK::connect(vbz_output_t output, unsigned int serialNumber) {
    command() << "Command: connect(" << output << ", " << serialNumber << ")";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    if (handler->onOwnThread()) {
        LogLine(3, kTag) << "Cannot connect device: not allowed from a connection callback.";
        return VBZ_ERROR_PROCESS_RUNNING;
    }
    if (handler->connectionStatus() != VBZ_STATE_DISCONNECTED) {
        LogLine(3, kTag) << "A device is already connected.";
        return VBZ_ERROR_DEVICE_ALREADY_CONNECTED;
    }
    ensureBackendKind(legacyBackend ? vbz::kKindCommands : vbz::kKindStreaming);
    return handler->connect(output, serialNumber);
}

int VibrenzaSDK::scanDevices(vbz_output_t output) {
    command() << "Command: scanDevices(" << output << ")";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    if (handler->onOwnThread()) {
        LogLine(3, kTag) << "Cannot scan devices: not allowed from a connection callback.";
        return VBZ_ERROR_PROCESS_RUNNING;
    }
    if (handler->connectionStatus() != VBZ_STATE_DISCONNECTED) {
        LogLine(3, kTag) << "A device is already connected.";
        return VBZ_ERROR_DEVICE_ALREADY_CONNECTED;
    }
    ensureBackendKind(legacyBackend ? vbz::kKindCommands : vbz::kKindStreaming);
    return handler->scanDevices(output);
}

vbz_connection_state_t VibrenzaSDK::connectionStatus() {
    return handler ? handler->connectionStatus() : VBZ_STATE_DISCONNECTED;
}

int VibrenzaSDK::scanStatus() { return handler ? handler->scanStatus() : 0; }

int VibrenzaSDK::disconnect() {
    command() << "Command: disconnectDevice()";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->disconnect();
}

vbz_device_info_t* VibrenzaSDK::getFirstScannedDevice() {
    command() << "Command: getFirstScannedDevice()";
    return handler ? handler->getFirstScannedDevice() : nullptr;
}

std::string VibrenzaSDK::getSDKVersion() {
    command() << "Command: getSDKVersion()";
    return IHandler::getSDKVersion();
}

unsigned int VibrenzaSDK::getVibrenzaSerialNumber() {
    command() << "Command: getVibrenzaSerialNumber()";
    return handler ? handler->getVibrenzaSerialNumber() : 0xFFFFFFFFu;
}

std::string VibrenzaSDK::getVibrenzaSerialNumberAsString() {
    command() << "Command: getVibrenzaSerialNumberAsString()";
    return handler ? handler->getVibrenzaSerialNumberAsString() : "noDeviceConnected";
}

vbz_device_type_t VibrenzaSDK::getVibrenzaType() {
    command() << "Command: getVibrenzaType()";
    return handler ? handler->getVibrenzaType() : VBZ_DEVICE_UNKNOWN;
}

std::string VibrenzaSDK::getVibrenzaVersion() {
    command() << "Command: getVibrenzaVersion()";
    return handler ? handler->getVibrenzaVersion() : "noDeviceConnected";
}

std::string VibrenzaSDK::serialNumberToString(unsigned int serialNumber) {
    return vbz::serialNumberText(serialNumber);
}

int VibrenzaSDK::setConnectionCallback(vbz_connection_callback_t callback, void* userData) {
    command() << "Command: setConnectionCallback ("
              << reinterpret_cast<const void*>(callback) << ")";
    if (persistentState) persistentState->setConnectionCallback(callback, userData);
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->setConnectionCallback(callback, userData);
}

int VibrenzaSDK::loadPatternFromJSON(const char* json) {
    command() << "Command: loadPatternFromJSON ## " << json;
    if (!json) {
        LogLine(4, kTag) << "Unable to load pattern: the JSON text is null.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    const int result = handler->loadPatternFromJSON(std::string(json));
    if (result >= 0 && persistentState) persistentState->addPattern(result, std::string(json));
    return result;
}

int VibrenzaSDK::unloadPattern(int patternId) {
    command() << "Command: unloadPattern(ID: " << patternId << ")";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    const int result = handler->unloadPattern(patternId);
    if (result >= 0 && persistentState) persistentState->removePattern(patternId);
    return result;
}

int VibrenzaSDK::playEffect(int patternId, vbz_effect_properties_t p) {
    command() << "Command: playEffect(ID: " << patternId << ", pr : " << p.priority
              << ", vol: " << p.volume << ", spd: " << p.speed << ", rpc: " << p.repeatCount
              << ", rpd: " << p.repeatDelay << ", pat: " << p.playAtTime
              << ", md: " << p.maxDuration << ", boost: " << p.effectBoost
              << ", override: " << p.overridePatternBoost << ", height: " << p.height
              << ", head: " << p.heading << ", tilt: " << p.tilting
              << ", frInv: " << p.frontBackInversion << ", upInv: " << p.upDownInversion
              << ", riInv: " << p.rightLeftInversion << ", frAdd: " << p.frontBackAddition
              << ", upAdd: " << p.upDownAddition << ", riAdd: " << p.rightLeftAddition << ")";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    if (!propertiesInBounds(p)) {
        LogLine(2, kTag) << "Invalid parameter: one of the parameter is out of bound.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return handler->playEffect(patternId, p);
}

int VibrenzaSDK::stopEffect(int effectId, float fadeTime) {
    command() << "Command: stopEffect(ID: " << effectId << ", fadeTime: " << fadeTime << ")";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->stopEffect(effectId, fadeTime);
}

vbz_effect_state_t VibrenzaSDK::effectState(int effectId) {
    return handler ? handler->effectState(effectId) : VBZ_EFFECT_UNKNOWN;
}

int VibrenzaSDK::pauseAll() {
    command() << "Command: pauseAll()";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->pauseAll();
}

int VibrenzaSDK::resumeAll() {
    command() << "Command: resumeAll()";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->resumeAll();
}

int VibrenzaSDK::stopAll() {
    command() << "Command: stopAll()";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->stopAll();
}

int VibrenzaSDK::setAccumulationWindowToPattern(int mainPatternId, int fallbackPatternId,
                                                float timeWindow, int maxAccumulation) {
    command() << "Command: setAccumulation(mainID: " << mainPatternId
              << ", fallbackID: " << fallbackPatternId << ", timeWin: " << timeWindow
              << ", maxAcc: " << maxAccumulation << ")";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->setAccumulationWindowToPattern(mainPatternId, fallbackPatternId, timeWindow,
                                                   maxAccumulation);
}

int VibrenzaSDK::eraseAccumulationWindowToPattern(int patternId) {
    command() << "Command: eraseAccumulationWindow(ID: " << patternId << ")";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->eraseAccumulationWindowToPattern(patternId);
}

int VibrenzaSDK::getPatternIntensityBoost(int patternId) {
    command() << "Command: getPatternBoost(ID: " << patternId << ")";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->getPatternIntensityBoost(patternId);
}

int VibrenzaSDK::setGlobalIntensityBoost(int boost) {
    command() << "Command: setGlobalIntensityBoost(boost: " << boost << ")";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return handler->setGlobalIntensityBoost(boostToGain(boost));
}

int VibrenzaSDK::getGlobalIntensityBoost() {
    command() << "Command: getGlobalIntensityBoost()";
    if (!handler) return VBZ_ERROR_NO_INSTANCE;
    return gainToBoost(handler->getGlobalIntensityBoost());
}
