#include "sequencer/Sequence.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "sdk/core/LogLine.h"

namespace vbz::seq {

namespace {
constexpr const char* kTag = "Sequence";
constexpr double kDegreesToRadians = 0.017453292519943295;

bool traceOn() { return minLogLevel.load(std::memory_order_relaxed) <= 0; }

// A caller's float that must be a finite, non-negative time; anything else
// is 0.
float timeOrZero(float v) { return std::isfinite(v) && v > 0.0f ? v : 0.0f; }

// 10^(e x 0.02) truncated, e > 0, saturated to the int range.
int gainOf(double exponent) {
    const double g = std::pow(10.0, exponent);
    if (!(g < static_cast<double>(std::numeric_limits<int>::max()))) return std::numeric_limits<int>::max();
    return static_cast<int>(g);
}
}  // namespace

int Sequence::convertBoost(int32_t x) {
    if (x > 0) return gainOf(static_cast<float>(x) * 0.02f);
    if (x < 0) return -gainOf(static_cast<float>(-static_cast<int64_t>(x)) * 0.02f);
    return 0;
}

Sequence::Sequence(SequenceOwner& owner, std::shared_ptr<Pattern> pattern, const vbz_effect_properties_t& p)
    : owner_(owner), pattern_(std::move(pattern)) {
    // NaN times and a negative repeat delay (whose period could be 0 or
    // less) are taken as 0; the API refuses them before they get here.
    playAt_ = std::isnan(p.playAtTime) ? 0.0f : p.playAtTime;
    volume_ = p.volume;
    speed_ = p.speed;
    repeatCount_ = p.repeatCount;
    repeatDelay_ = timeOrZero(p.repeatDelay);
    maxDuration_ = std::isnan(p.maxDuration) ? 0.0f : p.maxDuration;
    overridePatternBoost_ = p.overridePatternBoost;
    priority_ = p.priority;
    boost_ = convertBoost(p.effectBoost);
    spatial_.height = p.height * 0.24f;
    spatial_.heading = static_cast<float>(static_cast<double>(p.heading) * kDegreesToRadians);
    spatial_.tilt = static_cast<float>(static_cast<double>(p.tilting) * kDegreesToRadians);
    spatial_.frontBackInversion = p.frontBackInversion;
    spatial_.rightLeftInversion = p.rightLeftInversion;
    spatial_.upDownInversion = p.upDownInversion;
    spatial_.frontBackAddition = p.frontBackAddition;
    spatial_.rightLeftAddition = p.rightLeftAddition;
    spatial_.upDownAddition = p.upDownAddition;
    const int tracks = pattern_ ? pattern_->trackCount() : 0;
    nextSample_.assign(static_cast<std::size_t>(tracks), 0);
    startOffset_.assign(static_cast<std::size_t>(tracks), 0.0f);
    trackState_.assign(static_cast<std::size_t>(tracks), 0);
    slotCount_ = pattern_ ? pattern_->slotCount() : 0;
    if (!pattern_) {
        finish();
        return;
    }
    seekToPlayAt();
}

float Sequence::secondsSince(int64_t from, int64_t now) const {
    return static_cast<float>(now - from) / 1e9f;
}

void Sequence::seekToPlayAt() {
    const float d = pattern_->duration();
    if (d > 0.0f) {
        if (repeatCount_ > 0) {
            const float total = d * static_cast<float>(repeatCount_) +
                                static_cast<float>(repeatCount_ - 1) * repeatDelay_;
            if (playAt_ >= total) {
                finish();
                LogLine(2, kTag) << "Effect will not play as playAt time exceed the time to repeat the pattern.";
                return;
            }
        }
        const float period = d + repeatDelay_;
        if (std::isinf(playAt_)) playAt_ = 0.0f;  // endless: no place to go to
        if (playAt_ > period) {
            // Whole periods skipped at once (a long start time must not loop
            // on the caller's thread); a start time on a period's end stays
            // at that end.
            double whole = std::floor(static_cast<double>(playAt_) / period);
            if (static_cast<double>(playAt_) - whole * period <= 0.0) whole -= 1.0;
            if (repeatCount_ > 0) {
                if (whole >= static_cast<double>(repeatCount_)) {
                    finish();
                    LogLine(3, kTag) << "This should not be possible.";
                    return;
                }
                repeatCount_ -= static_cast<int>(whole);
            }
            // An endless effect starts at the same place of a later period.
            playAt_ = static_cast<float>(static_cast<double>(playAt_) - whole * period);
        }
    }
    const int tracks = pattern_->trackCount();
    for (int i = 0; i < tracks; ++i) {
        const int count = pattern_->sampleCount(i);
        for (int j = 0; j < count; ++j) {
            const float end = pattern_->sampleEndTime(i, j);
            if (end != 0.0f && playAt_ >= end) {
                ++nextSample_[i];
                continue;
            }
            if (playAt_ >= pattern_->sampleTimestamp(i, j)) {
                startOffset_[i] = playAt_ - pattern_->sampleTimestamp(i, j);
                break;
            }
        }
        if (nextSample_[i] >= static_cast<uint32_t>(count)) {
            trackState_[i] = 2;
            ++finishedTracks_;
        }
    }
    if (finishedTracks_ >= tracks) {
        // The start lies in the wait after this repetition: the wait is
        // shortened by what already passed, and what follows it is the next
        // repetition, as at the end of a played one.
        const float offset = playAt_ - d;
        if (traceOn()) LogLine(0, kTag) << "Hitting a wait!";
        if (!prepareNextRepetition(0)) return;
        waitOffset_ = offset;
    }
}

bool Sequence::prepareNextRepetition(int64_t now) {
    if (repeatCount_ == 1) {
        finish();
        return false;
    }
    std::fill(nextSample_.begin(), nextSample_.end(), 0u);
    std::fill(trackState_.begin(), trackState_.end(), 0u);
    waitingRepetition_ = true;
    repetitionStart_ = now;
    pausedTime_ = 0.0f;
    finishedTracks_ = 0;
    playAt_ = 0.0f;
    if (repeatCount_ > 0) --repeatCount_;  // endless ones stay endless
    return true;
}

int Sequence::play(bool overBudget) {
    if (state() != 0) {
        if (traceOn()) LogLine(0, kTag) << "Sequence already playing (ID: " << effectId_ << ")";
        return -1;
    }
    overBudget_ = overBudget;
    startTime_ = repetitionStart_ = owner_.nowNanoseconds();
    pausedTime_ = pausedFadeTime_ = 0.0f;
    const int r = process();
    if (r == 0 && state() == 0) state_.store(overBudget ? 1 : 2, std::memory_order_relaxed);
    return r;
}

int Sequence::process() {
    const int64_t now = owner_.nowNanoseconds();
    if (state() == -1) return 0;

    const float elapsed = secondsSince(startTime_, now) - pausedTime_;
    if (maxDuration_ != 0.0f && elapsed >= maxDuration_) {
        if (traceOn()) LogLine(0, kTag) << "Effect max duration reached.";
        stop(0.0f);
        finish();
        return 0;
    }

    float gain = 1.0f;
    float remaining = 0.0f;
    if (fadeDuration_ > 0.0f) {
        remaining = fadeDuration_ - (secondsSince(fadeStart_, now) - pausedFadeTime_);
        gain = remaining / fadeDuration_;
        if (remaining < 0.0f) {
            if (!fadeEndLogged_) {
                fadeEndLogged_ = true;
                LogLine(2, kTag)
                    << "Remaining samples of the pattern are skipped as they are too close to the end of the fadeout.";
            }
            fadeEnding_ = true;
        }
    }

    if (!fadeEnding_) {
        float t = secondsSince(repetitionStart_, now) - pausedTime_;
        bool due = true;
        if (waitingRepetition_) {
            if (t < repeatDelay_ - waitOffset_) {
                due = false;
            } else {
                repetitionStart_ = now;
                pausedTime_ = 0.0f;
                waitingRepetition_ = false;
                waitOffset_ = 0.0f;
                t = 0.0f;
            }
        } else {
            t *= speed_;  // the pattern's time runs at the effect's speed
        }
        if (!due) return 0;

        const int tracks = pattern_->trackCount();
        for (int i = 0; i < tracks && !fadeEnding_; ++i) {
            const auto track = static_cast<std::size_t>(i);
            const int sample = static_cast<int>(nextSample_[track]);
            if (trackState_[track] != 0 || t + playAt_ < pattern_->sampleTimestamp(i, sample) ||
                activeSlots_.size() >= static_cast<std::size_t>(slotCount_))
                continue;
            pattern_->playSample(i, sample, gain * volume_, speed_, overBudget_, startOffset_[track], spatial_,
                                 owner_.getGlobalIntensityBoost(), boost_, !overridePatternBoost_, message_);
            startOffset_[track] = 0.0f;  // used once, even when the send fails
            const int slot = owner_.sendPlay(message_.data());
            if (traceOn())
                LogLine(0, kTag) << "Track -  " << i << "/" << sample << " is playing on slot " << std::hex << slot;
            if (slot == -8) {
                LogLine(4, kTag) << "Send play msg failed: no slot available";
                break;
            }
            if (slot == -6) {
                LogLine(4, kTag) << "Send play msg failed: device not reachable";
                break;
            }
            if (slot == -2) {
                LogLine(4, kTag) << "Send play message failed: invalid parameter in pattern, effect is stopped "
                                    "and pattern discarded.";
                for (const auto& [held, heldTrack] : activeSlots_) {
                    owner_.stopSlot(held, 0.0f);
                    owner_.unregisterSlot(held);
                }
                activeSlots_.clear();
                finish();
                owner_.unloadPattern(pattern_->patternId());
                return -2;
            }
            if (slot < 0) break;
            owner_.registerSlot(slot, overBudget_, shared_from_this());
            holdSlot(slot, i);
            trackState_[track] = 1;
            if (fadeDuration_ > 0.0f) owner_.stopSlot(slot, remaining);
        }
    }

    // A fade that has run out ends the effect once the vest has freed its
    // slots, whatever its tracks were doing.
    if (fadeEnding_ && activeSlots_.empty()) {
        finish();
        return 0;
    }
    if (finishedTracks_ < pattern_->trackCount()) return 0;
    if (fadeEnding_) {
        finish();
        return 0;
    }
    prepareNextRepetition(now);
    return 0;
}

int Sequence::onSlotFreed(int slot) {
    const auto it = activeSlots_.find(slot);
    if (it == activeSlots_.end()) {
        LogLine(1, kTag) << "Could not find slot index.";
        return -1;
    }
    const auto track = static_cast<std::size_t>(it->second);
    const int64_t now = owner_.nowNanoseconds();
    if (fadeDuration_ > 0.0f && secondsSince(fadeStart_, now) - pausedFadeTime_ > fadeDuration_) {
        fadeEnding_ = true;
        trackState_[track] = 2;
        ++finishedTracks_;
    } else if (pattern_->isLastSample(it->second, static_cast<int>(nextSample_[track]))) {
        trackState_[track] = 2;
        ++finishedTracks_;
    } else {
        trackState_[track] = 0;
        ++nextSample_[track];
    }
    activeSlots_.erase(it);
    return 0;
}

int Sequence::stop(float fade) {
    if (state() == 0) {
        if (traceOn()) LogLine(0, kTag) << "Cannot stop sequence (ID: " << effectId_ << "): never started playing";
        finish();
        return -1;
    }
    if (fade > 0.0f) {
        fadeStart_ = owner_.nowNanoseconds();
        fadeDuration_ = fade;
        pausedFadeTime_ = 0.0f;
        for (const auto& [slot, track] : activeSlots_) owner_.stopSlot(slot, fade);
        return 0;
    }
    for (const auto& [slot, track] : activeSlots_) {
        owner_.stopSlot(slot, fade);
        owner_.unregisterSlot(slot);
    }
    activeSlots_.clear();
    finish();
    return 0;
}

void Sequence::addPausedTime(int64_t pauseStart, int64_t now) {
    // A repetition (or a fade) that began during the pause only waited for
    // the part of it that came after its start.
    pausedTime_ += secondsSince(std::max(pauseStart, repetitionStart_), now);
    if (fadeDuration_ > 0.0f) pausedFadeTime_ += secondsSince(std::max(pauseStart, fadeStart_), now);
}

void Sequence::usedSlotMask(uint32_t& mask) const {
    for (const auto& entry : activeSlots_) mask |= 1u << (static_cast<unsigned>(entry.first) % 32u);
}

void Sequence::setOverBudget(bool overBudget) {
    overBudget_ = overBudget;
    const int s = state();
    if (s == 2 && overBudget) state_.store(1, std::memory_order_relaxed);
    if (s == 1 && !overBudget) state_.store(2, std::memory_order_relaxed);
}

bool comparePriority(const Sequence& a, const Sequence& b) {
    if (a.priority() != b.priority()) return a.priority() < b.priority();
    return a.slotCount() <= b.slotCount();
}

void insertIntoPlayingList(SequenceList& playing, std::shared_ptr<Sequence> sequence) {
    auto at = playing.end();
    if (const int anchor = sequence->anchorEffectId(); anchor >= 0) {
        const auto main = std::find_if(playing.begin(), playing.end(),
                                       [anchor](const auto& s) { return s->effectId() == anchor; });
        if (main != playing.end()) at = main + 1;
    } else {
        at = std::find_if(playing.begin(), playing.end(),
                          [&sequence](const auto& s) { return comparePriority(*sequence, *s); });
    }
    playing.insert(at, std::move(sequence));
}

BudgetSplit splitBudget(const SequenceList& playing) {
    BudgetSplit split;
    int sum = 0;
    for (const auto& s : playing) {
        sum += s->slotCount();
        if (sum > kSlotBudget) break;
        s->usedSlotMask(split.heardSlots);
        ++split.inBudget;
    }
    return split;
}

SequenceList trimPlayingList(SequenceList& playing) {
    SequenceList removed;
    int total = 0;
    for (const auto& s : playing) total += s->slotCount();
    while (total > kPlayingSlotCap && !playing.empty()) {
        auto last = std::move(playing.back());
        playing.pop_back();
        last->stop(0.0f);
        total -= last->slotCount();
        removed.push_back(std::move(last));
    }
    return removed;
}

std::shared_ptr<Sequence> createSequence(SequenceOwner& owner, const std::shared_ptr<Pattern>& pattern,
                                         int effectId, const vbz_effect_properties_t& p, int64_t now) {
    AccumulationRecord* a = pattern->accumulation();
    if (!a) {
        auto sequence = std::make_shared<Sequence>(owner, pattern, p);
        sequence->setEffectId(effectId);
        return sequence;
    }
    // A window start of 0 is no window: set again, the next main play opens one.
    const bool inside =
        a->windowStart != 0 && a->windowSeconds > static_cast<float>(now - a->windowStart) / 1e9f;
    if (inside) {
        if (a->maxAccumulation >= 1 && a->count >= a->maxAccumulation) return nullptr;
        auto sequence = std::make_shared<Sequence>(owner, a->fallbackPattern, p);
        if (a->count < std::numeric_limits<int>::max()) ++a->count;
        sequence->setEffectId(effectId);
        if (p.priority >= a->mainPriority) sequence->setAnchorEffectId(a->anchorEffectId);
        return sequence;
    }
    auto sequence = std::make_shared<Sequence>(owner, pattern, p);
    sequence->setEffectId(effectId);
    a->windowStart = now;
    a->count = 0;
    a->mainPriority = p.priority;
    a->anchorEffectId = effectId;
    return sequence;
}

}  // namespace vbz::seq
