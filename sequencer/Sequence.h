// A playing effect of the legacy back-end, as the back-end's threads and
// slot bookkeeping see it: its effect id, its state and the vest slots it
// holds. This version keeps only that bookkeeping; scheduling its samples
// (seeking, repetitions, fades, the slot budget) comes with the scheduler,
// behind the same operations.
//
// Threads: made on the thread that plays the effect, then used by the
// sequencing thread only (the state is read by API threads under the
// handler mutex, so it is atomic).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>

namespace vbz::seq {

class Sequence {
public:
    explicit Sequence(int effectId = -1, int slotCount = 1)
        : effectId_(effectId), slotCount_(slotCount) {}

    // 0 and state 1 (over budget) or 2; -1 when not in state 0.
    int play(bool overBudget) {
        if (state_.load() != 0) return -1;
        state_.store(overBudget ? 1 : 2);
        return 0;
    }
    // One scheduling step; 0.
    int process() { return 0; }
    // The vest freed a slot of this sequence; 0, or -1 for a slot it does
    // not hold.
    int onSlotFreed(int slot) { return activeSlots_.erase(slot) ? 0 : -1; }
    // Finishes the sequence; -1 when it never started (finished anyway).
    int stop(float /*fadeSeconds*/) {
        const int before = state_.exchange(-1);
        activeSlots_.clear();
        return before == 0 ? -1 : 0;
    }
    void addPausedTime(float seconds) { pausedTime_ += seconds; }
    // ORs in the bit of every slot it holds.
    void usedSlotMask(uint32_t& mask) const {
        for (const auto& entry : activeSlots_) mask |= 1u << (entry.first % 32);
    }
    void setOverBudget(bool overBudget) {
        int s = state_.load();
        if (s == 1 || s == 2) state_.store(overBudget ? 1 : 2);
    }
    // Records that a sample of track plays on slot.
    void holdSlot(int slot, int track) { activeSlots_[slot] = track; }

    int slotCount() const { return slotCount_; }
    int effectId() const { return effectId_; }
    void setEffectId(int id) { effectId_ = id; }
    // 0 not started, 1 playing muted (over budget), 2 playing, -1 finished.
    int state() const { return state_.load(); }
    float pausedTime() const { return pausedTime_; }

private:
    int effectId_;
    int slotCount_;
    std::atomic<int> state_{0};
    float pausedTime_ = 0.0f;
    std::map<int, int> activeSlots_;  // slot -> track
};

}  // namespace vbz::seq
