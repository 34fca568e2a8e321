#include "sequencer/HandlerCommands.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "sdk/core/DeviceTypes.h"
#include "sdk/core/ErrorText.h"
#include "sdk/core/LogLine.h"
#include "sdk/core/SdkPersistentState.h"

namespace {
constexpr const char* kTag = "Sequencer";
constexpr unsigned int kNoSerial = 0xFFFFFFFFu;
}  // namespace

HandlerCommands::HandlerCommands(SdkPersistentState* state) : IHandler(state) {
    nextPatternId_ = state ? state->lastPatternId() + 1 : 0;
    stopList_.reserve(20);
    stopFades_.reserve(20);
    LogLine(0, kTag) << "Sequencer initialized.";
}

HandlerCommands::~HandlerCommands() {
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        disconnectionFlag_ = true;
        state_ = VBZ_STATE_DISCONNECTING;
    }
    joinWorker(kTag);
    storeState(VBZ_STATE_DISCONNECTED);
    LogLine(0, kTag) << "Sequencer destroyed.";
}

vbz_device_info_t* HandlerCommands::getFirstScannedDevice() {
    const char* warning = nullptr;
    vbz_device_info_t* first = nullptr;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        if (scanning_)
            warning = "Cannot get scanned devices: scanning ongoing.";
        else if (scannedDevices_.empty())
            warning = "Cannot get scanned devices: no Vibrenza device found.";
        else
            first = &scannedDevices_.front();
    }
    if (warning) LogLine(3, kTag) << warning;
    return first;
}

int HandlerCommands::readPattern(const std::string& json, LegacyPattern& out) {
    const nlohmann::json root = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded() || !root.is_object()) return VBZ_ERROR_INVALID_JSON;
    out = LegacyPattern{};
    if (auto it = root.find("patternBoost"); it != root.end()) {
        if (!it->is_number_integer()) return VBZ_ERROR_INVALID_JSON;
        const auto boost = it->get<long long>();
        out.boost = boost > 100 ? 100 : boost < -100 ? -100 : static_cast<int>(boost);
    }
    return 0;
}

void HandlerCommands::reloadPatterns() {
    if (!persistentState_) return;
    std::map<int, std::string> kept;
    persistentState_->getPatterns(kept);
    for (const auto& [id, text] : kept) {
        LegacyPattern pattern;
        const int code = readPattern(text, pattern);
        if (code != 0) {
            LogLine(4, kTag) << "Unable to load json pattern: " << errorText(code);
            continue;
        }
        LogLine(2, kTag) << "Pattern of ID " << id << " reloaded.";
        std::lock_guard<std::mutex> lock(handlerMutex());
        patternTable_.emplace(id, pattern);
    }
}

int HandlerCommands::startConnectionRoutine(vbz_output_t output, unsigned int /*serialNumber*/) {
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        requestedOutput_ = output;
    }
    return startWorker([this]() { connectionRoutine(); }, kTag);
}

void HandlerCommands::connectionRoutine() {
    // No transport can be opened yet: report as for an absent vest.
    storeState(VBZ_STATE_DISCONNECTED);
    if (invokeConnectionCallback(VBZ_STATE_DISCONNECTED, VBZ_ERROR_DEVICE_NOT_REACHABLE, kNoSerial))
        LogLine(2, kTag) << "Connection routine terminated: connectionCallback called.";
    else
        LogLine(2, kTag) << "Connection routine terminated: no connectionCallback set.";
}

int HandlerCommands::startScanningRoutine(vbz_output_t /*output*/) {
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        scannedDevices_.clear();
    }
    return startWorker([this]() { scanningRoutine(); }, kTag);
}

void HandlerCommands::scanningRoutine() {
    clearScanFlag();
    LogLine(2, kTag) << "Scanning routine terminated.";
}

int HandlerCommands::startDisconnectionRoutine() {
    // Without an open transport there is nothing to end.
    storeState(VBZ_STATE_DISCONNECTED);
    LogLine(3, kTag) << "Unable to disconnect: " << errorText(VBZ_ERROR_NO_DEVICE_CONNECTED);
    return VBZ_ERROR_NO_DEVICE_CONNECTED;
}

unsigned int HandlerCommands::getVibrenzaSerialNumber() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    return serialNumber_;
}

std::string HandlerCommands::getVibrenzaVersion() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    return version_;
}

vbz_device_type_t HandlerCommands::getVibrenzaType() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    return deviceTypeFromCode(deviceType_);
}

int HandlerCommands::getGlobalIntensityBoost() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    return globalBoost_;
}

int HandlerCommands::setGlobalIntensityBoost(int gain) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    globalBoost_ = gain < 0 ? 0 : gain > 100 ? 100 : gain;
    return 0;
}

int HandlerCommands::loadPatternFromJSON(std::string json) {
    LegacyPattern pattern;
    const int code = readPattern(json, pattern);
    if (code != 0) {
        LogLine(4, kTag) << "Unable to load json pattern: " << errorText(code);
        return code;
    }
    int id;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        id = nextPatternId_++;
        patternTable_.emplace(id, pattern);
    }
    LogLine(2, kTag) << "Pattern loaded. Assigned to ID: " << id;
    return id;
}

int HandlerCommands::unloadPattern(int patternId) {
    size_t erased;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        erased = patternTable_.erase(patternId);
    }
    if (erased == 0) {
        LogLine(4, kTag) << "Unable to unload pattern (ID: " << patternId
                         << "): " << errorText(VBZ_ERROR_INVALID_PARAMETER);
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

int HandlerCommands::getPatternIntensityBoost(int patternId) {
    int boost = 0;
    bool found;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        auto it = patternTable_.find(patternId);
        found = it != patternTable_.end();
        if (found) boost = it->second.boost;
    }
    if (!found) {
        LogLine(4, kTag) << "Could not get pattern boost value: Pattern ID " << patternId
                         << " not found. Zero provided.";
        return 0;
    }
    if (boost >= 1) return static_cast<int>(50.0 * std::log10(static_cast<double>(boost)));
    if (boost <= -1) return static_cast<int>(-50.0 * std::log10(static_cast<double>(-boost)));
    return 0;
}

int HandlerCommands::setAccumulationWindowToPattern(int mainPatternId, int fallbackPatternId,
                                                    float /*timeWindow*/,
                                                    int /*maxAccumulation*/) {
    int missing = 0;
    bool found;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        if (!patternTable_.count(mainPatternId))
            missing = mainPatternId, found = false;
        else if (!patternTable_.count(fallbackPatternId))
            missing = fallbackPatternId, found = false;
        else
            found = true;
    }
    if (!found) {
        LogLine(4, kTag) << "Could not set an accumulation window: Pattern ID " << missing
                         << " not found.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

int HandlerCommands::eraseAccumulationWindowToPattern(int patternId) {
    bool found;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        found = patternTable_.count(patternId) != 0;
    }
    if (!found) {
        LogLine(4, kTag) << "Could not erase an accumulation window: Pattern ID " << patternId
                         << " not found.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

int HandlerCommands::playEffect(int patternId, vbz_effect_properties_t /*properties*/) {
    int id = -1;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        if (patternTable_.count(patternId)) {
            id = nextEffectId_++;
            effectTable_[id] = VBZ_EFFECT_CREATED;  // starts in a later turn of the loop
        }
    }
    if (id < 0) {
        LogLine(4, kTag) << "Could not play effect: Pattern ID " << patternId << " not found.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    LogLine(2, kTag) << "Effect assigned to ID: " << id;
    return id;
}

int HandlerCommands::stopEffect(int effectId, float fadeTime) {
    enum { kQueued, kAlready, kUnknown } outcome;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        bool queued = false;
        for (int id : stopList_) queued = queued || id == effectId;
        if (queued) {
            outcome = kAlready;
        } else if (effectTable_.count(effectId)) {
            stopList_.push_back(effectId);
            stopFades_.push_back(fadeTime > 0.0f ? fadeTime : 0.0f);
            outcome = kQueued;
        } else {
            outcome = kUnknown;
        }
    }
    if (outcome == kAlready) {
        LogLine(2, kTag) << "Effect (ID: " << effectId << ") is already set to stop.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    if (outcome == kUnknown) {
        LogLine(4, kTag) << "Effect (ID: " << effectId << ") cannot be stopped as it is not found.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

vbz_effect_state_t HandlerCommands::effectState(int effectId) {
    int state = VBZ_EFFECT_UNKNOWN;
    bool found;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        auto it = effectTable_.find(effectId);
        found = it != effectTable_.end();
        if (found) state = it->second;
    }
    if (!found)
        LogLine(4, kTag) << "Could not get effect state: Effect ID " << effectId << " not found.";
    return static_cast<vbz_effect_state_t>(state);
}

int HandlerCommands::pauseAll() {
    bool refused;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        refused = stopAllRequested_ || resumeRequested_;
        if (!refused) pauseRequested_ = true;
    }
    if (refused) {
        LogLine(3, kTag) << "Unable to pause all effects: "
                         << errorText(VBZ_ERROR_PRIORITY_COMMAND_WAITING);
        return VBZ_ERROR_PRIORITY_COMMAND_WAITING;
    }
    return 0;
}

int HandlerCommands::resumeAll() {
    bool refused;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        refused = stopAllRequested_;
        if (!refused) resumeRequested_ = true;
    }
    if (refused) {
        LogLine(3, kTag) << "Unable to resume all effects: "
                         << errorText(VBZ_ERROR_PRIORITY_COMMAND_WAITING);
        return VBZ_ERROR_PRIORITY_COMMAND_WAITING;
    }
    return 0;
}

int HandlerCommands::stopAll() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    stopAllRequested_ = true;
    return 0;
}
