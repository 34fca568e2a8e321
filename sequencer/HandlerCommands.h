// The legacy back-end (log tag "Sequencer"): schedules each playing pattern's
// samples on the host and commands the vest to play them on its own board
// slots. Made by the back-end factory (kind 0) when the application asks for
// the legacy back-end; owned by the VibrenzaSDK object.
//
// Threads. The worker of the IHandler base runs the connection and scanning
// routines. A connection that opens starts the sequencing thread, which
// sends every command (one transaction at a time) and runs the per-turn
// work; it starts the reception thread, which reads whatever the vest sends
// and completes the transaction under way. API operations only raise
// request flags and fill queues under the handler mutex; the sequencing
// thread carries them out in its next turn.
//
// Locks: the handler mutex (state, identity, tables, queues, request flags,
// the transport pointer) and the transaction mutex (the transaction fields
// and the slot masks) are never held together, and neither is held while a
// frame is written or while the application is called. The handler mutex is
// taken through HandlerLock, and the lines of work done under it are written
// once it is released.
//
// A turn that sent nothing waits, at most 1 ms while effects play (else
// until the keep-alive is due), and is woken early by API requests, board
// statuses and a lost link; the answer wait sleeps until the answer or the
// resend time.
//
// Destroying the back-end ends the connection (the callback reports it),
// joins every thread and must not happen on one of its threads (from its
// connection callback): that is refused with an error line and the threads
// are left to end on their own.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/TransportFactory.h"
#include "sdk/core/IHandler.h"
#include "sequencer/Pattern.h"
#include "sequencer/Sequence.h"

namespace vbz::seq {

// The link's timing; tests shorten it.
struct SequencerTiming {
    std::chrono::steady_clock::duration answerTimeout = std::chrono::seconds(1);  // before a resend
    int timeoutsBeforeGivingUp = 10;
    std::chrono::steady_clock::duration keepAliveInterval = std::chrono::seconds(1);
    std::chrono::steady_clock::duration settleTime = std::chrono::milliseconds(500);  // USB, Bluetooth
};

class HandlerCommands : public IHandler, public SequenceOwner {
public:
    using Clock = std::chrono::steady_clock;

    using Timing = SequencerTiming;

    // factory: makes the transports tried by connections and scans.
    explicit HandlerCommands(SdkPersistentState* state, TransportFactory factory = &makeTransport,
                             Timing timing = {});
    ~HandlerCommands() override;

    vbz_device_info_t* getFirstScannedDevice() override;
    int kind() override { return 0; }

protected:
    void reloadPatterns() override;
    int startConnectionRoutine(vbz_output_t output, unsigned int serialNumber) override;
    int startScanningRoutine(vbz_output_t output) override;
    int startDisconnectionRoutine() override;

public:
    unsigned int getVibrenzaSerialNumber() override;
    std::string getVibrenzaVersion() override;
    vbz_device_type_t getVibrenzaType() override;
    int getGlobalIntensityBoost() override;
    int setGlobalIntensityBoost(int gain) override;
    int loadPatternFromJSON(std::string json) override;
    int unloadPattern(int patternId) override;
    int getPatternIntensityBoost(int patternId) override;
    int setAccumulationWindowToPattern(int mainPatternId, int fallbackPatternId, float timeWindow,
                                       int maxAccumulation) override;
    int eraseAccumulationWindowToPattern(int patternId) override;
    int playEffect(int patternId, vbz_effect_properties_t properties) override;
    int stopEffect(int effectId, float fadeTime) override;
    vbz_effect_state_t effectState(int effectId) override;
    int pauseAll() override;
    int resumeAll() override;
    int stopAll() override;

    // ---- Services of the sequencing thread (the scheduler calls them) ----

    // One transaction: 0 answered, -3 no connection, -6 no answer or a
    // transport failure (a disconnection is then under way).
    int sendCommand(uint8_t* frame, int length);
    // Seals and sends a 518-byte play message: the slot (0 to 19), -2 play
    // refused, -8 no free slot, -10 a status that names no slot, or the
    // code of sendCommand.
    int sendPlay(uint8_t* frame) override;
    void stopSlot(int slot, float fadeSeconds) override;
    void setMuteStatus(uint32_t mask);
    // The sequence now plays on slot; 0.
    int registerSlot(int slot, bool overBudget, const std::shared_ptr<Sequence>& sequence) override;
    // 0, or -2 when the slot is not registered.
    int unregisterSlot(int slot) override;
    // The wanted mute mask of the slots (bits 0 to 19).
    void setWantedMuteMask(uint32_t mask);
    // Steady clock, nanoseconds. Any thread.
    int64_t nowNanoseconds() override;

    // Decodes a 5-byte board status into the board masks. Reception thread
    // (and tests).
    void updateBoardStatus(const uint8_t* bytes);

    struct SlotMasks {
        uint32_t registered, boardReserved, wantedMute, boardMuted;
        uint32_t previousBoardReserved;  // of the status before the last one
        uint64_t statuses;               // board statuses received so far
        uint64_t statusSilences;         // silent spells of the link before the last status
    };
    // Any thread.
    SlotMasks slotMasks();

protected:
    // Per-turn effect scheduling on the sequencing thread
    // (HandlerCommandsEffects.cpp): starting the queued effects in the
    // playing list's order and stepping the playing ones, with the slots
    // beyond the audible budget muted.
    virtual void processEffectPlayList();
    virtual void stepSequences();
    // Ends the connection and joins every thread (the destructor's first
    // half). A derived class whose overrides run on the sequencing thread
    // calls it first in its own destructor. Idempotent.
    void shutdown();
    // Wakes a turn that waits for work. Any thread.
    void wakeTurn();

    // Sequences started and not finished, in play order. Sequencing thread.
    std::vector<std::shared_ptr<Sequence>> playingList;

private:

    // A sequence for one play of pattern under its accumulation rules, or
    // none when the window's maximum is reached. Under the handler mutex.
    std::shared_ptr<Sequence> createSequence(const std::shared_ptr<Pattern>& pattern, int effectId,
                                             const vbz_effect_properties_t& properties);

    void connectionRoutine(unsigned int serialNumber);
    void scanningRoutine(vbz_output_t output);
    void sequencingLoop(IHidCom* link);
    void receptionLoop(IHidCom* link);
    // written: commandsWritten_ when the read of the frame returned.
    void handleMessage(IHidCom* link, uint64_t written);
    int handshake();
    void endConnection(IHidCom* link, bool handshakeFailed);
    void resetDeviceState();

    // What a turn has to do, read in one hold of the handler mutex.
    struct TurnView {
        bool request = false;  // stop-all, resume or pause pending
        bool stops = false;
        bool plays = false;
        bool disconnect = false;
    };
    TurnView readTurnView();

    // Per-turn work.
    void synchroniseSlots(const SlotMasks& masks);
    void updateMute(const SlotMasks& masks);
    void processResumeAllRequest();
    void processPauseAllRequest();
    void processStopAllRequest();
    void processEffectStopList();
    void keepAlive();

    bool disconnectionRequested();
    // The failure step of a transaction; linkFailed: the vest stopped
    // answering or the link failed (the end is then reported as unwanted),
    // not a transaction cut short by a disconnection already under way.
    void startDisconnection(bool linkFailed);
    void waitForWork();
    float secondsSinceOrigin() const;
    bool onBackendThread() const;
    void reportConnection(int state, int error, unsigned int serial, const char* routine);

    const TransportFactory factory_;
    const Timing timing_;

    // Guarded by the handler mutex.
    unsigned int serialNumber_ = 0xFFFFFFFFu;
    std::string version_ = "noDeviceConnected";
    int deviceType_ = -1;
    int globalBoost_ = 0;
    std::map<int, std::shared_ptr<Pattern>> patternTable_;
    unsigned int nextPatternId_ = 0;
    std::map<int, std::shared_ptr<Sequence>> effectTable_;
    unsigned int nextEffectId_ = 0;
    std::vector<int> stopList_;
    std::vector<float> stopFades_;
    std::vector<std::shared_ptr<Sequence>> playList_;
    std::vector<vbz_device_info_t> scannedDevices_;
    std::vector<std::string> scannedTexts_;
    std::unique_ptr<IHidCom> transport_;
    vbz_output_t requestedOutput_ = VBZ_OUTPUT_ANY;
    vbz_output_t connectedOutput_ = VBZ_OUTPUT_ANY;
    bool disconnectionFlag_ = false;
    bool linkFailed_ = false;  // the disconnection under way comes of a failed link
    bool resumeRequested_ = false;
    bool pauseRequested_ = false;
    bool stopAllRequested_ = false;
    bool pausedFlag_ = false;

    // Worker thread only.
    std::map<int, std::map<uint32_t, std::string>> scanMap_;

    // Sequencing thread only (slotRegister_ is cleared under the handler
    // mutex once the thread has ended).
    std::map<int, std::shared_ptr<Sequence>> slotRegister_;
    // When each slot was last registered or released: the count of statuses
    // received and of the link's silent spells then.
    struct SlotChange {
        uint64_t statuses = 0;
        uint64_t silences = 0;
    };
    // Now, as a slot change notes it; transactionMutex_ held.
    SlotChange slotChangeNow() const { return {statusCount_, silences_}; }
    std::array<SlotChange, 20> slotChanged_{};
    // Whether a slot waits for another status, and the count then.
    bool unsettled_ = false;
    uint64_t unsettledAt_ = 0;
    IHidCom* link_ = nullptr;  // the connected transport, owned by transport_
    Clock::time_point lastTransactionTime_{};
    Clock::duration lastAnswerTime_{};  // from the last write to the answer, last transaction
    Clock::time_point pauseTime_{};
    int commandsThisTurn_ = 0;
    // Set before the sequencing thread starts, then read only.
    Clock::time_point connectionOrigin_{};

    // Frames reused for every send.
    std::array<uint8_t, 10> stopFrame_{};
    std::array<uint8_t, 8> muteFrame_{};

    // Guarded by the transaction mutex.
    std::mutex transactionMutex_;
    std::condition_variable answered_;
    bool pendingAnswer_ = false;
    bool receptionEnded_ = false;  // a transaction in flight can no longer be answered
    uint8_t expectedAnswerId_ = 0xFF;
    uint8_t answerStatus_ = 0xFF;
    // Transactions whose frame has begun to be written: a frame read before
    // the count reached the pending transaction's cannot answer it.
    uint64_t commandsWritten_ = 0;
    uint32_t registeredSlots_ = 0;
    uint32_t boardReservedSlots_ = 0;
    uint32_t wantedMuteMask_ = 0;
    uint32_t boardMutedSlots_ = 0;
    uint32_t previousBoardReserved_ = 0;
    uint64_t statusCount_ = 0;
    // Spells of at least kSilentSpell in which the vest sent nothing, as the
    // reception thread saw them, and their count when the last status came.
    uint64_t silences_ = 0;
    uint64_t statusSilences_ = 0;
    // The answer that ended the play transaction is byte for byte the play
    // answer read just before it (sendPlay then checks which play it
    // answers); while that check runs, the first later play answer that
    // differs from it.
    bool answerMayRepeat_ = false;
    bool watchingPlayAnswers_ = false;
    bool laterPlayAnswerSeen_ = false;
    uint8_t laterPlayAnswerStatus_ = 0xFF;

    // Reception thread only: the last play answer read, while no other frame
    // has come since; the one a play took that may repeat an earlier one.
    std::array<uint8_t, 11> lastPlayAnswer_{};
    bool lastPlayAnswerKept_ = false;
    std::array<uint8_t, 11> watchedPlayAnswer_{};

    // Wakes a turn that waits for work.
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    bool woken_ = false;

    // Made by the worker thread while the sequencing thread may already
    // run, which reads it when it is asked to destroy the back-end (from a
    // callback): the two meet under threadStartMutex_.
    std::mutex threadStartMutex_;
    std::thread sequencingThread_;
    std::thread receptionThread_;
    std::atomic<std::thread::id> sequencingId_{};
    std::atomic<std::thread::id> receptionId_{};
};

}  // namespace vbz::seq

using vbz::seq::HandlerCommands;
