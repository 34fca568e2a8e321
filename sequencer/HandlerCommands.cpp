#include "sequencer/HandlerCommands.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
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
constexpr unsigned int kNoSerial = 0xFFFFFFFFu;
constexpr const char* kNoDevice = "noDeviceConnected";
constexpr int kSlots = 20;
constexpr uint32_t kSlotBits = 0x000FFFFFu;
// Bits 20 to 31 name no slot of the vest: they read as muted.
constexpr uint32_t kNoSlotBits = ~kSlotBits;
constexpr int kPlayLength = 518;
constexpr uint8_t kPlayAnswer = answerId(DeviceCommand::PlaySample);
constexpr uint8_t kBoardStatus = commandId(DeviceCommand::BoardStatus);
constexpr uint8_t kDeviceError = commandId(DeviceCommand::DeviceError);
constexpr auto kQuickRead = std::chrono::microseconds(200);
constexpr auto kIdleWait = std::chrono::milliseconds(1);

bool traceOn() { return minLogLevel.load(std::memory_order_relaxed) <= 0; }

float seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<float>(d).count();
}

void writeF32(uint8_t* p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    writeU32(p, bits);
}

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
    std::size_t erased;
    {
        HandlerLock lock(handlerMutex());
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

// ---------------------------------------------------------------------------
// Routines of the worker thread

void HandlerCommands::reportConnection(int state, int error, unsigned int serial,
                                       const char* routine) {
    storeState(state);
    const bool called = invokeConnectionCallback(state, error, serial);
    LogLine(2, kTag) << routine << " routine terminated: "
                     << (called ? "connectionCallback called." : "no connectionCallback set.");
}

void HandlerCommands::connectionRoutine(unsigned int serialNumber) {
    if (sequencingThread_.joinable()) sequencingThread_.join();
    vbz_output_t requested;
    {
        HandlerLock lock(handlerMutex());
        requested = requestedOutput_;
    }
    for (const vbz_output_t kind : transportsFor(requested)) {
        std::unique_ptr<IHidCom> made = factory_ ? factory_(kind) : nullptr;
        if (!made) continue;
        IHidCom* link = made.get();
        {
            HandlerLock lock(handlerMutex());
            transport_ = std::move(made);
        }
        if (link->open(serialNumber, scanMap_[kind][serialNumber]) == 0) {
            {
                HandlerLock lock(handlerMutex());
                connectedOutput_ = kind;
            }
            if (kind != VBZ_OUTPUT_WIFI) std::this_thread::sleep_for(timing_.settleTime);
            connectionOrigin_ = Clock::now();
            lastTransactionTime_ = connectionOrigin_;
            {
                std::lock_guard<std::mutex> lock(transactionMutex_);
                pendingAnswer_ = false;
                receptionEnded_ = false;
            }
            try {
                std::lock_guard<std::mutex> lock(threadStartMutex_);
                sequencingThread_ = std::thread([this, link] { sequencingLoop(link); });
                return;
            } catch (const std::exception& e) {
                LogLine(4, kTag) << "Unable to start the sequencing thread: " << e.what();
                link->close();
            }
        }
        std::unique_ptr<IHidCom> failed;
        {
            HandlerLock lock(handlerMutex());
            failed = std::move(transport_);
        }
    }
    reportConnection(VBZ_STATE_DISCONNECTED, VBZ_ERROR_DEVICE_NOT_REACHABLE, kNoSerial,
                     "Connection");
}

void HandlerCommands::scanningRoutine(vbz_output_t output) {
    // The previous worker has been joined: nothing reads the old results.
    scanMap_.clear();
    std::vector<vbz_device_info_t> devices;
    std::vector<std::string> texts;
    for (const vbz_output_t kind : transportsFor(output)) {
        auto& addresses = scanMap_[kind];
        std::unique_ptr<IHidCom> made = factory_ ? factory_(kind) : nullptr;
        if (!made) continue;
        IHidCom* link = made.get();
        {
            HandlerLock lock(handlerMutex());
            transport_ = std::move(made);
        }
        link->scan(devices, addresses, texts);
        std::unique_ptr<IHidCom> done;
        {
            HandlerLock lock(handlerMutex());
            done = std::move(transport_);
        }
    }
    linkScannedDevices(devices, texts);
    {
        HandlerLock lock(handlerMutex());
        // Moving keeps the records and texts where they are.
        scannedTexts_ = std::move(texts);
        scannedDevices_ = std::move(devices);
        scanning_ = false;
    }
    LogLine(2, kTag) << "Scanning routine terminated.";
}

// ---------------------------------------------------------------------------
// Sequencing thread

void HandlerCommands::sequencingLoop(IHidCom* link) {
    sequencingId_.store(std::this_thread::get_id());
    link_ = link;
    try {
        receptionThread_ = std::thread([this, link] { receptionLoop(link); });
    } catch (const std::exception& e) {
        LogLine(4, kTag) << "Unable to start the reception thread: " << e.what();
        endConnection(link, true);
        return;
    }
    if (handshake() < 0) {
        endConnection(link, true);
        return;
    }
    reloadPatterns();
    unsigned int serial;
    std::string version;
    int type;
    {
        HandlerLock lock(handlerMutex());
        state_ = VBZ_STATE_CONNECTED;
        serial = serialNumber_;
        version = version_;
        type = deviceType_;
    }
    reportConnection(VBZ_STATE_CONNECTED, 0, serial, "Connection");
    LogLine(2, kTag) << "SDK Version: " << getSDKVersion();
    LogLine(2, kTag) << "Serial Number: " << serial;
    LogLine(2, kTag) << "Vibrenza Version: " << version;
    LogLine(2, kTag) << "Vibrenza Type: " << static_cast<unsigned int>(type);
    LogLine(0, kTag) << "Start sequencing loop.";

    // An idle turn takes each lock once: what it has to do is read first, and
    // the steps with nothing to do are passed over.
    for (TurnView view = readTurnView(); !view.disconnect; view = readTurnView()) {
        commandsThisTurn_ = 0;
        if (!view.request) {
            const SlotMasks masks = slotMasks();
            synchroniseSlots(masks);
            // A stop just sent has brought a new board status.
            updateMute(commandsThisTurn_ == 0 ? masks : slotMasks());
        }
        if (view.request) {
            processResumeAllRequest();
            processPauseAllRequest();
            processStopAllRequest();
        }
        if (view.request || view.stops) processEffectStopList();
        if (view.request || view.plays) processEffectPlayList();
        stepSequences();
        keepAlive();
        if (commandsThisTurn_ == 0) waitForWork();
    }
    endConnection(link, false);
}

int HandlerCommands::handshake() {
    auto serial = shortFrame(DeviceCommand::GetSerialNumber);
    auto version = shortFrame(DeviceCommand::GetVersion);
    auto type = shortFrame(DeviceCommand::GetType);
    for (auto* frame : {&serial, &version, &type}) {
        const int r = sendCommand(frame->data(), static_cast<int>(frame->size()));
        if (r < 0) return r;
    }
    return 0;
}

void HandlerCommands::endConnection(IHidCom* link, bool handshakeFailed) {
    if (!handshakeFailed) LogLine(0, kTag) << "Disconnection initiated: start releasing resources.";
    {
        // The reception thread ends at its next read.
        HandlerLock lock(handlerMutex());
        disconnectionFlag_ = true;
    }
    if (receptionThread_.joinable()) receptionThread_.join();
    int error = 0;
    if (link->close() != 0) {
        if (handshakeFailed) {
            LogLine(2, kTag) << "Unwanted disconnection detected during connection process: "
                             << errorText(VBZ_ERROR_DEVICE_NOT_REACHABLE);
        } else {
            error = VBZ_ERROR_DEVICE_NOT_REACHABLE;
            LogLine(3, kTag) << "Unwanted disconnection detected: "
                             << errorText(VBZ_ERROR_DEVICE_NOT_REACHABLE);
        }
    }
    unsigned int serial;
    {
        HandlerLock lock(handlerMutex());
        serial = serialNumber_;
    }
    resetDeviceState();
    link_ = nullptr;
    sequencingId_.store(std::thread::id());
    // Nothing of this object is touched after the callback: the application
    // may destroy the back-end from it (which is refused, but survived).
    if (handshakeFailed)
        reportConnection(VBZ_STATE_DISCONNECTED, VBZ_ERROR_HANDSHAKE_FAILED, serial, "Connection");
    else
        reportConnection(VBZ_STATE_DISCONNECTED, error, serial, "Disconnection");
}

void HandlerCommands::resetDeviceState() {
    std::unique_ptr<IHidCom> transport;
    std::vector<std::shared_ptr<Sequence>> released;
    {
        HandlerLock lock(handlerMutex());
        serialNumber_ = kNoSerial;
        version_ = kNoDevice;
        deviceType_ = -1;
        disconnectionFlag_ = false;
        playList_.clear();
        stopList_.clear();
        stopFades_.clear();
        effectTable_.clear();
        slotRegister_.clear();
        released.swap(playingList);
        // A paused vest that comes back is paused again before any effect
        // steps.
        if (pausedFlag_) {
            pausedFlag_ = false;
            pauseRequested_ = true;
        }
        transport = std::move(transport_);
    }
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        registeredSlots_ = 0;
        wantedMuteMask_ = 0xFFFFFFFFu;
    }
    // The transport and the sequences go with no lock held.
}

// Per-turn work -------------------------------------------------------------

bool HandlerCommands::disconnectionRequested() {
    HandlerLock lock(handlerMutex());
    return disconnectionFlag_;
}

void HandlerCommands::startDisconnection() {
    {
        HandlerLock lock(handlerMutex());
        disconnectionFlag_ = true;
        state_ = VBZ_STATE_DISCONNECTING;
    }
}

void HandlerCommands::wakeTurn() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        woken_ = true;
    }
    wake_.notify_one();
}

void HandlerCommands::waitForWork() {
    // Playing sequences have samples falling due: look again within 1 ms.
    // With none, the only work that comes by itself is the keep-alive; all
    // else (API requests, board statuses, a lost link) wakes the turn.
    auto until = Clock::now() + kIdleWait;
    if (playingList.empty()) until = std::max(until, lastTransactionTime_ + timing_.keepAliveInterval);
    std::unique_lock<std::mutex> lock(wakeMutex_);
    wake_.wait_until(lock, until, [this] { return woken_; });
    woken_ = false;
}

float HandlerCommands::secondsSinceOrigin() const { return seconds(Clock::now() - connectionOrigin_); }

HandlerCommands::TurnView HandlerCommands::readTurnView() {
    HandlerLock lock(handlerMutex());
    TurnView v;
    v.request = stopAllRequested_ || resumeRequested_ || pauseRequested_;
    v.stops = !stopList_.empty();
    v.plays = !playList_.empty();
    v.disconnect = disconnectionFlag_;
    return v;
}

void HandlerCommands::synchroniseSlots(const SlotMasks& masks) {
    const uint32_t differ = (masks.boardReserved ^ masks.registered) & kSlotBits;
    if (differ == 0) return;
    for (int i = 0; i < kSlots; ++i) {
        if (!((differ >> i) & 1u)) continue;
        const auto it = slotRegister_.find(i);
        if (it == slotRegister_.end()) {
            // The vest holds a slot the host does not know.
            if (traceOn()) LogLine(0, kTag) << "Slot " << i << " should be free. Stop called.";
            stopSlot(i, 0.0f);
        } else {
            it->second->onSlotFreed(i);
            slotRegister_.erase(it);
            std::lock_guard<std::mutex> lock(transactionMutex_);
            registeredSlots_ &= ~(1u << i);
        }
    }
}

void HandlerCommands::updateMute(const SlotMasks& masks) {
    if ((masks.wantedMute ^ masks.boardMuted) & kSlotBits) setMuteStatus(masks.wantedMute);
}

void HandlerCommands::processResumeAllRequest() {
    bool run;
    {
        HandlerLock lock(handlerMutex());
        run = !stopAllRequested_ && resumeRequested_ && pausedFlag_;
        if (!run) resumeRequested_ = false;
    }
    if (!run) return;
    LogLine(0, kTag) << "Processing resume all request.";
    auto frame = shortFrame(DeviceCommand::ResumeAll);
    sendCommand(frame.data(), static_cast<int>(frame.size()));
    const int64_t pausedFrom =
        std::chrono::duration_cast<std::chrono::nanoseconds>(pauseTime_.time_since_epoch()).count();
    const int64_t now = nowNanoseconds();
    for (const auto& sequence : playingList) sequence->addPausedTime(pausedFrom, now);
    HandlerLock lock(handlerMutex());
    pausedFlag_ = false;
    resumeRequested_ = false;
    pauseRequested_ = false;
}

void HandlerCommands::processPauseAllRequest() {
    bool run;
    {
        HandlerLock lock(handlerMutex());
        run = !stopAllRequested_ && !resumeRequested_ && pauseRequested_ && !pausedFlag_;
        if (!run) pauseRequested_ = false;
    }
    if (!run) return;
    LogLine(0, kTag) << "Processing pause all request.";
    auto frame = shortFrame(DeviceCommand::PauseAll);
    sendCommand(frame.data(), static_cast<int>(frame.size()));
    pauseTime_ = Clock::now();
    HandlerLock lock(handlerMutex());
    pausedFlag_ = true;
    pauseRequested_ = false;
}

void HandlerCommands::processStopAllRequest() {
    {
        HandlerLock lock(handlerMutex());
        if (!stopAllRequested_) return;
    }
    LogLine(0, kTag) << "Processing stop all request.";
    auto frame = shortFrame(DeviceCommand::StopAll);
    sendCommand(frame.data(), static_cast<int>(frame.size()));
    std::vector<std::shared_ptr<Sequence>> released;
    {
        HandlerLock lock(handlerMutex());
        effectTable_.clear();
        released.swap(playingList);
        slotRegister_.clear();
        stopList_.clear();
        stopFades_.clear();
        playList_.clear();
        stopAllRequested_ = false;
    }
    std::lock_guard<std::mutex> lock(transactionMutex_);
    registeredSlots_ = 0;
    wantedMuteMask_ = 0xFFFFFFFFu;
}

void HandlerCommands::processEffectStopList() {
    std::vector<int> ids;
    std::vector<float> fades;
    bool skipped = false;
    {
        HandlerLock lock(handlerMutex());
        if (stopAllRequested_ || resumeRequested_ || pauseRequested_) {
            skipped = true;
        } else {
            ids.swap(stopList_);
            fades.swap(stopFades_);
            stopList_.reserve(kSlots);
            stopFades_.reserve(kSlots);
        }
    }
    if (skipped) {
        if (traceOn()) LogLine(0, kTag) << "Processing effect stop list skipped ";
        return;
    }
    if (ids.empty()) return;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        std::shared_ptr<Sequence> sequence;
        {
            HandlerLock lock(handlerMutex());
            const auto it = effectTable_.find(ids[k]);
            if (it == effectTable_.end()) continue;
            sequence = it->second;
        }
        sequence->stop(k < fades.size() ? fades[k] : 0.0f);
        if (sequence->state() == -1) {
            HandlerLock lock(handlerMutex());
            effectTable_.erase(ids[k]);
        }
    }
    std::erase_if(playingList, [](const auto& s) { return s->state() == -1; });
}

void HandlerCommands::keepAlive() {
    if (Clock::now() - lastTransactionTime_ <= timing_.keepAliveInterval) return;
    auto frame = shortFrame(DeviceCommand::GetStatus);
    sendCommand(frame.data(), static_cast<int>(frame.size()));
}

// Transactions and slots ----------------------------------------------------

int HandlerCommands::sendCommand(uint8_t* frame, int length) {
    {
        HandlerLock lock(handlerMutex());
        if (state_ == VBZ_STATE_DISCONNECTED || state_ == VBZ_STATE_DISCONNECTING || !link_)
            return VBZ_ERROR_NO_DEVICE_CONNECTED;
    }
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        pendingAnswer_ = true;
        expectedAnswerId_ = static_cast<uint8_t>(frame[0] | 0x80u);
    }
    if (traceOn())
        LogLine(0, kTag) << "Send command " << std::hex << static_cast<int>(frame[0]) << std::dec
                         << " - Time: " << secondsSinceOrigin();
    ++commandsThisTurn_;
    const auto start = Clock::now();
    if (link_->write(frame, length) < 0) {
        LogLine(4, kTag) << "Could not send command to Vibrenza. Initiate disconnection.";
        startDisconnection();
        return VBZ_ERROR_DEVICE_NOT_REACHABLE;
    }
    auto lastSend = Clock::now();
    int timeouts = 0;
    enum { kAnswered, kAborted, kGaveUp } outcome;
    for (;;) {
        bool pending, ended;
        {
            std::unique_lock<std::mutex> lock(transactionMutex_);
            answered_.wait_until(lock, lastSend + timing_.answerTimeout,
                                 [this] { return !pendingAnswer_ || receptionEnded_; });
            pending = pendingAnswer_;
            ended = receptionEnded_;
        }
        // The answer is looked at first: one that came is never resent for.
        if (!pending) {
            outcome = kAnswered;
            break;
        }
        if (ended) {
            outcome = kAborted;
            break;
        }
        const auto now = Clock::now();
        if (now - lastSend >= timing_.answerTimeout) {
            if (++timeouts >= timing_.timeoutsBeforeGivingUp) {
                outcome = kGaveUp;
                break;
            }
            LogLine(1, kTag) << "No answer from Vibrenza, retry sending command.";
            if (link_->write(frame, length) < 0) {
                LogLine(4, kTag) << "Could not send command to Vibrenza. Initiate disconnection.";
                startDisconnection();
                return VBZ_ERROR_DEVICE_NOT_REACHABLE;
            }
            // Timed from the end of the write, as the first send: the vest
            // then sees its sends at least the time-out apart.
            lastSend = Clock::now();
        }
    }
    const auto end = Clock::now();
    if (traceOn())
        LogLine(0, kTag) << "#################### Transaction time: " << seconds(end - start);
    if (outcome == kAnswered) {
        lastTransactionTime_ = end;
        return 0;
    }
    if (outcome == kGaveUp)
        LogLine(4, kTag) << "Vibrenza is not answering, initiate disconnection.";
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        pendingAnswer_ = false;
    }
    startDisconnection();
    return VBZ_ERROR_DEVICE_NOT_REACHABLE;
}

int HandlerCommands::sendPlay(uint8_t* frame) {
    commandCrc16(frame, kPlayLength);
    const int r = sendCommand(frame, kPlayLength);
    if (r < 0) return r;
    uint8_t status;
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        status = answerStatus_;
    }
    if (status < kSlots) return status;
    if (status == 254) return VBZ_ERROR_INVALID_PARAMETER;
    if (status == 255) return VBZ_ERROR_NO_SLOT_AVAILABLE;
    // Not a slot of the vest: nothing is registered, and the sample is tried
    // again in a later turn.
    LogLine(4, kTag) << "Vibrenza answered a play command with an invalid slot: "
                     << static_cast<int>(status);
    return VBZ_ERROR_INVALID_MESSAGE;
}

void HandlerCommands::stopSlot(int slot, float fadeSeconds) {
    stopFrame_[3] = static_cast<uint8_t>(slot);
    writeF32(&stopFrame_[4], fadeSeconds);
    commandCrc16(stopFrame_.data(), static_cast<uint16_t>(stopFrame_.size()));
    if (traceOn()) LogLine(0, kTag) << "Stop command requested on slot " << slot;
    sendCommand(stopFrame_.data(), static_cast<int>(stopFrame_.size()));
}

void HandlerCommands::setMuteStatus(uint32_t mask) {
    muteFrame_[3] = static_cast<uint8_t>(mask);
    muteFrame_[4] = static_cast<uint8_t>(mask >> 8);
    muteFrame_[5] = static_cast<uint8_t>(mask >> 16);
    commandCrc16(muteFrame_.data(), static_cast<uint16_t>(muteFrame_.size()));
    if (traceOn()) LogLine(0, kTag) << "Set mute status " << std::hex << mask;
    sendCommand(muteFrame_.data(), static_cast<int>(muteFrame_.size()));
}

void HandlerCommands::setWantedMuteMask(uint32_t mask) {
    std::lock_guard<std::mutex> lock(transactionMutex_);
    wantedMuteMask_ = mask;
}

void HandlerCommands::updateBoardStatus(const uint8_t* bytes) {
    uint64_t s = 0;
    for (int k = 0; k < 5; ++k) s |= static_cast<uint64_t>(bytes[k]) << (8 * k);
    uint32_t reserved = 0;
    uint32_t muted = kNoSlotBits;
    for (int i = 0; i < kSlots; ++i) {
        reserved |= static_cast<uint32_t>((s >> (2 * i)) & 1u) << i;
        muted |= static_cast<uint32_t>((s >> (2 * i + 1)) & 1u) << i;
    }
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        boardReservedSlots_ = reserved;
        boardMutedSlots_ = muted;
    }
    wakeTurn();
    if (traceOn()) {
        LogLine(0, kTag) << "   Board reserved " << std::hex << reserved;
        LogLine(0, kTag) << "   Board muted " << std::hex << muted;
    }
}

int HandlerCommands::registerSlot(int slot, bool overBudget,
                                  const std::shared_ptr<Sequence>& sequence) {
    if (slot < 0 || slot >= kSlots || !sequence) return VBZ_ERROR_INVALID_PARAMETER;
    if (const auto it = slotRegister_.find(slot); it != slotRegister_.end()) {
        it->second->onSlotFreed(slot);
        slotRegister_.erase(it);
        LogLine(1, kTag) << "Slot " << slot
                         << "already registered detected, reregistered to the latest sample.";
    }
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        registeredSlots_ |= 1u << slot;
        wantedMuteMask_ &= ~(1u << slot);
        if (overBudget) wantedMuteMask_ |= 1u << slot;
    }
    slotRegister_[slot] = sequence;
    return 0;
}

int HandlerCommands::unregisterSlot(int slot) {
    const auto it = slotRegister_.find(slot);
    if (it == slotRegister_.end()) {
        LogLine(1, kTag) << "Cannot unregister slot (ID " << slot << "), slot is already free.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    slotRegister_.erase(it);
    std::lock_guard<std::mutex> lock(transactionMutex_);
    registeredSlots_ &= ~(1u << (slot % 32));
    return 0;
}

HandlerCommands::SlotMasks HandlerCommands::slotMasks() {
    std::lock_guard<std::mutex> lock(transactionMutex_);
    return {registeredSlots_, boardReservedSlots_, wantedMuteMask_, boardMutedSlots_};
}

// ---------------------------------------------------------------------------
// Reception thread

void HandlerCommands::receptionLoop(IHidCom* link) {
    receptionId_.store(std::this_thread::get_id());
    bool lost = false;
    while (!disconnectionRequested()) {
        const auto began = Clock::now();
        const int n = link->read();
        if (n == -3 || n == -6) {
            lost = true;
            break;
        }
        if (n > 0)
            handleMessage(link);
        else if (n == 0 && Clock::now() - began < kQuickRead)
            std::this_thread::sleep_for(kIdleWait);  // the transport did not wait
    }
    if (lost) startDisconnection();
    {
        // A transaction still waiting can no longer be answered.
        std::lock_guard<std::mutex> lock(transactionMutex_);
        receptionEnded_ = true;
    }
    answered_.notify_all();
    wakeTurn();
    receptionId_.store(std::thread::id());
}

void HandlerCommands::handleMessage(IHidCom* link) {
    const uint8_t* rx = link->receiveBuffer.data();
    const uint8_t id = rx[0];
    if (traceOn())
        LogLine(0, kTag) << "Message received: " << std::hex << static_cast<int>(id) << std::dec
                         << " - Time: " << secondsSinceOrigin();
    bool awaited;
    uint8_t expected;
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        expected = expectedAnswerId_;
        awaited = pendingAnswer_ && id == expected;
    }
    if (awaited) {
        int status = -1;
        switch (id) {
            case 0x81:
            case 0x82:
                status = rx[3];
                updateBoardStatus(rx + 4);
                break;
            case 0x83:
            case 0x84:
            case 0x85:
            case 0x86:
            case 0x87: updateBoardStatus(rx + 3); break;
            case 0x88: {
                const auto serial = static_cast<unsigned int>(serialFromFields(rx));
                HandlerLock lock(handlerMutex());
                serialNumber_ = serial;
                break;
            }
            case 0x89: {
                std::string version = versionFromAnswer(rx);
                HandlerLock lock(handlerMutex());
                version_ = std::move(version);
                break;
            }
            case 0x8A: {
                const int type = deviceTypeFromCode(readU32(rx + 3));
                HandlerLock lock(handlerMutex());
                deviceType_ = type;
                break;
            }
            case 0x8B: break;
            default:
                LogLine(4, kTag) << "Answer to command '" << std::hex << static_cast<int>(expected)
                                 << "' is not handled. Please report.";
                break;
        }
        {
            std::lock_guard<std::mutex> lock(transactionMutex_);
            if (status >= 0) answerStatus_ = static_cast<uint8_t>(status);
            pendingAnswer_ = false;
        }
        answered_.notify_all();
        return;
    }
    if (id == kBoardStatus) {
        updateBoardStatus(rx + 3);
        return;
    }
    if (id == kDeviceError) {
        const auto code = static_cast<int8_t>(rx[3]);
        LogLine(4, kTag) << "Vibrenza was not able to process the last command.";
        LogLine(4, kTag) << deviceErrorText(code);
        if (code == -4) {
            bool ended = false;
            {
                // A refused play ends at once; other commands wait and resend.
                std::lock_guard<std::mutex> lock(transactionMutex_);
                if (pendingAnswer_ && expectedAnswerId_ == kPlayAnswer) {
                    answerStatus_ = 254;
                    pendingAnswer_ = false;
                    ended = true;
                }
            }
            if (ended) answered_.notify_all();
        }
        return;
    }
    LogLine(4, kTag) << "Unexpected message from remote device:" << std::hex
                     << static_cast<int>(id);
}

}  // namespace vbz::seq
