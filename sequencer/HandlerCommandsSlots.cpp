// HandlerCommands: transactions and the slot bookkeeping. Commands are sent
// one transaction at a time by the sequencing thread, which also keeps the
// register of the slots its sequences play on and brings it and the mute
// mask in line with the board's statuses each turn. The reception thread
// completes transactions and decodes board statuses into the masks here;
// the transaction mutex guards what the two share.
#include "sequencer/HandlerCommands.h"

#include <cstring>

#include "device/Frame.h"
#include "sdk/core/LogHold.h"
#include "sdk/core/LogLine.h"

namespace vbz::seq {

namespace {
constexpr const char* kTag = "Sequencer";
constexpr int kSlots = 20;
constexpr uint32_t kSlotBits = 0x000FFFFFu;
// Bits 20 to 31 name no slot of the vest: they read as muted.
constexpr uint32_t kNoSlotBits = ~kSlotBits;
constexpr int kPlayLength = 518;
// The least a play answer that may be a copy waits for the play's own.
constexpr auto kCopyPatience = std::chrono::milliseconds(5);

bool traceOn() { return minLogLevel.load(std::memory_order_relaxed) <= 0; }

float seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<float>(d).count();
}

void writeF32(uint8_t* p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    writeU32(p, bits);
}
}  // namespace

// Transactions and slots ----------------------------------------------------

int HandlerCommands::sendCommand(uint8_t* frame, int length) {
    {
        HandlerLock lock(handlerMutex());
        if (state_ == VBZ_STATE_DISCONNECTED || state_ == VBZ_STATE_DISCONNECTING || !link_)
            return VBZ_ERROR_NO_DEVICE_CONNECTED;
    }
    if (traceOn())
        LogLine(0, kTag) << "Send command " << std::hex << static_cast<int>(frame[0]) << std::dec
                         << " - Time: " << secondsSinceOrigin();
    ++commandsThisTurn_;
    const auto start = Clock::now();
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        pendingAnswer_ = true;
        expectedAnswerId_ = static_cast<uint8_t>(frame[0] | 0x80u);
        answerMayRepeat_ = false;
        // Counted right before the write: whatever was read before cannot
        // be this command's answer.
        ++commandsWritten_;
    }
    if (link_->write(frame, length) < 0) {
        LogLine(4, kTag) << "Could not send command to Vibrenza. Initiate disconnection.";
        startDisconnection(true);
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
                startDisconnection(true);
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
        lastAnswerTime_ = end - lastSend;  // the vest's own time, not the resends'
        return 0;
    }
    if (outcome == kGaveUp)
        LogLine(4, kTag) << "Vibrenza is not answering, initiate disconnection.";
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        pendingAnswer_ = false;
    }
    // Cut short because the reception ended: a lost link has said so already,
    // and a disconnection asked for is no failure.
    startDisconnection(outcome == kGaveUp);
    return VBZ_ERROR_DEVICE_NOT_REACHABLE;
}

int HandlerCommands::sendPlay(uint8_t* frame) {
    commandCrc16(frame, kPlayLength);
    const Clock::duration answerTime = lastAnswerTime_;
    const int r = sendCommand(frame, kPlayLength);
    if (r < 0) return r;
    uint8_t status;
    bool mayRepeat;
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        status = answerStatus_;
        mayRepeat = answerMayRepeat_;
    }
    if (mayRepeat) {
        // The answer is the previous play's, byte for byte, with no frame
        // between: either the vest put this play on the slot the previous
        // one had (freed meanwhile, with no status between) or it sent that
        // answer twice and the one for this play is still on its way. The
        // vest answers in order, over a link that keeps the order, so this
        // play's own answer, if it is still to come, arrives before the
        // answer to a status request; if none comes, the answer taken was
        // this play's. The request waits first for as long as the vest took
        // to answer lately (at least a few milliseconds): a copy comes right
        // behind the answer it repeats, and the play's own answer then
        // follows within that time, so that no command is sent before it.
        const auto patience = std::min(std::max(2 * answerTime, Clock::duration(kCopyPatience)),
                                       timing_.answerTimeout);
        bool later;
        {
            std::unique_lock<std::mutex> lock(transactionMutex_);
            answered_.wait_for(lock, patience, [this] { return laterPlayAnswerSeen_ || receptionEnded_; });
            later = laterPlayAnswerSeen_;
        }
        if (!later) {
            auto request = shortFrame(DeviceCommand::GetStatus);
            sendCommand(request.data(), static_cast<int>(request.size()));
        }
        bool repeated;
        {
            std::lock_guard<std::mutex> lock(transactionMutex_);
            watchingPlayAnswers_ = false;
            repeated = laterPlayAnswerSeen_;
            if (repeated) status = laterPlayAnswerStatus_;
            laterPlayAnswerSeen_ = false;
        }
        if (repeated) LogLine(1, kTag) << "An answer to a play came twice: the play's own answer came after it.";
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
        previousBoardReserved_ = boardReservedSlots_;
        boardReservedSlots_ = reserved;
        boardMutedSlots_ = muted;
        ++statusCount_;
        statusSilences_ = silences_;
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
        slotChanged_[static_cast<std::size_t>(slot)] = slotChangeNow();
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
    slotChanged_[static_cast<std::size_t>(slot)] = slotChangeNow();
    return 0;
}

HandlerCommands::SlotMasks HandlerCommands::slotMasks() {
    std::lock_guard<std::mutex> lock(transactionMutex_);
    return {registeredSlots_, boardReservedSlots_, wantedMuteMask_, boardMutedSlots_,
            previousBoardReserved_, statusCount_, statusSilences_};
}

// The turn's checks against the board ------------------------------------

void HandlerCommands::synchroniseSlots(const SlotMasks& masks) {
    const uint32_t differ = (masks.boardReserved ^ masks.registered) & kSlotBits;
    if (differ == 0) return;
    // A status the vest built before it answered a play or a stop can reach
    // us after that answer (its own statuses cross the answers, a datagram
    // overtakes another), showing the slot as it was. Such a status comes
    // right behind the answer: one read after the link has been silent for
    // a while since the slot's last change here was built after it, and is
    // acted upon alone. Otherwise a slot is acted upon only when the last
    // two statuses, both received after its last change, show it alike;
    // until then the turn asks for a status if it brings none (keepAlive).
    const uint32_t steady = ~(masks.boardReserved ^ masks.previousBoardReserved);
    bool unsettled = false;
    for (int i = 0; i < kSlots; ++i) {
        if (!((differ >> i) & 1u)) continue;
        const auto slot = static_cast<std::size_t>(i);
        const bool fresh = masks.statusSilences > slotChanged_[slot].silences;
        if (!fresh && (masks.statuses < slotChanged_[slot].statuses + 2 || !((steady >> i) & 1u))) {
            unsettled = true;
            continue;
        }
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
            slotChanged_[slot] = slotChangeNow();
        }
    }
    unsettled_ = unsettled;
    unsettledAt_ = masks.statuses;
}

void HandlerCommands::updateMute(const SlotMasks& masks) {
    if ((masks.wantedMute ^ masks.boardMuted) & kSlotBits) setMuteStatus(masks.wantedMute);
}

}  // namespace vbz::seq
