// A playing effect of the legacy back-end: one play of a Pattern with the
// effect's properties, scheduled on the host. Each turn of the sequencing
// loop, process() finds the samples whose time has come and has the owner
// send one play message per sample; the vest plays it on a slot of its own,
// and the owner reports through onSlotFreed() when the vest has freed it, so
// that each track plays its samples one after the other. A Sequence also
// carries its repetitions, its maximum duration and its fade-out, and takes
// part in the playing list's order (priority) and slot budget.
//
// Ownership: made with std::make_shared and shared by the handler's queues,
// playing list, effect table and slot register.
//
// Threads: made (and given its effect id and anchor) on the thread that
// plays the effect, before it is queued; every other operation runs on the
// sequencing thread, except state(), which any thread may read.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "sequencer/Pattern.h"
#include "sequencer/SpatialBlock.h"
#include "vibrenza/vbz_types.h"

namespace vbz::seq {

class Sequence;

// What a Sequence asks of the back-end that plays it (HandlerCommands; a
// recording double in tests). Called on the sequencing thread with no lock
// held.
class SequenceOwner {
public:
    virtual ~SequenceOwner() = default;
    // Steady clock, nanoseconds.
    virtual int64_t nowNanoseconds() = 0;
    // Sends a 518-byte play message: the vest's slot (0 to 19), or -2 (play
    // refused), -8 (no free slot), -6 (no answer) or another negative code.
    virtual int sendPlay(uint8_t* message) = 0;
    virtual void stopSlot(int slot, float fadeSeconds) = 0;
    virtual int registerSlot(int slot, bool overBudget, const std::shared_ptr<Sequence>& sequence) = 0;
    virtual int unregisterSlot(int slot) = 0;
    virtual int getGlobalIntensityBoost() = 0;
    virtual int unloadPattern(int patternId) = 0;
};

// Slots heard at once; the playing list as a whole may hold the vest's 20.
inline constexpr int kSlotBudget = 10;
inline constexpr int kPlayingSlotCap = 20;

class Sequence : public std::enable_shared_from_this<Sequence> {
public:
    // Converts the properties and seeks to their play-at time; a start time
    // beyond the effect's end leaves the sequence finished (state -1).
    Sequence(SequenceOwner& owner, std::shared_ptr<Pattern> pattern, const vbz_effect_properties_t& properties);

    // Starts the sequence: 0, -1 (not in state 0) or -2 (the vest refused
    // the first sample; the pattern is discarded).
    int play(bool overBudget);
    // One scheduling step: 0, or -2 when the vest refused a sample.
    int process();
    // 0, or -1 for a slot this sequence does not hold.
    int onSlotFreed(int slot);
    // Fade <= 0 stops every slot now and finishes; a fade > 0 lets the vest
    // fade the playing samples while later ones are scaled down, and the
    // sequence finishes when the fade has run out and no slot is active.
    // -1 when the sequence never started (it is finished anyway).
    int stop(float fadeSeconds);
    // The vest was paused from pauseStart (steady-clock ns) to now: the part
    // of the pause after this sequence's repetition (and fade) began is added
    // to its paused times.
    void addPausedTime(int64_t pauseStart, int64_t now);
    // ORs in 1 << (slot mod 32) for each active slot.
    void usedSlotMask(uint32_t& mask) const;
    void setOverBudget(bool overBudget);
    // Records that a sample of track plays on slot (after each successful
    // play; an entry already present keeps its track).
    void holdSlot(int slot, int track) { activeSlots_.emplace(slot, track); }

    int slotCount() const { return slotCount_; }
    int effectId() const { return effectId_; }
    void setEffectId(int id) { effectId_ = id; }
    int priority() const { return priority_; }
    int anchorEffectId() const { return anchorEffectId_; }
    void setAnchorEffectId(int id) { anchorEffectId_ = id; }
    // 0 not started, 1 playing over the budget (muted), 2 playing, -1 finished.
    int state() const { return state_.load(std::memory_order_relaxed); }
    const std::shared_ptr<Pattern>& pattern() const { return pattern_; }

    // What the conversions and the seek made of the properties.
    int boost() const { return boost_; }
    const SpatialBlock& spatial() const { return spatial_; }
    float playAt() const { return playAt_; }
    int repeatCount() const { return repeatCount_; }
    bool waitingRepetition() const { return waitingRepetition_; }
    float waitOffset() const { return waitOffset_; }
    uint32_t nextSample(int track) const { return nextSample_.at(static_cast<std::size_t>(track)); }
    float startOffset(int track) const { return startOffset_.at(static_cast<std::size_t>(track)); }
    std::size_t activeSlotCount() const { return activeSlots_.size(); }

    // The effect boost as a gain: 10^(boost x 0.02) truncated, signed.
    static int convertBoost(int32_t effectBoost);

private:
    void seekToPlayAt();
    // Ends a repetition: the next one waits the repeat delay. False when
    // there is none (the sequence is finished).
    bool prepareNextRepetition(int64_t now);
    void finish() { state_.store(-1, std::memory_order_relaxed); }
    float secondsSince(int64_t from, int64_t now) const;

    int64_t startTime_ = 0;
    int64_t repetitionStart_ = 0;
    float pausedTime_ = 0.0f;
    float pausedFadeTime_ = 0.0f;
    int64_t fadeStart_ = 0;
    float fadeDuration_ = 0.0f;
    SequenceOwner& owner_;
    std::shared_ptr<Pattern> pattern_;
    int anchorEffectId_ = -1;
    float playAt_ = 0.0f;
    float volume_ = 0.0f;
    float speed_ = 1.0f;
    int repeatCount_ = 1;
    float repeatDelay_ = 0.0f;
    float maxDuration_ = 0.0f;
    int boost_ = 0;
    bool overridePatternBoost_ = false;
    int priority_ = 5;
    SpatialBlock spatial_;
    bool overBudget_ = false;
    bool fadeEnding_ = false;
    bool fadeEndLogged_ = false;
    int slotCount_ = 0;
    bool waitingRepetition_ = false;
    int finishedTracks_ = 0;
    float waitOffset_ = 0.0f;
    int effectId_ = -1;
    std::atomic<int> state_{0};
    std::map<int, int> activeSlots_;  // slot -> track
    std::vector<uint32_t> nextSample_;
    std::vector<float> startOffset_;
    std::vector<uint32_t> trackState_;  // 0 idle, 1 a sample plays, 2 no sample left
    PlayMessage message_{};
};

// The playing list's order: lower priority value first, then fewer slots.
// True when a goes before b (ties included, so that a newcomer goes before
// the elements it ties with in a linear scan; not a strict weak order, so
// never give it to a sort).
bool comparePriority(const Sequence& a, const Sequence& b);

using SequenceList = std::vector<std::shared_ptr<Sequence>>;

// Inserts a newly started sequence: right after its anchor effect's
// sequence when it has one in the list (at the end when not), else before
// the first element it goes before by comparePriority (at the end when none).
void insertIntoPlayingList(SequenceList& playing, std::shared_ptr<Sequence> sequence);

struct BudgetSplit {
    std::size_t inBudget = 0;  // the first inBudget elements are heard
    uint32_t heardSlots = 0;   // their active slots
};
// The longest prefix whose slot counts add up to kSlotBudget or less.
BudgetSplit splitBudget(const SequenceList& playing);

// Stops (without fade) and removes the last elements while the list holds
// more than kPlayingSlotCap slots; returns the removed ones.
SequenceList trimPlayingList(SequenceList& playing);

// Accumulation rules for one play of pattern at now (steady-clock ns): a
// sequence of the pattern (opening its window), of its fallback pattern
// inside the window (anchored behind the main effect when its priority value
// is not lower), or none when the window's maximum is reached. Changes the
// pattern's accumulation record: the caller holds the lock that guards it.
std::shared_ptr<Sequence> createSequence(SequenceOwner& owner, const std::shared_ptr<Pattern>& pattern,
                                         int effectId, const vbz_effect_properties_t& properties, int64_t now);

}  // namespace vbz::seq
