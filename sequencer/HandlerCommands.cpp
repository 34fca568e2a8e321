// HandlerCommands: the back-end's life and its API operations. The
// operations run on the application's threads: they read and change the
// tables under the handler mutex, raise request flags and wake the
// sequencing thread, which carries them out in its next turn
// (HandlerCommandsLink.cpp). Construction and destruction run on the thread
// that owns the SDK object.
#include "sequencer/HandlerCommands.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "device/Frame.h"
#include "sdk/core/DeviceTypes.h"
#include "sdk/core/ErrorText.h"
#include "sdk/core/LogHold.h"
#include "sdk/core/LogLine.h"
#include "sdk/core/SdkPersistentState.h"

namespace vbz::seq {

namespace {
constexpr const char* kTag = "Sequencer";
constexpr int kSlots = 20;

template <std::size_t N>
std::array<uint8_t, N> emptyFrame(DeviceCommand c) {
    std::array<uint8_t, N> f{};
    f[0] = commandId(c);
    f[1] = kSyncByte1;
    f[2] = kSyncByte2;
    return f;
}
}  // namespace

HandlerCommands::HandlerCommands(SdkPersistentState* state, TransportFactory factory,
                                 Timing timing)
    : IHandler(state), factory_(std::move(factory)), timing_(timing) {
    nextPatternId_ = state ? static_cast<unsigned int>(state->lastPatternId() + 1) : 0u;
    stopList_.reserve(kSlots);
    stopFades_.reserve(kSlots);
    playList_.reserve(kSlots);
    playingList.reserve(30);
    stopFrame_ = emptyFrame<10>(DeviceCommand::StopSlot);
    muteFrame_ = emptyFrame<8>(DeviceCommand::SetMuteStatus);
    LogLine(0, kTag) << "Sequencer initialized.";
}

HandlerCommands::~HandlerCommands() {
    shutdown();
    std::unique_ptr<IHidCom> transport;
    {
        HandlerLock lock(handlerMutex());
        // A fallback that names its main pattern would keep both alive.
        for (auto& entry : patternTable_) entry.second->eraseAccumulationWindow();
        patternTable_.clear();
        effectTable_.clear();
        transport = std::move(transport_);
    }
    if (transport && transport->isConnected())
        LogLine(1, kTag) << "Device is still connected when destructor is called. Thread might "
                            "have not finish properly.";
    transport.reset();
    scanMap_.clear();
    scannedDevices_.clear();
    scannedTexts_.clear();
    LogLine(0, kTag) << "Sequencer destroyed.";
}

bool HandlerCommands::onBackendThread() const {
    const auto self = std::this_thread::get_id();
    return onOwnThread() || sequencingId_.load() == self || receptionId_.load() == self;
}

void HandlerCommands::shutdown() {
    {
        HandlerLock lock(handlerMutex());
        disconnectionFlag_ = true;
        if (state_ != VBZ_STATE_DISCONNECTED) state_ = VBZ_STATE_DISCONNECTING;
    }
    wakeTurn();
    if (onBackendThread()) {
        // Joining here would wait for this very thread. The threads end on
        // their own once the flag is seen.
        LogLine(4, kTag) << "The sequencer cannot be destroyed from its own threads (a "
                            "connection callback); its threads are left to end on their own.";
        const auto self = std::this_thread::get_id();
        bool onSequencingThread = false;
        {
            std::lock_guard<std::mutex> lock(threadStartMutex_);
            onSequencingThread = sequencingThread_.joinable() && sequencingThread_.get_id() == self;
        }
        if (onSequencingThread) {
            // The reception thread belongs to this one: it ends on the flag.
            if (receptionThread_.joinable()) receptionThread_.join();
            sequencingThread_.detach();
        }
        if (receptionThread_.joinable() && receptionThread_.get_id() == self)
            receptionThread_.detach();
    }
    joinWorker(kTag);
    if (sequencingThread_.joinable()) {
        sequencingThread_.join();
        LogLine(0, kTag) << "Sequencer's thread joined.";
    }
    storeState(VBZ_STATE_DISCONNECTED);
}

// ---------------------------------------------------------------------------
// API operations

vbz_device_info_t* HandlerCommands::getFirstScannedDevice() {
    const char* warning = nullptr;
    vbz_device_info_t* first = nullptr;
    {
        HandlerLock lock(handlerMutex());
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

void HandlerCommands::reloadPatterns() {
    if (!persistentState_) return;
    std::map<int, std::string> kept;
    persistentState_->getPatterns(kept);
    for (const auto& [id, text] : kept) {
        int code = 0;
        auto pattern = Pattern::create(text, code);
        if (!pattern || code != 0) {
            LogLine(4, kTag) << "Unable to load json pattern: " << errorText(code);
            continue;
        }
        pattern->setPatternId(id);
        LogLine(2, kTag) << "Pattern of ID " << id << " reloaded.";
        HandlerLock lock(handlerMutex());
        patternTable_.emplace(id, std::move(pattern));
    }
}

int HandlerCommands::startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) {
    {
        HandlerLock lock(handlerMutex());
        requestedOutput_ = output;
    }
    return startWorker([this, serialNumber]() { connectionRoutine(serialNumber); }, kTag);
}

int HandlerCommands::startScanningRoutine(vbz_output_t output) {
    return startWorker([this, output]() { scanningRoutine(output); }, kTag);
}

int HandlerCommands::startDisconnectionRoutine() {
    bool open;
    {
        HandlerLock lock(handlerMutex());
        open = transport_ != nullptr;
        if (open) {
            disconnectionFlag_ = true;
            state_ = VBZ_STATE_DISCONNECTING;
        } else {
            state_ = VBZ_STATE_DISCONNECTED;
        }
    }
    if (open) {
        wakeTurn();
        return 0;
    }
    LogLine(3, kTag) << "Unable to disconnect: " << errorText(VBZ_ERROR_NO_DEVICE_CONNECTED);
    return VBZ_ERROR_NO_DEVICE_CONNECTED;
}

unsigned int HandlerCommands::getVibrenzaSerialNumber() {
    HandlerLock lock(handlerMutex());
    return serialNumber_;
}

std::string HandlerCommands::getVibrenzaVersion() {
    HandlerLock lock(handlerMutex());
    return version_;
}

vbz_device_type_t HandlerCommands::getVibrenzaType() {
    HandlerLock lock(handlerMutex());
    return deviceTypeFromCode(static_cast<uint32_t>(deviceType_));
}

int HandlerCommands::getGlobalIntensityBoost() {
    HandlerLock lock(handlerMutex());
    return globalBoost_;
}

int HandlerCommands::setGlobalIntensityBoost(int gain) {
    HandlerLock lock(handlerMutex());
    globalBoost_ = gain < 0 ? 0 : gain > 100 ? 100 : gain;
    return 0;
}

int HandlerCommands::loadPatternFromJSON(std::string json) {
    int code = 0;
    auto pattern = Pattern::create(json, code);
    if (!pattern || code != 0) {
        if (code == 0) code = VBZ_ERROR_INVALID_JSON;
        LogLine(4, kTag) << "Unable to load json pattern: " << errorText(code);
        return code;
    }
    unsigned int id;
    {
        HandlerLock lock(handlerMutex());
        // Ids reloaded from the kept patterns may lie ahead: never report an
        // id that names another pattern.
        id = nextPatternId_;
        while (patternTable_.count(static_cast<int>(id))) ++id;
        nextPatternId_ = id + 1;
        pattern->setPatternId(static_cast<int>(id));
        patternTable_.emplace(static_cast<int>(id), std::move(pattern));
    }
    LogLine(2, kTag) << "Pattern loaded. Assigned to ID: " << id;
    return static_cast<int>(id);
}

int HandlerCommands::unloadPattern(int patternId) {
    std::size_t erased = 0;
    {
        HandlerLock lock(handlerMutex());
        if (const auto it = patternTable_.find(patternId); it != patternTable_.end()) {
            // Its fallback may lead back to it (directly or through other
            // patterns' windows): the window goes with the pattern, so that
            // such a ring ends once all of it is unloaded.
            it->second->eraseAccumulationWindow();
            patternTable_.erase(it);
            erased = 1;
        }
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
        HandlerLock lock(handlerMutex());
        auto it = patternTable_.find(patternId);
        found = it != patternTable_.end();
        if (found) boost = it->second->patternBoost();
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
                                                    float timeWindow, int maxAccumulation) {
    int missing = 0;
    bool found = false;
    {
        // The record is shared with the plays, which read and change it
        // under this mutex.
        HandlerLock lock(handlerMutex());
        const auto main = patternTable_.find(mainPatternId);
        const auto fallback = patternTable_.find(fallbackPatternId);
        if (main == patternTable_.end()) {
            missing = mainPatternId;
        } else if (fallback == patternTable_.end()) {
            missing = fallbackPatternId;
        } else {
            found = true;
            main->second->setAccumulationWindow(fallback->second, timeWindow, maxAccumulation);
        }
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
        HandlerLock lock(handlerMutex());
        const auto it = patternTable_.find(patternId);
        found = it != patternTable_.end();
        if (found) it->second->eraseAccumulationWindow();
    }
    if (!found) {
        LogLine(4, kTag) << "Could not erase an accumulation window: Pattern ID " << patternId
                         << " not found.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    return 0;
}

int HandlerCommands::stopEffect(int effectId, float fadeTime) {
    enum { kQueued, kAlready, kUnknown } outcome;
    {
        HandlerLock lock(handlerMutex());
        if (std::find(stopList_.begin(), stopList_.end(), effectId) != stopList_.end()) {
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
    wakeTurn();
    return 0;
}

vbz_effect_state_t HandlerCommands::effectState(int effectId) {
    int state = VBZ_EFFECT_UNKNOWN;
    bool found;
    {
        HandlerLock lock(handlerMutex());
        auto it = effectTable_.find(effectId);
        found = it != effectTable_.end();
        if (found) state = it->second->state();
    }
    if (!found)
        LogLine(4, kTag) << "Could not get effect state: Effect ID " << effectId << " not found.";
    return static_cast<vbz_effect_state_t>(state);
}

int HandlerCommands::pauseAll() {
    bool refused;
    {
        HandlerLock lock(handlerMutex());
        refused = stopAllRequested_ || resumeRequested_;
        if (!refused) pauseRequested_ = true;
    }
    if (refused) {
        LogLine(3, kTag) << "Unable to pause all effects: "
                         << errorText(VBZ_ERROR_PRIORITY_COMMAND_WAITING);
        return VBZ_ERROR_PRIORITY_COMMAND_WAITING;
    }
    wakeTurn();
    return 0;
}

int HandlerCommands::resumeAll() {
    bool refused;
    {
        HandlerLock lock(handlerMutex());
        refused = stopAllRequested_;
        if (!refused) {
            resumeRequested_ = true;
            // A pause not carried out yet is cancelled; else it would run
            // after the resume is dropped, leaving the vest paused.
            if (!pausedFlag_) pauseRequested_ = false;
        }
    }
    if (refused) {
        LogLine(3, kTag) << "Unable to resume all effects: "
                         << errorText(VBZ_ERROR_PRIORITY_COMMAND_WAITING);
        return VBZ_ERROR_PRIORITY_COMMAND_WAITING;
    }
    wakeTurn();
    return 0;
}

int HandlerCommands::stopAll() {
    {
        HandlerLock lock(handlerMutex());
        stopAllRequested_ = true;
    }
    wakeTurn();
    return 0;
}

}  // namespace vbz::seq
