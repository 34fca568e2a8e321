// The legacy scheduler without a link: a Sequence against a recording owner
// whose clock the test moves. Conversions, seeks, the per-turn step with
// slots freed by hand, repetitions, maximum duration, fade-out, refusals,
// pauses; the playing list's order, budget and trim; accumulation windows.
#include "sequencer/Sequence.h"

#include <bit>
#include <climits>
#include <cmath>
#include <deque>
#include <limits>

#include <gtest/gtest.h>

#include "device/Frame.h"
#include "tests/support/LegacyPatterns.h"
#include "tests/support/LogRecorder.h"

using namespace vbz_test;
using namespace vbz::seq;

namespace {

constexpr int64_t kT0 = 5'000'000'000'000;
int64_t at(double seconds) { return kT0 + static_cast<int64_t>(std::llround(seconds * 1e9)); }

// Records what the sequence asks; plays take the lowest free slot unless a
// result is scripted.
class RecordingOwner : public SequenceOwner {
public:
    struct Sent {
        int64_t time;
        PlayMessage message;
        int result;
    };
    int64_t now = kT0;
    std::deque<int> scripted;
    std::vector<Sent> plays;
    std::vector<std::pair<int, float>> stops;
    std::vector<int> registered, unregistered, unloaded;
    bool held[20] = {};
    int globalBoost = 0;

    void moveTo(double seconds) { now = at(seconds); }
    int64_t nowNanoseconds() override { return now; }
    int sendPlay(uint8_t* message) override {
        int r = -8;
        if (!scripted.empty()) {
            r = scripted.front();
            scripted.pop_front();
        } else {
            for (int s = 0; s < 20; ++s)
                if (!held[s]) {
                    r = s;
                    break;
                }
        }
        Sent sent{now, {}, r};
        std::copy(message, message + kPlayMessageLength, sent.message.begin());
        plays.push_back(sent);
        if (r >= 0 && r < 20) held[r] = true;
        return r;
    }
    void stopSlot(int slot, float fade) override { stops.emplace_back(slot, fade); }
    int registerSlot(int slot, bool, const std::shared_ptr<Sequence>&) override {
        registered.push_back(slot);
        return 0;
    }
    int unregisterSlot(int slot) override {
        unregistered.push_back(slot);
        if (slot >= 0 && slot < 20) held[slot] = false;
        return 0;
    }
    int getGlobalIntensityBoost() override { return globalBoost; }
    int unloadPattern(int id) override {
        unloaded.push_back(id);
        return 0;
    }
    // The vest freed the slot.
    void free(Sequence& s, int slot) {
        held[slot] = false;
        EXPECT_EQ(s.onSlotFreed(slot), 0);
    }
};

std::shared_ptr<Pattern> load(const std::string& text) {
    int error = 1;
    auto p = Pattern::create(text, error);
    EXPECT_EQ(error, 0) << text;
    return p;
}

// One track of samples at the given times, each lasting `length` (0: no
// maximum duration, never skipped by a seek).
std::shared_ptr<Pattern> trackPattern(std::vector<double> times, double length, double duration = 2.0) {
    std::vector<json> samples;
    for (double t : times) samples.push_back(sampleAt(t, length));
    return load(patternOf({trackOf(samples)}, duration).dump());
}

// `slots` tracks of one sample each, all at 0: the pattern holds `slots`.
std::shared_ptr<Pattern> wide(int slots) {
    std::vector<json> tracks;
    for (int i = 0; i < slots; ++i) tracks.push_back(trackOf({sampleAt(0, 1)}));
    return load(patternOf(tracks).dump());
}

vbz_effect_properties_t props(int priority = 5) {
    vbz_effect_properties_t p;
    p.priority = priority;
    return p;
}

std::shared_ptr<Sequence> make(RecordingOwner& o, std::shared_ptr<Pattern> p, vbz_effect_properties_t e = {},
                               int id = 0) {
    auto s = std::make_shared<Sequence>(o, std::move(p), e);
    s->setEffectId(id);
    return s;
}

float offsetOf(const PlayMessage& m) { return std::bit_cast<float>(vbz::readU32(&m[24])); }

}  // namespace

TEST(Sequence, ConvertsTheEffectProperties) {
    const std::pair<int, int> boosts[] = {{75, 31},  {50, 10}, {-50, -10}, {100, 100},          {25, 3},
                                          {1, 1},    {-1, -1}, {0, 0},     {INT_MAX, INT_MAX}, {INT_MIN, -INT_MAX}};
    for (auto [in, out] : boosts) EXPECT_EQ(Sequence::convertBoost(in), out) << in;

    RecordingOwner o;
    auto p = trackPattern({0}, 0);
    vbz_effect_properties_t e;
    e.height = 1.0f;
    e.heading = 90.0f;
    e.tilting = -180.0f;
    e.upDownInversion = true;  // the record lists it second, the block third
    e.rightLeftAddition = true;
    auto s = make(o, p, e);
    EXPECT_FLOAT_EQ(s->spatial().height, 0.24f);
    EXPECT_FLOAT_EQ(s->spatial().heading, static_cast<float>(M_PI / 2));
    EXPECT_FLOAT_EQ(s->spatial().tilt, static_cast<float>(-M_PI));
    SpatialBlock flags = s->spatial();
    flags.height = flags.heading = flags.tilt = 0;
    SpatialBlock expected;
    expected.upDownInversion = true;
    expected.rightLeftAddition = true;
    EXPECT_EQ(flags, expected);
}

TEST(Sequence, SeeksIntoRepetitions) {
    LogRecorder log;
    // Duration 2, repeat delay 1: periods of 3 s; the sample (no maximum
    // duration) starts at 0 and is never skipped.
    struct Case {
        float playAt;
        int repeatCount;
        int state, repeatLeft;
        float offset;
    } cases[] = {
        {7.5f, 3, 0, 1, 1.5f},   // 7.5 - 3 - 3
        {8.0f, 3, -1, 3, 0.0f},  // past the end of the third repetition
        {7.5f, 0, 0, 0, 1.5f},   // endless: the same place of the third period
        {1.0e6f, -1, 0, -1, 1.0e6f - 333333.0f * 3.0f},
        {0.5f, 1, 0, 1, 0.5f},
        {INFINITY, 2, -1, 2, 0.0f},
        {INFINITY, 0, 0, 0, 0.0f},
    };
    for (const auto& c : cases) {
        RecordingOwner o;
        vbz_effect_properties_t e;
        e.repeatCount = c.repeatCount;
        e.repeatDelay = 1.0f;
        e.playAtTime = c.playAt;
        auto s = make(o, trackPattern({0}, 0), e);
        EXPECT_EQ(s->state(), c.state) << c.playAt;
        EXPECT_EQ(s->repeatCount(), c.repeatLeft) << c.playAt;
        if (c.state == 0) {
            EXPECT_NEAR(s->startOffset(0), c.offset, 1e-3) << c.playAt;
        }
    }
    EXPECT_TRUE(LogRecorder::has(
        2, "Sequence", "Effect will not play as playAt time exceed the time to repeat the pattern."));

    // A finished one does not start.
    RecordingOwner o;
    vbz_effect_properties_t e;
    e.repeatCount = 3;
    e.repeatDelay = 1.0f;
    e.playAtTime = 8.0f;
    auto s = make(o, trackPattern({0}, 0), e, 4);
    EXPECT_EQ(s->play(false), -1);
    EXPECT_TRUE(LogRecorder::has(0, "Sequence", "Sequence already playing (ID: 4)"));
    EXPECT_TRUE(o.plays.empty());
}

TEST(Sequence, ASeekIntoTheRepeatDelayWaitsOnlyWhatIsLeftThenRepeats) {
    RecordingOwner o;
    vbz_effect_properties_t e;
    e.repeatCount = 3;
    e.repeatDelay = 1.0f;
    e.playAtTime = 2.5f;  // half a second into the first wait
    auto s = make(o, trackPattern({0}, 1.0), e);
    EXPECT_TRUE(s->waitingRepetition());
    EXPECT_FLOAT_EQ(s->waitOffset(), 0.5f);
    EXPECT_EQ(s->repeatCount(), 2);
    EXPECT_EQ(s->nextSample(0), 0u);
    ASSERT_EQ(s->play(false), 0);
    EXPECT_TRUE(o.plays.empty());
    o.moveTo(0.45);
    s->process();
    EXPECT_TRUE(o.plays.empty());
    o.moveTo(0.5);
    s->process();
    ASSERT_EQ(o.plays.size(), 1u);
    EXPECT_EQ(offsetOf(o.plays[0].message), std::bit_cast<float>(1u));  // from the sample's start

    // Negative or NaN delays count as none; NaN start and maximum as 0.
    for (float delay : {-2.0f, std::nanf("")}) {
        vbz_effect_properties_t f;
        f.repeatCount = 0;
        f.repeatDelay = delay;
        f.playAtTime = std::nanf("");
        f.maxDuration = std::nanf("");
        auto endless = make(o, trackPattern({0}, 1.0), f);
        EXPECT_EQ(endless->state(), 0);
        EXPECT_EQ(endless->playAt(), 0.0f);
    }
}

TEST(Sequence, TracksPlayTheirSamplesOneAfterTheOtherThenRepeat) {
    RecordingOwner o;
    vbz_effect_properties_t e;
    e.repeatCount = 2;
    e.repeatDelay = 1.0f;
    auto s = make(o, trackPattern({0, 0.5}, 0.3), e, 7);
    ASSERT_EQ(s->play(false), 0);
    EXPECT_EQ(s->state(), 2);
    ASSERT_EQ(o.plays.size(), 1u);
    EXPECT_EQ(o.registered, std::vector<int>{0});
    EXPECT_EQ(s->onSlotFreed(3), -1);  // not one of its slots
    o.moveTo(0.6);
    s->process();  // due, but the track's first sample still plays
    EXPECT_EQ(o.plays.size(), 1u);
    o.free(*s, 0);
    s->process();
    ASSERT_EQ(o.plays.size(), 2u);
    o.moveTo(0.9);
    o.free(*s, 0);  // the last sample: the repetition is over
    s->process();
    EXPECT_TRUE(s->waitingRepetition());
    EXPECT_EQ(s->repeatCount(), 1);
    o.moveTo(1.85);
    s->process();
    EXPECT_EQ(o.plays.size(), 2u);
    o.moveTo(1.9);
    s->process();
    ASSERT_EQ(o.plays.size(), 3u);
    o.moveTo(2.0);
    o.free(*s, 0);
    o.moveTo(2.5);
    s->process();
    o.free(*s, 0);
    s->process();
    EXPECT_EQ(s->state(), -1);
    EXPECT_EQ(o.plays.size(), 4u);
}

TEST(Sequence, MaximumDurationStopsEverySlotWithoutFade) {
    LogRecorder log;
    RecordingOwner o;
    vbz_effect_properties_t e;
    e.maxDuration = 0.5f;
    auto s = make(o, wide(2), e);  // two samples of 1 s on a 2 s pattern
    ASSERT_EQ(s->play(false), 0);
    EXPECT_EQ(o.plays.size(), 2u);
    o.moveTo(0.49);
    s->process();
    EXPECT_TRUE(o.stops.empty());
    o.moveTo(0.5);
    s->process();
    EXPECT_EQ(s->state(), -1);
    EXPECT_EQ(o.stops, (std::vector<std::pair<int, float>>{{0, 0.0f}, {1, 0.0f}}));
    EXPECT_EQ(o.unregistered, (std::vector<int>{0, 1}));
    EXPECT_TRUE(LogRecorder::has(0, "Sequence", "Effect max duration reached."));
}

TEST(Sequence, AFadeScalesLaterSamplesAndEndsWhileATrackIsIdle) {
    LogRecorder log;
    RecordingOwner o;
    auto s = make(o, trackPattern({0, 0.4, 0.8, 1.6}, 0.2));
    ASSERT_EQ(s->play(false), 0);
    EXPECT_EQ(o.plays[0].message[4], 100);
    o.moveTo(0.1);
    ASSERT_EQ(s->stop(1.0f), 0);
    EXPECT_EQ(o.stops, (std::vector<std::pair<int, float>>{{0, 1.0f}}));
    EXPECT_EQ(s->state(), 2);  // fading
    o.moveTo(0.3);
    o.free(*s, 0);
    o.moveTo(0.5);
    s->process();
    ASSERT_EQ(o.plays.size(), 2u);
    EXPECT_EQ(o.plays[1].message[4], 60);  // 0.6 of the fade left
    ASSERT_EQ(o.stops.size(), 2u);
    EXPECT_NEAR(o.stops[1].second, 0.6f, 1e-4);  // the new sample fades with the effect
    o.moveTo(0.7);
    o.free(*s, 0);  // the track is idle until its sample at 0.8 ...
    o.moveTo(1.2);  // ... which is past the fade's end
    s->process();
    EXPECT_EQ(s->state(), -1);
    EXPECT_EQ(o.plays.size(), 2u);
    EXPECT_TRUE(LogRecorder::has(
        2, "Sequence",
        "Remaining samples of the pattern are skipped as they are too close to the end of the fadeout."));

    // A fade that runs out during the wait between repetitions ends it too.
    RecordingOwner w;
    vbz_effect_properties_t e;
    e.repeatCount = 0;
    e.repeatDelay = 5.0f;
    auto r = make(w, trackPattern({0}, 0.2), e);
    ASSERT_EQ(r->play(false), 0);
    w.moveTo(0.2);
    w.free(*r, 0);
    r->process();
    EXPECT_TRUE(r->waitingRepetition());
    r->stop(0.5f);
    w.moveTo(0.8);
    r->process();
    EXPECT_EQ(r->state(), -1);
}

TEST(Sequence, VestRefusalsAndFullBoards) {
    LogRecorder log;
    RecordingOwner o;
    auto s = make(o, wide(2));
    s->pattern()->setPatternId(9);
    o.scripted = {-8};  // board full: tried again next turn
    ASSERT_EQ(s->play(false), 0);
    EXPECT_EQ(o.plays.size(), 1u);  // the step ends at the first failure
    EXPECT_TRUE(LogRecorder::has(4, "Sequence", "Send play msg failed: no slot available"));
    s->process();
    EXPECT_EQ(o.plays.size(), 3u);
    EXPECT_EQ(o.registered, (std::vector<int>{0, 1}));

    RecordingOwner r;
    auto refused = make(r, wide(2));
    refused->pattern()->setPatternId(9);
    r.scripted = {3, -2};
    EXPECT_EQ(refused->play(false), -2);
    EXPECT_EQ(refused->state(), -1);
    EXPECT_EQ(r.stops, (std::vector<std::pair<int, float>>{{3, 0.0f}}));
    EXPECT_EQ(r.unregistered, std::vector<int>{3});
    EXPECT_EQ(r.unloaded, std::vector<int>{9});
    EXPECT_TRUE(LogRecorder::has(4, "Sequence",
                                 "Send play message failed: invalid parameter in pattern, effect is "
                                 "stopped and pattern discarded."));
}

TEST(Sequence, AStartOffsetIsSentOnceEvenWhenTheSendFails) {
    RecordingOwner o;
    vbz_effect_properties_t e;
    e.playAtTime = 0.25f;
    auto s = make(o, trackPattern({0}, 0), e);
    o.scripted = {-6};
    ASSERT_EQ(s->play(false), 0);
    ASSERT_EQ(o.plays.size(), 1u);
    EXPECT_FLOAT_EQ(offsetOf(o.plays[0].message), 0.25f);
    s->process();
    ASSERT_EQ(o.plays.size(), 2u);
    EXPECT_EQ(offsetOf(o.plays[1].message), std::bit_cast<float>(1u));
}

TEST(Sequence, PausesShiftTheScheduleFromEachSequencesOwnStart) {
    RecordingOwner o;
    auto early = make(o, trackPattern({0, 0.5}, 0.1));
    ASSERT_EQ(early->play(false), 0);
    o.moveTo(0.1);
    o.free(*early, 0);
    // Paused from 0.2 to 1.2; another effect started at 0.7, during the pause.
    RecordingOwner p;
    p.moveTo(0.7);
    auto late = make(p, trackPattern({0, 0.5}, 0.1));
    ASSERT_EQ(late->play(false), 0);
    p.moveTo(0.8);
    p.free(*late, 0);
    o.moveTo(1.2);
    p.moveTo(1.2);
    early->addPausedTime(at(0.2), at(1.2));
    late->addPausedTime(at(0.2), at(1.2));
    o.moveTo(1.45);
    early->process();
    EXPECT_EQ(o.plays.size(), 1u);
    o.moveTo(1.5);
    early->process();
    EXPECT_EQ(o.plays.size(), 2u);
    p.moveTo(1.15 + 0.5 - 0.05);  // 0.45 of its own time
    late->process();
    EXPECT_EQ(p.plays.size(), 1u);
    p.moveTo(1.7);
    late->process();
    EXPECT_EQ(p.plays.size(), 2u);
}

TEST(PlayingList, OrderBudgetAndTrim) {
    RecordingOwner o;
    // Two effects of priority 5 with 3 slots, then one of priority 2 with 5.
    auto a = make(o, wide(3), props(5), 0);
    auto b = make(o, wide(3), props(5), 1);
    auto c = make(o, wide(5), props(2), 2);
    SequenceList playing;
    for (const auto& s : {a, b, c}) insertIntoPlayingList(playing, s);
    EXPECT_EQ(playing, (SequenceList{c, b, a}));  // a newcomer goes before its ties
    for (std::size_t i = 0; i < playing.size(); ++i) playing[i]->play(i >= splitBudget(playing).inBudget);
    EXPECT_EQ(splitBudget(playing).inBudget, 2u);  // sums 5, 8, 11
    EXPECT_EQ(a->state(), 1);
    EXPECT_EQ(splitBudget(playing).heardSlots, 0xFFu);  // c's 5 and b's 3

    // An anchored fallback goes right after its main effect, each new one first.
    auto f1 = make(o, wide(1), props(9), 3);
    f1->setAnchorEffectId(2);
    auto f2 = make(o, wide(1), props(9), 4);
    f2->setAnchorEffectId(2);
    auto lost = make(o, wide(1), props(1), 5);
    lost->setAnchorEffectId(42);  // no such effect playing: the end
    for (const auto& s : {f1, f2, lost}) insertIntoPlayingList(playing, s);
    EXPECT_EQ(playing, (SequenceList{c, f2, f1, b, a, lost}));

    // Five sequences of 5 slots: the last is stopped and removed.
    SequenceList five;
    for (int i = 0; i < 5; ++i) insertIntoPlayingList(five, make(o, wide(5), props(5), 10 + i));
    const auto last = five.back();
    const auto removed = trimPlayingList(five);
    EXPECT_EQ(five.size(), 4u);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0], last);
    EXPECT_EQ(last->state(), -1);
}

TEST(Accumulation, WindowMaximumAnchorAndRestart) {
    RecordingOwner o;
    auto main = trackPattern({0}, 0.1);
    auto fallback = wide(2);
    main->setAccumulationWindow(fallback, 1.0f, 2);
    auto play = [&](double t, int id, int priority = 5) {
        return createSequence(o, main, id, props(priority), at(t));
    };
    auto s0 = play(0.0, 0);
    ASSERT_TRUE(s0);
    EXPECT_EQ(s0->pattern(), main);
    auto s1 = play(0.2, 1, 7);
    ASSERT_TRUE(s1);
    EXPECT_EQ(s1->pattern(), fallback);
    EXPECT_EQ(s1->effectId(), 1);
    EXPECT_EQ(s1->anchorEffectId(), 0);  // queued behind the main effect
    auto s2 = play(0.4, 2, 3);
    ASSERT_TRUE(s2);
    EXPECT_EQ(s2->anchorEffectId(), -1);  // placed by its priority
    EXPECT_FALSE(play(0.6, 3));          // at most two in the window
    auto s4 = play(1.2, 4);
    ASSERT_TRUE(s4);
    EXPECT_EQ(s4->pattern(), main);  // a new window
    EXPECT_EQ(main->accumulation()->count, 0);

    // Without a limit; and a window start of 0 is no window, whatever the clock.
    main->setAccumulationWindow(fallback, 1.0f, 0);
    auto first = createSequence(o, main, 5, props(), 500'000'000);
    EXPECT_EQ(first->pattern(), main);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(createSequence(o, main, 6 + i, props(), 600'000'000)->pattern(), fallback);
}
