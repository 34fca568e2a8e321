#include "streaming/HandlerStreaming.h"

#include <nlohmann/json.hpp>

#include "sdk/core/ErrorText.h"
#include "sdk/core/LogLine.h"
#include "sdk/core/SdkPersistentState.h"
#include "sdk/core/SerialNumberText.h"
#include "tessaron-core/src/tsr/tsr_log.h"

namespace {
constexpr const char* kTag = "HandlerStreaming";
constexpr unsigned int kNoSerial = 0xFFFFFFFFu;
constexpr int kInvalidPattern = VBZ_ERROR_CORE_INVALID_VPT;
constexpr int kPatternNotAllocated = VBZ_ERROR_CORE_PATTERN_NOT_ALLOCATED;
constexpr int kSequenceNotAllocated = VBZ_ERROR_CORE_SEQUENCE_NOT_ALLOCATED;
constexpr int kAlreadyAllocated = VBZ_ERROR_CORE_INSTANCE_ALLOCATED;
}  // namespace

HandlerStreaming::HandlerStreaming(SdkPersistentState* state, std::shared_ptr<SteadyClock> clock)
    : IHandler(state), accumulationWindows_(std::move(clock)) {
    // Engine messages of warning level and above reach the SDK's sink.
    tsr_set_log_level(3);
    tsr_set_log_callback(&vbz::engineLogHook);
    nextPatternId_ = state ? state->lastPatternId() + 1 : 0;
}

HandlerStreaming::~HandlerStreaming() {
    storeState(VBZ_STATE_DISCONNECTING);
    joinWorker(kTag);
    storeState(VBZ_STATE_DISCONNECTED);
}

vbz_device_info_t* HandlerStreaming::getFirstScannedDevice() {
    bool scanning;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        scanning = scanning_;
    }
    if (scanning) {
        LogLine(3, kTag) << "Cannot get scanned devices: scanning ongoing.";
        return nullptr;
    }
    return nullptr;  // no transport yet: a scan finds nothing
}

int HandlerStreaming::storePatternLocked(const std::string& json, int id) {
    const nlohmann::json root = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded() || !root.is_object()) return kInvalidPattern;
    double boost = 0.0;
    if (auto it = root.find("patternBoost"); it != root.end()) {
        if (!it->is_number()) return kInvalidPattern;
        boost = it->get<double>() / 100.0;
    }
    if (patternBoosts_.count(id)) return kAlreadyAllocated;
    patternBoosts_[id] = boost;
    return id;
}

void HandlerStreaming::reloadPatterns() {
    if (!persistentState_) return;
    std::map<int, std::string> kept;
    persistentState_->getPatterns(kept);
    for (const auto& [id, text] : kept) {
        int result;
        {
            std::lock_guard<std::mutex> lock(handlerMutex());
            result = storePatternLocked(text, id);
            if (result >= 0 && nextPatternId_ <= id) nextPatternId_ = id + 1;
        }
        if (result < 0 && result != kAlreadyAllocated)
            LogLine(3, kTag) << "Unable to reload pattern ID " << id << " : " << errorText(result);
        else
            LogLine(0, kTag) << "Pattern ID " << id << " reloaded.";
    }
}

int HandlerStreaming::startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) {
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        output_ = output;
    }
    return startWorker([this, serialNumber]() { connectionRoutine(serialNumber); }, kTag);
}

void HandlerStreaming::connectionRoutine(unsigned int serialNumber) {
    reloadPatterns();
    // No transport can be opened yet: the attempt fails as for an absent vest.
    connectionRoutineTerminated(VBZ_STATE_DISCONNECTED, VBZ_ERROR_DEVICE_NOT_REACHABLE,
                                serialNumber);
}

int HandlerStreaming::startScanningRoutine(vbz_output_t /*output*/) {
    return startWorker([this]() { scanningRoutine(); }, kTag);
}

void HandlerStreaming::scanningRoutine() {
    clearScanFlag();
    LogLine(2, kTag) << "Scanning routine terminated.";
}

int HandlerStreaming::startDisconnectionRoutine() {
    // The running connection's loop ends on its own and reports -1.
    return 0;
}

unsigned int HandlerStreaming::getVibrenzaSerialNumber() { return kNoSerial; }
std::string HandlerStreaming::getVibrenzaVersion() { return "noDeviceConnected"; }
vbz_device_type_t HandlerStreaming::getVibrenzaType() { return VBZ_DEVICE_UNKNOWN; }

int HandlerStreaming::getGlobalIntensityBoost() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    return vbz::saturatingToInt(globalBoost_ * 100.0);
}

int HandlerStreaming::setGlobalIntensityBoost(int gain) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    // The division is made in single precision, as the engine's setting is.
    globalBoost_ = static_cast<double>(static_cast<float>(gain) / 100.0f);
    return 0;
}

int HandlerStreaming::loadPatternFromJSON(std::string json) {
    int result;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        result = storePatternLocked(json, nextPatternId_);
        if (result >= 0) ++nextPatternId_;
    }
    if (result < 0)
        LogLine(4, kTag) << "Unable to load vpt :" << errorText(result);
    else
        LogLine(2, kTag) << "Pattern loaded. Assigned to ID: " << result;
    return result;
}

int HandlerStreaming::unloadPattern(int patternId) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    patternBoosts_.erase(patternId);
    return 0;
}

int HandlerStreaming::getPatternIntensityBoost(int patternId) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    auto it = patternBoosts_.find(patternId);
    if (it == patternBoosts_.end()) return 0;
    return vbz::saturatingToInt(it->second * 100.0);
}

int HandlerStreaming::setAccumulationWindowToPattern(int mainPatternId, int fallbackPatternId,
                                                     float timeWindow, int maxAccumulation) {
    int missing = -1;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        if (!patternBoosts_.count(mainPatternId)) {
            missing = mainPatternId;
        } else if (!patternBoosts_.count(fallbackPatternId)) {
            missing = fallbackPatternId;
        } else {
            found = true;
            accumulationWindows_.set(mainPatternId, fallbackPatternId, timeWindow, maxAccumulation);
        }
    }
    if (!found) {
        LogLine(4, kTag) << "Could not set an accumulation window: Pattern ID " << missing
                         << " not found.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

int HandlerStreaming::eraseAccumulationWindowToPattern(int patternId) {
    bool erased;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        erased = accumulationWindows_.erase(patternId);
    }
    if (!erased) {
        LogLine(4, kTag)
            << "Could not erase an accumulation window: No accumulation set on Pattern ID "
            << patternId << ".";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

int HandlerStreaming::playEffect(int patternId, vbz_effect_properties_t /*properties*/) {
    int result;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        result = accumulationWindows_.createSequence(
            patternId, [this](int id) { return patternBoosts_.count(id) != 0; },
            [this](int id) {
                if (!patternBoosts_.count(id)) return kPatternNotAllocated;
                const int effect = nextEffectId_++;
                effects_[effect] = false;
                return effect;
            });
    }
    if (result < 0) {
        AccumulationWindows::logRefusal(result);
        LogLine(4, kTag) << "Could not play effect: " << errorText(result);
    }
    return result;
}

int HandlerStreaming::stopEffect(int effectId, float /*fadeTime*/) {
    size_t erased;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        erased = effects_.erase(effectId);
    }
    if (erased == 0) {
        LogLine(3, kTag) << "Unable to stop effect ID " << effectId << " : "
                         << errorText(kSequenceNotAllocated);
        return kSequenceNotAllocated;
    }
    return 0;
}

vbz_effect_state_t HandlerStreaming::effectState(int effectId) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    auto it = effects_.find(effectId);
    if (it == effects_.end()) return VBZ_EFFECT_UNKNOWN;
    return it->second ? VBZ_EFFECT_MUTED : VBZ_EFFECT_PLAYING;
}

int HandlerStreaming::pauseAll() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    paused_ = true;
    return 0;
}

int HandlerStreaming::resumeAll() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    paused_ = false;
    return 0;
}

int HandlerStreaming::stopAll() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    effects_.clear();
    return 0;
}

int HandlerStreaming::connectAudio(vbz_audio_preset_t preset, vbz_audio_settings_t& settings) {
    const int begun =
        beginAudioConnection(preset, settings, kTag, audioDeviceName_, audioApiName_);
    if (begun < 0) return begun;
    const int result = startWorker([this]() { audioConnectionRoutine(); }, kTag);
    if (result < 0) storeState(VBZ_STATE_DISCONNECTED);
    return result;
}

void HandlerStreaming::audioConnectionRoutine() {
    reloadPatterns();
    // No audio output exists yet: the attempt ends as an unreachable device.
    connectionRoutineTerminated(VBZ_STATE_DISCONNECTED, VBZ_ERROR_DEVICE_NOT_REACHABLE, kNoSerial);
}

void HandlerStreaming::setEffectSpeed(int effectId, float /*speed*/) {
    bool known;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        known = effects_.count(effectId) != 0;
    }
    if (!known) tsr_log(3, "HandlerStreaming", __LINE__, "entry not allocated (%s)",
                           "invalid map<K, T> key");
}

void HandlerStreaming::setEffectVolume(int effectId, float /*volume*/) {
    bool known;
    {
        std::lock_guard<std::mutex> lock(handlerMutex());
        known = effects_.count(effectId) != 0;
    }
    if (!known) tsr_log(3, "HandlerStreaming", __LINE__, "entry not allocated (%s)",
                           "invalid map<K, T> key");
}
