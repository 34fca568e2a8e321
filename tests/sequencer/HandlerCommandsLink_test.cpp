// The sequencer back-end over real transports to the emulated vest and its
// playback board: connection order, handshake, transactions and their
// faults, board slots, mute and keep-alive, scans and the ends of a link.
// Timings are shortened except in the one test that keeps the real ones.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "device/HidComBT.h"
#include "device/TransportFactory.h"
#include "sdk/core/ErrorText.h"
#include "sdk/core/SdkPersistentState.h"
#include "sequencer/HandlerCommands.h"
#include "tests/support/BtTestLink.h"
#include "tests/support/CallbackRecorder.h"
#include "tests/support/Eventually.h"
#include "tests/support/LegacyPatterns.h"
#include "tests/support/LegacyVest.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ThreadCount.h"
#include "tests/support/UsbOnly.h"
#include "tests/support/WifiVest.h"
#include "tools/vest-emulator/LegacyBoard.h"
#include "tools/vest-emulator/udp/UdpVestServer.h"
#include "tools/vest-emulator/usb/UsbBus.h"

using namespace std::chrono_literals;
using vbz::emu::AnswerFault;
using vbz::emu::Clock;
using vbz::emu::LegacyBoard;
using vbz::emu::UsbBus;
using vbz::emu::VestIdentity;
using vbz::emu::VestModel;
using vbz::seq::Sequence;
using vbz_test::CallbackRecorder;
using vbz_test::ConnectionReport;
using vbz_test::eventually;
using vbz_test::LogRecorder;
using vbz_test::usbOnly;

namespace {
constexpr uint32_t kSerial = 21030042;

// A pattern the legacy model takes: one track, one sample, this boost.
std::string legacyPattern(int boost = 0) {
    auto p = vbz_test::patternOf({vbz_test::trackOf({vbz_test::sampleAt(0)})});
    p["patternBoost"] = boost;
    return p.dump();
}

// A sequence of legacyPattern() (one slot) that tests give slots by hand.
std::shared_ptr<Sequence> handSequence(HandlerCommands& owner, int effectId) {
    int error = 0;
    auto pattern = vbz::seq::Pattern::create(legacyPattern(), error);
    auto sequence = std::make_shared<Sequence>(owner, pattern, vbz_effect_properties_t{});
    sequence->setEffectId(effectId);
    return sequence;
}

HandlerCommands::Timing shortTiming() {
    HandlerCommands::Timing t;
    t.answerTimeout = 40ms;
    t.keepAliveInterval = 100ms;
    t.settleTime = 5ms;
    return t;
}

// Runs actions on the sequencing thread, where the scheduler's services
// (plays, slots) belong, at the step of each turn.
class ScriptedHandler : public HandlerCommands {
public:
    using HandlerCommands::HandlerCommands;
    using HandlerCommands::playingList;
    ~ScriptedHandler() override { shutdown(); }

    // The action's result, or -999 when no turn ran it within 5 s.
    int inTurn(std::function<int(ScriptedHandler&)> action) {
        std::promise<int> done;
        auto result = done.get_future();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            actions_.emplace_back(std::move(action), std::move(done));
        }
        wakeTurn();
        if (result.wait_for(5s) != std::future_status::ready) return -999;
        return result.get();
    }

protected:
    void stepSequences() override {
        std::vector<std::pair<std::function<int(ScriptedHandler&)>, std::promise<int>>> now;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            now.swap(actions_);
        }
        for (auto& [action, done] : now) done.set_value(action(*this));
        HandlerCommands::stepSequences();
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::function<int(ScriptedHandler&)>, std::promise<int>>> actions_;
};

// A play message as the scheduler writes it (the CRC is sendPlay's).
std::array<uint8_t, 518> playMessage(uint8_t signal, uint8_t volume = 100) {
    std::array<uint8_t, 518> m{};
    m[0] = 0x01;
    m[1] = 0xAD;
    m[2] = 0xDE;
    m[3] = signal;
    m[4] = volume;
    m[5] = 1;
    m[7] = 1;
    const float speed = 1.0f, offset = 1e-45f;
    std::memcpy(&m[20], &speed, 4);
    std::memcpy(&m[24], &offset, 4);
    return m;
}

struct UsbVest : ::testing::Test, vbz_test::LegacyVest {
    UsbVest() : LegacyVest(kSerial, shortTiming().answerTimeout) {}
    void SetUp() override {
        UsbBus::instance().reset();
        board->setHold(1, 10s);
        path = UsbBus::instance().plug(vest);
    }
    void TearDown() override {
        handler.reset();
        expectNoViolation();
        UsbBus::instance().reset();
    }
    void make(vbz::TransportFactory factory = &usbOnly, SdkPersistentState* state = nullptr) {
        handler = std::make_unique<ScriptedHandler>(state, std::move(factory), timing);
        handler->setConnectionCallback(&CallbackRecorder::callback, &recorder);
    }
    // Connects and returns the callback's report.
    ConnectionReport connect(vbz_output_t output = VBZ_OUTPUT_USB, std::size_t nth = 1) {
        EXPECT_EQ(handler->connect(output, 0), 0);
        const auto reports = recorder.waitFor(nth);
        if (reports.size() < nth) return {99, 99, 0, {}, false, 0};
        return reports[nth - 1];
    }
    int play(uint8_t signal, uint8_t volume = 100) {
        return handler->inTurn([signal, volume](ScriptedHandler& h) {
            auto m = playMessage(signal, volume);
            return h.sendPlay(m.data());
        });
    }

    LogRecorder log;
    HandlerCommands::Timing timing = shortTiming();
    std::string path;
    CallbackRecorder recorder;
    std::unique_ptr<ScriptedHandler> handler;
};
}  // namespace

TEST_F(UsbVest, HandshakeIdentityKeepAliveAndRequestedDisconnection) {
    make();
    const auto connected = connect();
    ASSERT_EQ(connected.state, VBZ_STATE_CONNECTED);
    EXPECT_EQ(connected.error, 0);
    EXPECT_EQ(connected.serial, kSerial);
    EXPECT_EQ(handler->getVibrenzaSerialNumber(), kSerial);
    EXPECT_EQ(handler->getVibrenzaVersion(), "VBZ-EMU 1.4.2");
    EXPECT_EQ(handler->getVibrenzaType(), static_cast<vbz_device_type_t>(0x0123FFFF));
    // Written after the callback.
    EXPECT_TRUE(LogRecorder::waitFor("Vibrenza Type: 19136511"));
    EXPECT_TRUE(LogRecorder::has(2, "Sequencer", "Serial Number: 21030042"));
    EXPECT_TRUE(LogRecorder::has(2, "Sequencer", "SDK Version: 1.6.3-dirty-android-invalid"));
    // The handshake in its order, nothing before it.
    const auto frames = vest->hostFrames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0].bytes[0], 0x08);
    EXPECT_EQ(frames[1].bytes[0], 0x09);
    EXPECT_EQ(frames[2].bytes[0], 0x0A);

    // An idle link carries a status request per keep-alive interval.
    ASSERT_TRUE(eventually([&] { return vest->countReceived(0x07) >= 3; }));
    EXPECT_LE(vest->countReceived(0x07), 8u);

    ASSERT_EQ(handler->disconnect(), 0);
    const auto reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, 0);
    EXPECT_EQ(reports[1].serial, kSerial);
    EXPECT_EQ(handler->getVibrenzaVersion(), "noDeviceConnected");
    EXPECT_EQ(UsbBus::instance().openHandles(), 0);

    // And again.
    const auto again = connect(VBZ_OUTPUT_USB, 3);
    EXPECT_EQ(again.state, VBZ_STATE_CONNECTED);
}

TEST_F(UsbVest, OutputsAreTriedInOrderAndOnlyThoseAsked) {
    std::vector<int> made;
    std::mutex m;
    auto none = [&](vbz_output_t kind) -> std::unique_ptr<vbz::IHidCom> {
        std::lock_guard<std::mutex> lock(m);
        made.push_back(kind);
        return nullptr;
    };
    make(none);
    const struct {
        vbz_output_t output;
        std::vector<int> kinds;
    } cases[] = {
        {VBZ_OUTPUT_ANY, {VBZ_OUTPUT_USB, VBZ_OUTPUT_WIFI, VBZ_OUTPUT_BLUETOOTH}},
        {VBZ_OUTPUT_WIFI, {VBZ_OUTPUT_WIFI}},
        {VBZ_OUTPUT_BLUETOOTH, {VBZ_OUTPUT_BLUETOOTH}},
    };
    std::size_t n = 0;
    for (const auto& c : cases) {
        made.clear();
        const auto report = connect(c.output, ++n);
        EXPECT_EQ(report.state, VBZ_STATE_DISCONNECTED);
        EXPECT_EQ(report.error, -6);
        EXPECT_EQ(report.serial, 0xFFFFFFFFu);
        std::lock_guard<std::mutex> lock(m);
        EXPECT_EQ(made, c.kinds) << c.output;
    }
    EXPECT_EQ(vest->hostFrames().size(), 0u);

    // Output 0 with a USB vest: USB is first and wins.
    made.clear();
    make([&](vbz_output_t kind) {
        std::lock_guard<std::mutex> lock(m);
        made.push_back(kind);
        return usbOnly(kind);
    });
    EXPECT_EQ(connect(VBZ_OUTPUT_ANY, 4).state, VBZ_STATE_CONNECTED);
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(made, std::vector<int>{VBZ_OUTPUT_USB});
}

TEST_F(UsbVest, VestSilentAfterTheSerialAnswerFailsTheHandshakeAfterTenSends) {
    board->swallow(0x09, 1000);
    make();
    const auto report = connect();
    EXPECT_EQ(report.state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(report.error, -13);
    EXPECT_EQ(report.serial, kSerial);
    EXPECT_EQ(vest->countReceived(0x09), 10u);
    EXPECT_EQ(vest->countReceived(0x0A), 0u);
    EXPECT_TRUE(LogRecorder::has(4, "Sequencer", "Vibrenza is not answering, initiate disconnection."));
    EXPECT_EQ(LogRecorder::count("No answer from Vibrenza, retry sending command."), 9);
    EXPECT_EQ(handler->connectionStatus(), VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(handler->getVibrenzaSerialNumber(), 0xFFFFFFFFu);
}

TEST_F(UsbVest, LinkLostWhileConnectedReportsItAndKeepsThePatterns) {
    make();
    const int pattern = handler->loadPatternFromJSON(legacyPattern(10));
    ASSERT_GE(pattern, 0);
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    UsbBus::instance().unplug(path);
    const auto reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, -6);
    EXPECT_EQ(reports[1].serial, kSerial);
    EXPECT_TRUE(LogRecorder::has(
        3, "Sequencer", "Unwanted disconnection detected: " + errorText(VBZ_ERROR_DEVICE_NOT_REACHABLE)));
    EXPECT_EQ(handler->getVibrenzaVersion(), "noDeviceConnected");
    EXPECT_EQ(handler->getPatternIntensityBoost(pattern), 50);
}

TEST_F(UsbVest, DeviceErrorsWhileAnswersAreAwaited) {
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    // -2 in place of a status answer: two error lines, then a resend.
    AnswerFault error;
    error.deviceError = -2;
    error.times = 1;
    vest->setFault(0x07, error);
    const auto before = vest->countReceived(0x07);
    ASSERT_TRUE(eventually([&] { return vest->countReceived(0x07) >= before + 2; }));
    EXPECT_TRUE(LogRecorder::has(4, "Sequencer", "Vibrenza was not able to process the last command."));
    EXPECT_TRUE(LogRecorder::has(4, "Sequencer", "The received message had an invalid command ID."));
    EXPECT_TRUE(LogRecorder::has(1, "Sequencer", "No answer from Vibrenza, retry sending command."));
    EXPECT_EQ(handler->connectionStatus(), VBZ_STATE_CONNECTED);

    // -4 while a play is awaited ends the play at once, without a resend.
    board->setInvalidAsDeviceError(true);
    const auto plays = vest->countReceived(0x01);
    EXPECT_EQ(play(1, 255), -2);
    EXPECT_EQ(vest->countReceived(0x01), plays + 1);
    // An error of the vest's own, answering nothing, changes nothing.
    board->sendDeviceError(-7);
    ASSERT_TRUE(LogRecorder::waitFor("Invalid internal state."));
    EXPECT_EQ(handler->connectionStatus(), VBZ_STATE_CONNECTED);
}

TEST_F(UsbVest, PlayAnswersBecomeSlotsOrCodes) {
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    EXPECT_EQ(play(1), 0);
    board->forceNextPlayStatus(7);
    EXPECT_EQ(play(1), 7);
    EXPECT_EQ(play(1, 250), -2);  // the vest finds the volume invalid
    board->forceNextPlayStatus(255);
    EXPECT_EQ(play(1), -8);
    board->forceNextPlayStatus(25);
    EXPECT_EQ(play(1), -10);
    EXPECT_TRUE(LogRecorder::has(4, "Sequencer",
                                 "Vibrenza answered a play command with an invalid slot: 25"));
    // Nothing was registered for the answers that name no slot.
    EXPECT_EQ(handler->slotMasks().registered, 0u);
}

// The vest frees a slot without a status and gives it to the next play, so
// that the answer is the previous play's byte for byte with no frame
// between: it is the play's own, taken at once and not resent for.
TEST_F(UsbVest, APlayAnsweredLikeThePreviousOneIsTakenAtOnce) {
    board->setHold(2, 5ms);
    board->setStatusOnExpiry(false);
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    const int second = handler->inTurn([](ScriptedHandler& h) {
        auto m = playMessage(2);
        if (h.sendPlay(m.data()) != 0) return -100;
        std::this_thread::sleep_for(20ms);
        m = playMessage(2);
        return h.sendPlay(m.data());
    });
    EXPECT_EQ(second, 0);
    EXPECT_EQ(vest->countReceived(0x01), 2u);
    EXPECT_EQ(LogRecorder::count("No answer from Vibrenza, retry sending command."), 0);
}

// Every play answer comes 30 ms after the play and again 10 ms later, and a
// status answer 40 ms after its request: the copy of the first play's answer
// reaches the host while the second play waits for its own. Each play gets
// the slot the vest gave it.
TEST_F(UsbVest, ACopyOfAPlaysAnswerIsNotTakenForTheNextPlay) {
    timing.answerTimeout = 200ms;
    vest->checkOneCommandAtATime(timing.answerTimeout);
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    AnswerFault twice;
    twice.delay = 30ms;
    twice.twice = true;
    twice.twiceAfter = 10ms;
    vest->setFault(0x01, twice);
    AnswerFault late;
    late.delay = 40ms;
    vest->setFault(0x07, late);
    const int resends = LogRecorder::count("No answer from Vibrenza, retry sending command.");
    std::vector<int> slots;
    handler->inTurn([&slots](ScriptedHandler& h) {
        for (int i = 0; i < 3; ++i) {
            auto m = playMessage(1);
            slots.push_back(h.sendPlay(m.data()));
        }
        return 0;
    });
    EXPECT_EQ(slots, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(vest->countReceived(0x01), 3u);
    EXPECT_EQ(LogRecorder::count("No answer from Vibrenza, retry sending command."), resends);
}

TEST_F(UsbVest, BoardStatusBytesDecodeIntoTheMasks) {
    make();
    const struct {
        std::array<uint8_t, 5> bytes;
        uint32_t reserved, muted;
    } cases[] = {
        {{0x01, 0, 0, 0, 0}, 0x00000001u, 0xFFF00000u},
        {{0x02, 0, 0, 0, 0}, 0x00000000u, 0xFFF00001u},
        {{0, 0, 0, 0, 0x40}, 0x00080000u, 0xFFF00000u},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x000FFFFFu, 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        handler->updateBoardStatus(c.bytes.data());
        EXPECT_EQ(handler->slotMasks().boardReserved, c.reserved);
        EXPECT_EQ(handler->slotMasks().boardMuted, c.muted);
    }
}

TEST_F(UsbVest, PhantomSlotIsStoppedUntilFree) {
    board->reservePhantom(3);
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    // The first two statuses show slot 3: the host stops it.
    ASSERT_TRUE(eventually([&] { return vest->countReceived(0x02) >= 1; }));
    ASSERT_TRUE(eventually([&] { return board->snapshot().reserved == 0; }));
    EXPECT_TRUE(LogRecorder::has(0, "Sequencer", "Slot 3 should be free. Stop called."));
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(vest->countReceived(0x02), 1u);
}

TEST_F(UsbVest, SlotFreedByTheBoardIsReleased) {
    board->setHold(2, 60ms);
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    auto sequence = handSequence(*handler, 0);
    const int slot = handler->inTurn([&](ScriptedHandler& h) {
        auto m = playMessage(2);
        const int s = h.sendPlay(m.data());
        if (s >= 0) {
            sequence->holdSlot(s, 0);
            h.registerSlot(s, false, sequence);
        }
        return s;
    });
    ASSERT_EQ(slot, 0);
    EXPECT_EQ(handler->slotMasks().registered, 1u);
    // The board frees it and says so; the host forgets it.
    ASSERT_TRUE(eventually([&] { return handler->slotMasks().registered == 0; }));
    uint32_t used = 0;
    handler->inTurn([&](ScriptedHandler&) {
        sequence->usedSlotMask(used);
        return 0;
    });
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(vest->countReceived(0x02), 0u);  // nothing to stop
    // Registering a slot twice frees the older holder.
    auto other = handSequence(*handler, 1);
    handler->inTurn([&](ScriptedHandler& h) {
        h.registerSlot(5, false, sequence);
        h.registerSlot(5, true, other);
        return h.unregisterSlot(6);
    });
    EXPECT_TRUE(LogRecorder::has(
        1, "Sequencer", "Slot 5already registered detected, reregistered to the latest sample."));
    EXPECT_TRUE(LogRecorder::has(1, "Sequencer", "Cannot unregister slot (ID 6), slot is already free."));
}

TEST_F(UsbVest, NoMuteFloodWithAnEffectOnHighSlots) {
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    auto sequence = handSequence(*handler, 0);
    // One effect holding slots 0 to 12, all heard.
    const int last = handler->inTurn([&](ScriptedHandler& h) {
        int s = -1;
        for (int i = 0; i < 13; ++i) {
            auto m = playMessage(1);
            s = h.sendPlay(m.data());
            if (s < 0) return s;
            sequence->holdSlot(s, 0);
            h.registerSlot(s, false, sequence);
        }
        sequence->play(false);
        h.playingList.push_back(sequence);
        return s;
    });
    ASSERT_EQ(last, 12);
    std::this_thread::sleep_for(100ms);
    const auto before = vest->countReceived(0x06);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(vest->countReceived(0x06), before);
    EXPECT_EQ(board->snapshot().muted, 0x000FFFFFu & ~0x1FFFu);
    EXPECT_EQ(board->snapshot().reserved, 0x1FFFu);
}

TEST_F(UsbVest, PauseResumeStopAllAndThePauseCarriedAcrossAReconnection) {
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    // A resume before the pause was carried out cancels it (both asked
    // within one turn).
    ASSERT_EQ(handler->inTurn([](ScriptedHandler& h) { return h.pauseAll() + h.resumeAll(); }), 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(vest->countReceived(0x05), 0u);
    EXPECT_FALSE(board->snapshot().paused);

    ASSERT_EQ(handler->pauseAll(), 0);
    ASSERT_TRUE(eventually([&] { return board->snapshot().paused; }));
    ASSERT_EQ(handler->stopAll(), 0);
    ASSERT_TRUE(eventually([&] { return vest->countReceived(0x04) == 1; }));

    // Paused when the link went: paused again on the next vest.
    ASSERT_EQ(handler->disconnect(), 0);
    ASSERT_EQ(recorder.waitFor(2).size(), 2u);
    ASSERT_EQ(connect(VBZ_OUTPUT_USB, 3).state, VBZ_STATE_CONNECTED);
    ASSERT_TRUE(eventually([&] { return vest->countReceived(0x05) == 2; }));
    ASSERT_EQ(handler->resumeAll(), 0);
    ASSERT_TRUE(eventually([&] { return vest->countReceived(0x03) == 1; }));
    EXPECT_FALSE(board->snapshot().paused);
}

TEST_F(UsbVest, EffectsStopAndFinish) {
    make();
    ASSERT_GE(handler->loadPatternFromJSON(legacyPattern()), 0);
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    vbz_effect_properties_t p;
    const int effect = handler->playEffect(0, p);
    ASSERT_EQ(effect, 0);
    ASSERT_TRUE(eventually([&] { return handler->effectState(effect) == VBZ_EFFECT_PLAYING; }));
    ASSERT_EQ(handler->stopEffect(effect, 0.5f), 0);
    ASSERT_TRUE(eventually([&] { return handler->effectState(effect) == VBZ_EFFECT_UNKNOWN; }));
}

TEST_F(UsbVest, DestroyingAConnectedHandlerReportsOnceAndLeavesNoThread) {
    const int threadsBefore = vbz_test::threadCount();
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    EXPECT_GE(vbz_test::listedThreadCount(), threadsBefore + 2);
    handler.reset();
    const auto reports = recorder.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, 0);
    EXPECT_EQ(vbz_test::threadCount(), threadsBefore);
    EXPECT_TRUE(LogRecorder::has(0, "Sequencer", "Sequencer destroyed."));
    EXPECT_EQ(UsbBus::instance().openHandles(), 0);
}

TEST_F(UsbVest, DestroyingFromTheCallbackIsRefusedWithoutASelfJoin) {
    make();
    std::unique_ptr<ScriptedHandler>* owner = &handler;
    recorder.onReport = [owner](const ConnectionReport& r) {
        if (r.state == VBZ_STATE_DISCONNECTED) owner->reset();
    };
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    UsbBus::instance().unplug(path);
    ASSERT_EQ(recorder.waitFor(2).size(), 2u);
    EXPECT_TRUE(LogRecorder::waitFor(
        "The sequencer cannot be destroyed from its own threads (a connection callback); its "
        "threads are left to end on their own."));
    // The detached thread's last shared access is this line (its sink): seen
    // through the recorder's lock, it is over before the process exits.
    EXPECT_TRUE(LogRecorder::waitFor("Disconnection routine terminated: connectionCallback called."));
    std::this_thread::sleep_for(50ms);  // the detached thread returns
}

TEST_F(UsbVest, KeptPatternIdsAreNotReportedForNewLoads) {
    SdkPersistentState state;
    make(&usbOnly, &state);
    // Another back-end kept a pattern under the id this one would give next.
    state.addPattern(0, legacyPattern());
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    EXPECT_TRUE(LogRecorder::has(2, "Sequencer", "Pattern of ID 0 reloaded."));
    EXPECT_EQ(handler->loadPatternFromJSON(legacyPattern()), 1);
    EXPECT_EQ(handler->loadPatternFromJSON(legacyPattern()), 2);
}

TEST(SequencerOverBluetooth, ConnectsThroughTheSocketPairSeam) {
    LogRecorder log;
    UsbBus::instance().reset();
    auto link = std::make_shared<vbz_test::BtTestLink>();
    link->list("00:11:22:33:44:55", "Vibrenza Vest");
    auto vest = link->addVest("00:11:22:33:44:55", VestIdentity::withSerial(kSerial));
    LegacyBoard board(vest);
    CallbackRecorder recorder;
    {
        HandlerCommands handler(
            nullptr,
            [link](vbz_output_t kind) -> std::unique_ptr<vbz::IHidCom> {
                if (kind == VBZ_OUTPUT_BLUETOOTH) return std::make_unique<vbz::HidComBT>(link);
                return nullptr;
            },
            shortTiming());
        handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
        ASSERT_EQ(handler.connect(VBZ_OUTPUT_BLUETOOTH, 0), 0);
        const auto reports = recorder.waitFor(1);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].state, VBZ_STATE_CONNECTED);
        EXPECT_EQ(reports[0].serial, kSerial);
        std::this_thread::sleep_for(150ms);
        EXPECT_GE(vest->countReceived(0x07), 1u);
        link->adapter("00:11:22:33:44:55")->hangUp();
        const auto lost = recorder.waitFor(2);
        ASSERT_EQ(lost.size(), 2u);
        EXPECT_EQ(lost[1].error, -6);
    }
    EXPECT_EQ(board.violationCount(), 0u);
}

TEST(SequencerScan, FindsVestsOnAllThreeLinksInOneList) {
    LogRecorder log;
    vbz_test::VethPair net;
    VBZ_REQUIRE_NETNS(net);
    UsbBus::instance().reset();
    auto usbVest = std::make_shared<VestModel>(VestIdentity::withSerial(11000001));
    UsbBus::instance().plug(usbVest);
    auto udpVest = std::make_shared<VestModel>(VestIdentity::withSerial(12000002));
    vbz::emu::UdpVestServer server;
    std::string error;
    ASSERT_TRUE(vbz_test::serveOnVestSide(net, server, udpVest, &error)) << error;
    auto link = std::make_shared<vbz_test::BtTestLink>();
    link->list("00:11:22:33:44:55", "Vibrenza Vest");
    link->addVest("00:11:22:33:44:55", VestIdentity::withSerial(13000003));

    std::unique_ptr<HandlerCommands> handler;
    net.host().run([&] {
        handler = std::make_unique<HandlerCommands>(
            nullptr,
            [link](vbz_output_t kind) -> std::unique_ptr<vbz::IHidCom> {
                if (kind == VBZ_OUTPUT_BLUETOOTH) return std::make_unique<vbz::HidComBT>(link);
                return vbz::makeTransport(kind);
            },
            shortTiming());
        ASSERT_EQ(handler->scanDevices(VBZ_OUTPUT_ANY), 0);
    });
    // Wi-Fi discovery listens for a second: the scan is still running.
    EXPECT_EQ(handler->getFirstScannedDevice(), nullptr);
    EXPECT_TRUE(LogRecorder::has(3, "Sequencer", "Cannot get scanned devices: scanning ongoing."));
    ASSERT_TRUE(LogRecorder::waitFor("Scanning routine terminated."));
    std::vector<std::pair<int, unsigned>> found;
    for (const vbz_device_info_t* d = handler->getFirstScannedDevice(); d; d = d->next)
        found.emplace_back(d->outputType, d->serialNumber);
    const std::vector<std::pair<int, unsigned>> expected = {
        {VBZ_OUTPUT_USB, 11000001u}, {VBZ_OUTPUT_WIFI, 12000002u}, {VBZ_OUTPUT_BLUETOOTH, 13000003u}};
    EXPECT_EQ(found, expected);
    net.host().run([&] { handler.reset(); });
    server.stop();
}

// The one test with the link's real timing: a vest that stops answering is
// written to ten times in all, and given up about ten seconds after the
// first write.
TEST(SequencerRealTiming, SilentVestGetsTenWritesAndIsGivenUpAfterTenSeconds) {
    LogRecorder log;
    UsbBus::instance().reset();
    auto vest = std::make_shared<VestModel>(VestIdentity::withSerial(kSerial));
    LegacyBoard board(vest);
    board.swallow(0x0A, 1000);
    UsbBus::instance().plug(vest);
    CallbackRecorder recorder;
    Clock::time_point reported;
    recorder.onReport = [&reported](const ConnectionReport&) { reported = Clock::now(); };
    HandlerCommands handler(nullptr, &usbOnly);
    handler.setConnectionCallback(&CallbackRecorder::callback, &recorder);
    ASSERT_EQ(handler.connect(VBZ_OUTPUT_USB, 0), 0);
    std::vector<ConnectionReport> reports;
    for (int i = 0; i < 3 && reports.empty(); ++i) reports = recorder.waitFor(1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].error, -13);
    std::vector<Clock::time_point> writes;
    for (const auto& f : vest->hostFrames())
        if (f.bytes[0] == 0x0A) writes.push_back(f.time);
    ASSERT_EQ(writes.size(), 10u);
    const double span = std::chrono::duration<double>(reported - writes.front()).count();
    EXPECT_GT(span, 9.9);
    EXPECT_LT(span, 11.0);
    for (std::size_t i = 1; i < writes.size(); ++i)
        EXPECT_NEAR(std::chrono::duration<double>(writes[i] - writes[i - 1]).count(), 1.0, 0.1);
}

TEST_F(UsbVest, AnswerFaultsAreSurvived) {
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    auto fault = [](int times, const std::function<void(AnswerFault&)>& set) {
        AnswerFault f;
        f.times = times;
        set(f);
        return f;
    };
    const struct {
        const char* name;
        AnswerFault fault;
    } cases[] = {
        {"late answer, resent once", fault(1, [](AnswerFault& f) { f.delay = 60ms; })},
        {"answer twice", fault(1, [](AnswerFault& f) { f.twice = true; })},
        {"unknown frames first", fault(1, [](AnswerFault& f) { f.noiseFrames = 3; })},
        {"corrupt answer, resent", fault(1, [](AnswerFault& f) { f.badCrc = true; })},
        {"answer swallowed twice", fault(2, [](AnswerFault& f) { f.silent = true; })},
    };
    for (const auto& c : cases) {
        vest->setFault(0x07, c.fault);
        const auto before = vest->countReceived(0x07);
        ASSERT_TRUE(eventually([&] { return vest->countReceived(0x07) >= before + 3; })) << c.name;
        EXPECT_EQ(handler->connectionStatus(), VBZ_STATE_CONNECTED) << c.name;
    }
    // Raw bytes that are no frame are dropped by the transport.
    vest->sendUnsolicited({0x42, 0x00, 0x13});
    const auto before = vest->countReceived(0x07);
    ASSERT_TRUE(eventually([&] { return vest->countReceived(0x07) >= before + 2; }));
    EXPECT_EQ(handler->connectionStatus(), VBZ_STATE_CONNECTED);
    ASSERT_EQ(handler->disconnect(), 0);
    const auto reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].error, 0);
}

// A vest that stops answering while connected is given up after ten sends;
// the link still closes well, but the end is reported as the vest lost, not
// as a disconnection asked for.
TEST_F(UsbVest, AVestThatStopsAnsweringIsReportedLost) {
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    board->swallow(0x07, 1000);
    const auto reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].state, VBZ_STATE_DISCONNECTED);
    EXPECT_EQ(reports[1].error, -6);
    EXPECT_TRUE(LogRecorder::has(4, "Sequencer", "Vibrenza is not answering, initiate disconnection."));
    EXPECT_TRUE(LogRecorder::has(
        3, "Sequencer", "Unwanted disconnection detected: " + errorText(VBZ_ERROR_DEVICE_NOT_REACHABLE)));
}

TEST_F(UsbVest, LinkLostDuringATransactionAbortsItAtOnce) {
    timing.answerTimeout = 5s;  // no resend within the test
    board->swallow(0x07, 1000);
    make();
    ASSERT_EQ(connect().state, VBZ_STATE_CONNECTED);
    ASSERT_TRUE(eventually([&] { return vest->countReceived(0x07) == 1; }));
    UsbBus::instance().unplug(path);
    const auto reports = recorder.waitFor(2);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].error, -6);
    // Given up when the reception ended, not after waiting out the answer.
    EXPECT_EQ(vest->countReceived(0x07), 1u);
    EXPECT_FALSE(LogRecorder::has(1, "Sequencer", "No answer from Vibrenza, retry sending command."));
}
