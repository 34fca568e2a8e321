// Effects scheduled by the sequencer back-end and played on the emulated
// vest's board over USB: the playing list's order and audible budget, the
// trim to the vest's 20 slots, accumulation windows, fades, maximum
// durations, refusals by the vest, and pauses. The link's timings are
// shortened; the effects run in real time, so the checks leave room.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "sequencer/HandlerCommands.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/LegacyPatterns.h"
#include "tests/support/LegacyVest.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/UsbOnly.h"
#include "tools/vest-emulator/usb/UsbBus.h"

using namespace std::chrono_literals;
using namespace vbz_test;
using vbz::emu::Clock;
using vbz::emu::DecodedPlay;
using vbz::emu::UsbBus;

namespace {

// One track of samples of `signal` at the given times, each `length` long.
std::string samplesAt(int signal, std::vector<double> times, double length, double duration = 2.0) {
    std::vector<json> samples;
    for (double t : times) {
        json s = sampleAt(t, length);
        s["signalIndex"] = signal;
        samples.push_back(s);
    }
    return patternOf({trackOf(samples)}, duration).dump();
}

// `slots` tracks of one sample of `signal` each, all at 0.
std::string wide(int signal, int slots) {
    std::vector<json> tracks;
    for (int i = 0; i < slots; ++i) {
        json s = sampleAt(0, 1);
        s["signalIndex"] = signal;
        tracks.push_back(trackOf({s}));
    }
    return patternOf(tracks).dump();
}

vbz_effect_properties_t withPriority(int priority) {
    vbz_effect_properties_t p;
    p.priority = priority;
    return p;
}

double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

HandlerCommands::Timing boardTiming() {
    HandlerCommands::Timing timing;
    timing.answerTimeout = 250ms;
    timing.keepAliveInterval = 100ms;
    timing.settleTime = 5ms;
    return timing;
}

struct EffectsOnBoard : ::testing::Test, LegacyVest {
    EffectsOnBoard() : LegacyVest(21030042, boardTiming().answerTimeout) {}
    void SetUp() override {
        UsbBus::instance().reset();
        UsbBus::instance().plug(vest);
        makeHandler();
    }
    void makeHandler() {
        handler = std::make_unique<HandlerCommands>(nullptr, &usbOnly, timing);
        handler->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    }
    // The real link's keep-alive: plays often follow one another with no
    // status between.
    void withRealKeepAlive() {
        timing.keepAliveInterval = 1s;
        makeHandler();
    }
    void TearDown() override {
        handler.reset();
        expectNoViolation();
        UsbBus::instance().reset();
    }
    void connect() {
        ASSERT_EQ(handler->connect(VBZ_OUTPUT_USB, 0), 0);
        const auto reports = recorder.waitFor(1);
        ASSERT_EQ(reports.size(), 1u);
        ASSERT_EQ(reports[0].state, VBZ_STATE_CONNECTED);
    }
    int load(const std::string& text) {
        const int id = handler->loadPatternFromJSON(text);
        EXPECT_GE(id, 0);
        return id;
    }
    bool playsReach(std::size_t n) {
        return eventually([&] { return board->plays().size() >= n; });
    }
    LogRecorder log;
    HandlerCommands::Timing timing = boardTiming();
    CallbackRecorder recorder;
    std::unique_ptr<HandlerCommands> handler;
};

}  // namespace

TEST_F(EffectsOnBoard, PriorityOrderAndTheBudgetDecideWhatIsHeard) {
    board->setHold(3, 10s);
    board->setHold(5, 10s);
    const int three = load(wide(3, 3));
    const int five = load(wide(5, 5));
    // Queued before the connection: all start in its first turn.
    ASSERT_EQ(handler->playEffect(three, withPriority(5)), 0);
    ASSERT_EQ(handler->playEffect(three, withPriority(5)), 1);
    ASSERT_EQ(handler->playEffect(five, withPriority(2)), 2);
    connect();
    ASSERT_TRUE(playsReach(11));
    const auto plays = board->plays();
    // Priority 2 first, then the newer of the ties; sums 5, 8, 11.
    for (std::size_t i = 0; i < 11; ++i) {
        EXPECT_EQ(plays[i].signal, i < 5 ? 5 : 3) << i;
        EXPECT_EQ(plays[i].flags & 1, i < 8 ? 0 : 1) << i;
        EXPECT_EQ(plays[i].status, i) << i;
    }
    // The last play's answer may still be on its way to the host.
    EXPECT_TRUE(eventually([&] { return handler->effectState(0) == VBZ_EFFECT_MUTED; }));
    EXPECT_EQ(handler->effectState(1), VBZ_EFFECT_PLAYING);
    EXPECT_EQ(handler->effectState(2), VBZ_EFFECT_PLAYING);
    // The third effect's slots are muted, the heard ones not.
    ASSERT_TRUE(eventually([&] { return (board->snapshot().muted & 0x7FFu) == 0x700u; }));
    const auto muteCommands = vest->countReceived(0x06);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(vest->countReceived(0x06), muteCommands);  // no flood
}

TEST_F(EffectsOnBoard, FiveWideEffectsAreTrimmedToTheVestsSlots) {
    board->setHold(5, 10s);
    const int five = load(wide(5, 5));
    for (int i = 0; i < 5; ++i) ASSERT_EQ(handler->playEffect(five, withPriority(5)), i);
    connect();
    ASSERT_TRUE(playsReach(20));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(board->plays().size(), 20u);
    // Ties go before older effects, so the oldest is last and trimmed; it
    // leaves the effect table too.
    EXPECT_EQ(handler->effectState(0), VBZ_EFFECT_UNKNOWN);
    for (int i = 1; i <= 4; ++i) EXPECT_NE(handler->effectState(i), VBZ_EFFECT_UNKNOWN) << i;
    EXPECT_EQ(board->snapshot().reserved, 0xFFFFFu);
}

TEST_F(EffectsOnBoard, AnEffectStoppedWhileQueuedNeverPlays) {
    const int pattern = load(samplesAt(7, {0}, 0.1));
    ASSERT_EQ(handler->playEffect(pattern, {}), 0);
    ASSERT_EQ(handler->stopEffect(0, 0.0f), 0);
    connect();
    EXPECT_TRUE(eventually([&] { return handler->effectState(0) == VBZ_EFFECT_UNKNOWN; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(board->plays().empty());
}

TEST_F(EffectsOnBoard, AccumulationWindowTurnsRepeatedPlaysIntoTheFallback) {
    board->setHold(8, 10s);
    board->setHold(9, 10s);
    const int main = load(samplesAt(8, {0}, 1));
    const int fallback = load(samplesAt(9, {0}, 1));
    connect();
    ASSERT_EQ(handler->setAccumulationWindowToPattern(main, fallback, 1.0f, 2), 0);
    const auto start = Clock::now();
    std::vector<int> results;
    for (double t : {0.0, 0.2, 0.4, 0.6}) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(t)));
        results.push_back(handler->playEffect(main, {}));
    }
    EXPECT_EQ(results, (std::vector<int>{0, 1, 2, VBZ_ERROR_PLAY_IGNORED}));
    EXPECT_TRUE(LogRecorder::has(2, "Sequencer", "Max accumulation reached, play event is ignored."));
    ASSERT_TRUE(playsReach(3));
    const auto plays = board->plays();
    EXPECT_EQ(plays[0].signal, 8);
    EXPECT_EQ(plays[1].signal, 9);
    EXPECT_EQ(plays[2].signal, 9);
}

TEST_F(EffectsOnBoard, APlayTheVestRefusesDiscardsThePattern) {
    const int pattern = load(samplesAt(4, {0, 0.5}, 0.1));
    connect();
    board->forceNextPlayStatus(254);
    const int effect = handler->playEffect(pattern, {});
    ASSERT_TRUE(eventually([&] { return handler->effectState(effect) == VBZ_EFFECT_UNKNOWN; }));
    EXPECT_TRUE(LogRecorder::has(4, "Sequence",
                                 "Send play message failed: invalid parameter in pattern, effect is "
                                 "stopped and pattern discarded."));
    EXPECT_EQ(handler->playEffect(pattern, {}), VBZ_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(board->plays().size(), 1u);
}

TEST_F(EffectsOnBoard, PausesDelayTheRestOfTheScheduleByTheirLength) {
    const int pattern = load(samplesAt(4, {0, 0.6}, 0.1));
    connect();
    ASSERT_EQ(handler->playEffect(pattern, {}), 0);
    ASSERT_TRUE(playsReach(1));
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(handler->pauseAll(), 0);
    ASSERT_TRUE(eventually([&] { return board->snapshot().paused; }));
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(handler->resumeAll(), 0);
    ASSERT_TRUE(playsReach(2));
    const auto plays = board->plays();
    const double gap = secondsBetween(plays[0].time, plays[1].time);
    EXPECT_GE(gap, 1.05);
    EXPECT_LT(gap, 1.6);

    // An effect started during a pause waits only for the part after its start.
    ASSERT_EQ(handler->pauseAll(), 0);
    ASSERT_TRUE(eventually([&] { return board->snapshot().paused; }));
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(handler->playEffect(pattern, {}), 1);
    ASSERT_TRUE(playsReach(3));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(handler->resumeAll(), 0);
    const auto resumed = Clock::now();
    ASSERT_TRUE(playsReach(4));
    EXPECT_LT(secondsBetween(resumed, board->plays()[3].time), 1.2);
}

// Statuses the vest built before it answered a play reach the host after
// that answer (held back by the board), or every answer comes twice: the
// host cuts none of the samples it started (a StopSlot is sent only for
// slots it does not know), and the freed slots are still released.
TEST_F(EffectsOnBoard, StatusesThatCrossThePlaysAnswersCutNoSample) {
    const int pattern = load(patternOf({trackOf({sampleAt(0, 0.03), sampleAt(0.04, 0.03), sampleAt(0.08, 0.03),
                                                 sampleAt(0.12, 0.03)}),
                                        trackOf({sampleAt(0.01, 0.02), sampleAt(0.05, 0.02), sampleAt(0.09, 0.02)})},
                                       0.2)
                                 .dump());
    connect();
    const struct {
        const char* name;
        bool late, twice;
    } cases[] = {{"statuses late", true, false}, {"answers twice", false, true}};
    for (const auto& c : cases) {
        board->setLateExpiryStatus(c.late);
        vbz::emu::AnswerFault fault;
        fault.twice = c.twice;
        vest->setFault(fault);
        const std::size_t playsBefore = board->plays().size();
        const std::size_t stopsBefore = vest->countReceived(0x02);
        const auto start = Clock::now();
        for (int i = 0; i < 60; ++i) {
            std::this_thread::sleep_until(start + i * 30ms);
            ASSERT_GE(handler->playEffect(pattern, {}), 0) << c.name;
        }
        EXPECT_TRUE(playsReach(playsBefore + 60 * 7)) << c.name;
        EXPECT_TRUE(eventually([&] { return handler->slotMasks().registered == 0; })) << c.name;
        EXPECT_EQ(vest->countReceived(0x02) - stopsBefore, 0u) << c.name;
        vest->clearFaults();
        board->setLateExpiryStatus(false);
    }
}

// Four 0.1 s samples: 0 s and 2 s on one track, 0.5 s and 2 s on the other.
// The board gives the second sample the slot the first one had (free again
// by then), so that its answer is the first one's byte for byte; with no
// status on expiry, or the expiry status held back, no frame comes between
// the two. Each sample plays once, nothing is resent and the link holds.
TEST_F(EffectsOnBoard, APlayGivenThePreviousPlaysSlotIsAnsweredOnce) {
    withRealKeepAlive();  // no status between the first two plays
    auto at = [](int signal, double time) {
        json s = sampleAt(time, 0.1);
        s["signalIndex"] = signal;
        return s;
    };
    const int pattern =
        load(patternOf({trackOf({at(1, 0.0), at(2, 2.0)}), trackOf({at(3, 0.5), at(4, 2.0)})}, 2.1).dump());
    connect();
    const struct {
        const char* name;
        bool statusOnExpiry, late;
    } cases[] = {{"status on expiry", true, false}, {"no status on expiry", false, false},
                 {"expiry status late", true, true}};
    for (const auto& c : cases) {
        board->setStatusOnExpiry(c.statusOnExpiry);
        board->setLateExpiryStatus(c.late);
        const std::size_t before = board->plays().size();
        const int resends = LogRecorder::count("No answer from Vibrenza, retry sending command.");
        const int effect = handler->playEffect(pattern, {});
        ASSERT_GE(effect, 0) << c.name;
        ASSERT_TRUE(playsReach(before + 4)) << c.name;
        EXPECT_TRUE(eventually([&] { return handler->effectState(effect) == VBZ_EFFECT_UNKNOWN; })) << c.name;
        std::this_thread::sleep_for(2 * timing.answerTimeout);
        const auto plays = board->plays();
        std::vector<int> signals;
        for (std::size_t i = before; i < plays.size(); ++i) signals.push_back(plays[i].signal);
        std::sort(signals.begin(), signals.end());
        EXPECT_EQ(signals, (std::vector<int>{1, 2, 3, 4})) << c.name;
        EXPECT_EQ(LogRecorder::count("No answer from Vibrenza, retry sending command."), resends) << c.name;
        EXPECT_EQ(handler->connectionStatus(), VBZ_STATE_CONNECTED) << c.name;
        EXPECT_EQ(vest->countReceived(0x02), 0u) << c.name;
    }
}

// Samples that end one after the other on a quiet link: the status each
// expiry sets off is enough to release its slot. The host asks for no
// status of its own beyond the keep-alive (every request is one more frame
// a lossy link can swallow, and a swallowed one stalls the schedule).
TEST_F(EffectsOnBoard, SlotsFreedOnAQuietLinkAreReleasedWithoutAskingForStatuses) {
    withRealKeepAlive();
    std::vector<double> times;
    for (int i = 0; i < 10; ++i) times.push_back(0.1 * i);
    const int pattern = load(samplesAt(1, times, 0.05, 1.0));
    connect();
    const std::size_t requestsBefore = vest->countReceived(0x07);
    ASSERT_GE(handler->playEffect(pattern, {}), 0);
    ASSERT_TRUE(playsReach(10));
    EXPECT_TRUE(eventually([&] { return handler->slotMasks().registered == 0; }));
    // Ten slots freed within about a second: at most the keep-alives of
    // that second, not a request per slot.
    EXPECT_LE(vest->countReceived(0x07) - requestsBefore, 3u);
    EXPECT_EQ(vest->countReceived(0x02), 0u);
}
