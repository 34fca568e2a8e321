// HandlerCommands: the scheduling of effects. Plays make sequences under the
// patterns' accumulation rules; each turn of the sequencing loop starts the
// queued ones in the playing list's order and steps every playing one,
// keeping the slots of the sequences beyond the audible budget muted.
#include <algorithm>
#include <chrono>

#include "sdk/core/LogHold.h"
#include "sdk/core/LogLine.h"
#include "sequencer/HandlerCommands.h"

namespace vbz::seq {

namespace {
constexpr const char* kTag = "Sequencer";
constexpr uint32_t kSlotBits = 0x000FFFFFu;  // the vest's 20 slots

bool traceOn() { return minLogLevel.load(std::memory_order_relaxed) <= 0; }
}  // namespace

int64_t HandlerCommands::nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::shared_ptr<Sequence> HandlerCommands::createSequence(const std::shared_ptr<Pattern>& pattern, int effectId,
                                                          const vbz_effect_properties_t& properties) {
    return vbz::seq::createSequence(*this, pattern, effectId, properties, nowNanoseconds());
}

int HandlerCommands::playEffect(int patternId, vbz_effect_properties_t properties) {
    enum { kQueued, kUnknown, kIgnored } outcome = kUnknown;
    int id = -1;
    {
        HandlerLock lock(handlerMutex());
        const auto it = patternTable_.find(patternId);
        if (it != patternTable_.end()) {
            auto sequence = createSequence(it->second, static_cast<int>(nextEffectId_), properties);
            if (sequence) {
                id = static_cast<int>(nextEffectId_++);
                effectTable_[id] = sequence;
                playList_.push_back(std::move(sequence));  // starts in a later turn
                outcome = kQueued;
            } else {
                outcome = kIgnored;
            }
        }
    }
    if (outcome == kUnknown) {
        LogLine(4, kTag) << "Could not play effect: Pattern ID " << patternId << " not found.";
        return VBZ_ERROR_INVALID_PARAMETER;
    }
    if (outcome == kIgnored) {
        LogLine(2, kTag) << "Max accumulation reached, play event is ignored.";
        return VBZ_ERROR_PLAY_IGNORED;
    }
    wakeTurn();
    LogLine(2, kTag) << "Effect assigned to ID: " << id;
    return id;
}

void HandlerCommands::processEffectPlayList() {
    SequenceList queued;
    bool skipped = false;
    {
        HandlerLock lock(handlerMutex());
        if (stopAllRequested_ || resumeRequested_ || pauseRequested_)
            skipped = true;
        else
            queued.swap(playList_);
    }
    if (skipped) {
        if (traceOn()) LogLine(0, kTag) << "Processing effect play list skipped.";
        return;
    }
    if (queued.empty()) return;
    // An effect stopped while queued, or whose start lies past its end, is
    // finished already: it takes no place (and no budget) in the list.
    SequenceList gone;
    for (auto& sequence : queued) {
        if (sequence->state() == -1)
            gone.push_back(std::move(sequence));
        else
            insertIntoPlayingList(playingList, std::move(sequence));
    }
    const BudgetSplit split = splitBudget(playingList);
    for (auto& sequence : trimPlayingList(playingList)) gone.push_back(std::move(sequence));
    if (!gone.empty()) {
        HandlerLock lock(handlerMutex());
        for (const auto& sequence : gone) {
            const auto it = effectTable_.find(sequence->effectId());
            if (it != effectTable_.end() && it->second == sequence) effectTable_.erase(it);
        }
    }
    const uint32_t wanted = ~split.heardSlots;
    setMuteStatus(wanted);
    setWantedMuteMask(wanted);
    for (std::size_t i = 0; i < playingList.size(); ++i) playingList[i]->play(i >= split.inBudget);
}

void HandlerCommands::stepSequences() {
    if (playingList.empty()) return;
    {
        HandlerLock lock(handlerMutex());
        if (stopAllRequested_ || resumeRequested_ || pauseRequested_ || pausedFlag_) return;
    }
    uint32_t heard = 0;
    int sum = 0;
    for (auto it = playingList.begin(); it != playingList.end();) {
        const std::shared_ptr<Sequence> sequence = *it;
        sequence->process();
        if (sequence->state() == -1) {
            {
                HandlerLock lock(handlerMutex());
                const auto entry = effectTable_.find(sequence->effectId());
                if (entry != effectTable_.end() && entry->second == sequence) effectTable_.erase(entry);
            }
            it = playingList.erase(it);
            continue;
        }
        sum += sequence->slotCount();
        const bool over = sum > kSlotBudget;
        if (!over) sequence->usedSlotMask(heard);
        sequence->setOverBudget(over);
        ++it;
    }
    const uint32_t wanted = ~heard;
    bool changed;
    {
        std::lock_guard<std::mutex> lock(transactionMutex_);
        changed = ((wanted ^ wantedMuteMask_) & kSlotBits) != 0;
        wantedMuteMask_ = wanted;
    }
    if (changed) setMuteStatus(wanted);
}

}  // namespace vbz::seq
