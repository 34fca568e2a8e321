// HandlerCommands: the link with the vest. The connection and scanning
// routines run on the worker thread of the IHandler base; a connection that
// opens starts the sequencing thread (its loop, the handshake, the per-turn
// requests and the end of the connection), which starts the reception
// thread (reading the vest's frames and handing each to the message table
// in handleMessage).
#include "sequencer/HandlerCommands.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "device/Frame.h"
#include "sdk/core/DeviceTypes.h"
#include "sdk/core/ErrorText.h"
#include "sdk/core/LogHold.h"
#include "sdk/core/LogLine.h"

namespace vbz::seq {

namespace {
constexpr const char* kTag = "Sequencer";
constexpr unsigned int kNoSerial = 0xFFFFFFFFu;
constexpr const char* kNoDevice = "noDeviceConnected";
constexpr int kSlots = 20;
constexpr uint8_t kPlayAnswer = answerId(DeviceCommand::PlaySample);
constexpr uint8_t kBoardStatus = commandId(DeviceCommand::BoardStatus);
constexpr uint8_t kDeviceError = commandId(DeviceCommand::DeviceError);
constexpr auto kQuickRead = std::chrono::microseconds(200);
constexpr auto kIdleWait = std::chrono::milliseconds(1);
// A frame the vest sent before another comes right behind it: one that
// comes after the link has been silent this long was sent after it.
constexpr auto kSilentSpell = std::chrono::milliseconds(5);

bool traceOn() { return minLogLevel.load(std::memory_order_relaxed) <= 0; }

float seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<float>(d).count();
}
}  // namespace

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
                answerMayRepeat_ = false;
                watchingPlayAnswers_ = false;
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
    const bool closeFailed = link->close() != 0;
    bool failed;
    unsigned int serial;
    {
        HandlerLock lock(handlerMutex());
        failed = linkFailed_;
        serial = serialNumber_;
    }
    int error = 0;
    // A vest that stopped answering leaves a link that still closes well:
    // the end of a connection is no less unwanted (a failed handshake says
    // so with its own code).
    if (closeFailed || (failed && !handshakeFailed)) {
        if (handshakeFailed) {
            LogLine(2, kTag) << "Unwanted disconnection detected during connection process: "
                             << errorText(VBZ_ERROR_DEVICE_NOT_REACHABLE);
        } else {
            error = VBZ_ERROR_DEVICE_NOT_REACHABLE;
            LogLine(3, kTag) << "Unwanted disconnection detected: "
                             << errorText(VBZ_ERROR_DEVICE_NOT_REACHABLE);
        }
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
        linkFailed_ = false;
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
        slotChanged_.fill(slotChangeNow());
    }
    unsettled_ = false;
    // The transport and the sequences go with no lock held.
}

// Per-turn work -------------------------------------------------------------

bool HandlerCommands::disconnectionRequested() {
    HandlerLock lock(handlerMutex());
    return disconnectionFlag_;
}

void HandlerCommands::startDisconnection(bool linkFailed) {
    HandlerLock lock(handlerMutex());
    disconnectionFlag_ = true;
    state_ = VBZ_STATE_DISCONNECTING;
    if (linkFailed) linkFailed_ = true;
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
    slotChanged_.fill(slotChangeNow());
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
    // A slot waiting for a second status gets one now unless the turn's
    // answers brought one.
    bool settle = false;
    if (unsettled_) {
        unsettled_ = false;
        settle = slotMasks().statuses == unsettledAt_;
    }
    if (!settle && Clock::now() - lastTransactionTime_ <= timing_.keepAliveInterval) return;
    auto frame = shortFrame(DeviceCommand::GetStatus);
    sendCommand(frame.data(), static_cast<int>(frame.size()));
}

// ---------------------------------------------------------------------------
// Reception thread

void HandlerCommands::receptionLoop(IHidCom* link) {
    receptionId_.store(std::this_thread::get_id());
    lastPlayAnswerKept_ = false;
    bool lost = false;
    auto lastFrame = Clock::now();
    bool silenceCounted = true;
    while (!disconnectionRequested()) {
        const auto began = Clock::now();
        const int n = link->read();
        if (n == -3 || n == -6) {
            lost = true;
            break;
        }
        if (n != 0) {
            lastFrame = Clock::now();
            silenceCounted = false;
        } else if (!silenceCounted && Clock::now() - lastFrame >= kSilentSpell) {
            silenceCounted = true;
            std::lock_guard<std::mutex> lock(transactionMutex_);
            ++silences_;
        }
        if (n > 0) {
            uint64_t written;
            {
                std::lock_guard<std::mutex> lock(transactionMutex_);
                written = commandsWritten_;
            }
            handleMessage(link, written);
        }
        else if (n == 0 && Clock::now() - began < kQuickRead)
            std::this_thread::sleep_for(kIdleWait);  // the transport did not wait
    }
    if (lost) startDisconnection(true);
    {
        // A transaction still waiting can no longer be answered.
        std::lock_guard<std::mutex> lock(transactionMutex_);
        receptionEnded_ = true;
    }
    answered_.notify_all();
    wakeTurn();
    receptionId_.store(std::thread::id());
}

void HandlerCommands::handleMessage(IHidCom* link, uint64_t written) {
    const uint8_t* rx = link->receiveBuffer.data();
    const uint8_t id = rx[0];
    if (traceOn())
        LogLine(0, kTag) << "Message received: " << std::hex << static_cast<int>(id) << std::dec
                         << " - Time: " << secondsSinceOrigin();
    // A play answer right behind an identical one, with no other frame
    // between, is either the same frame sent twice or the answer to a later
    // play that the vest put on the slot the previous one had (freed
    // meanwhile, with no status between): only sendPlay can tell.
    const bool playAnswer = id == kPlayAnswer;
    const bool repeat = playAnswer && lastPlayAnswerKept_ &&
                        std::equal(lastPlayAnswer_.begin(), lastPlayAnswer_.end(), rx);
    if (playAnswer) std::copy_n(rx, lastPlayAnswer_.size(), lastPlayAnswer_.begin());
    lastPlayAnswerKept_ = playAnswer;
    bool awaited;
    bool later = false;
    uint8_t expected;
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        expected = expectedAnswerId_;
        // A frame read before the pending command was written (a copy of an
        // earlier answer, one that came late) does not answer it.
        awaited = pendingAnswer_ && id == expected && written == commandsWritten_;
        if (!awaited && playAnswer && watchingPlayAnswers_ && !laterPlayAnswerSeen_ &&
            !std::equal(watchedPlayAnswer_.begin(), watchedPlayAnswer_.end(), rx)) {
            laterPlayAnswerSeen_ = true;
            laterPlayAnswerStatus_ = rx[3];
            later = true;
        }
    }
    if (later) {
        // The answer the play is waiting for: the one it took was a repeat.
        updateBoardStatus(rx + 4);
        answered_.notify_all();
        return;
    }
    if (awaited && repeat) {
        std::copy_n(rx, watchedPlayAnswer_.size(), watchedPlayAnswer_.begin());
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
            if (playAnswer && repeat) {
                answerMayRepeat_ = true;
                watchingPlayAnswers_ = true;
                laterPlayAnswerSeen_ = false;
            }
            pendingAnswer_ = false;
        }
        answered_.notify_all();
        return;
    }
    if (repeat) {
        if (traceOn()) LogLine(0, kTag) << "Repeated answer to a play ignored.";
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
                if (pendingAnswer_ && expectedAnswerId_ == kPlayAnswer && written == commandsWritten_) {
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
