// The emulated playback board, driven frame by frame as the host would, and
// read back through the SDK's own frame helpers.
#include "tools/vest-emulator/LegacyBoard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "device/Frame.h"

using namespace vbz::emu;
using namespace std::chrono_literals;

namespace {
struct PlayFields {
    uint8_t signal = 1, volume = 100, repeat = 1, flags = 0, keyframes = 1;
    float maxDuration = 0, preDelay = 0, postDelay = 0, speed = 1, startOffset = 1e-45f;
};

void putF32(Frame& f, std::size_t at, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    vbz::writeU32(&f[at], bits);
}

Frame playFrame(const PlayFields& p) {
    Frame f(518, 0);
    f[0] = 0x01;
    f[1] = 0xAD;
    f[2] = 0xDE;
    f[3] = p.signal;
    f[4] = p.volume;
    f[5] = p.repeat;
    f[6] = p.flags;
    f[7] = p.keyframes;
    putF32(f, 8, p.maxDuration);
    putF32(f, 12, p.preDelay);
    putF32(f, 16, p.postDelay);
    putF32(f, 20, p.speed);
    putF32(f, 24, p.startOffset);
    for (std::size_t k = 0; k < std::min<std::size_t>(p.keyframes, 20); ++k) f[36 + 24 * k + 4] = 50;
    sealFrame(f);
    return f;
}

Frame command(uint8_t id, std::size_t length, std::vector<uint8_t> payload = {}) {
    return makeFrame(id, length, payload);
}

Frame stopFrame(uint8_t slot, float fade) {
    Frame f = makeFrame(0x02, 10, {slot});
    putF32(f, 4, fade);
    sealFrame(f);
    return f;
}

struct Board : ::testing::Test {
    std::shared_ptr<VestModel> vest = std::make_shared<VestModel>();
    LegacyBoard board{vest};

    // Sends a frame and returns the next frame of the vest within 100 ms.
    Frame ask(const Frame& f) {
        vest->receive(f.data(), f.size());
        auto reply = vest->nextFrame(Clock::now() + 100ms);
        return reply ? *reply : Frame{};
    }
    static BoardSnapshot boardOf(const Frame& answer) {
        const std::size_t at = (answer[0] == 0x81 || answer[0] == 0x82) ? 4 : 3;
        std::array<uint8_t, 5> b{};
        std::copy_n(answer.begin() + static_cast<long>(at), 5, b.begin());
        return LegacyBoard::decode(b);
    }
    static bool hostAccepts(const Frame& f) {
        const auto& table = vbz::answerLengths();
        const auto it = table.find(f.at(0));
        return it != table.end() && f.size() == it->second &&
               vbz::checkCommandCrc16(f.data(), static_cast<uint16_t>(f.size()));
    }
};
}  // namespace

TEST_F(Board, StatusBitsAreTwoPerSlotLittleEndian) {
    const struct {
        std::array<uint8_t, 5> bytes;
        uint32_t reserved, muted;
    } cases[] = {
        {{0x01, 0, 0, 0, 0}, 0x1, 0x0},
        {{0x02, 0, 0, 0, 0}, 0x0, 0x1},
        {{0, 0, 0, 0, 0x40}, 0x80000, 0x0},
        {{0, 0, 0, 0, 0x80}, 0x0, 0x80000},
        {{0x0C, 0x30, 0, 0, 0}, 0x42, 0x42},  // slots 1 and 6, both bits
    };
    for (const auto& c : cases) {
        const auto b = LegacyBoard::decode(c.bytes);
        EXPECT_EQ(b.reserved, c.reserved);
        EXPECT_EQ(b.muted, c.muted);
    }
}

TEST_F(Board, PlaysTakeTheLowestFreeSlotAndAnswerWithTheBoardAfterTheCommand) {
    const struct {
        PlayFields fields;
        uint8_t status;
    } cases[] = {
        {{}, 0},
        {{.flags = 1}, 1},                  // muted play
        {{.volume = 250}, 254},             // beyond the volume range
        {{.keyframes = 21}, 254},           // does not fit the message
        {{.speed = 0.001f}, 254},           // speed out of range
        {{.preDelay = -1.0f}, 254},         // negative time
        {{.startOffset = NAN}, 254},        // not a number
        {{.flags = 4}, 254},                // unknown flag
    };
    for (const auto& c : cases) {
        const Frame answer = ask(playFrame(c.fields));
        ASSERT_TRUE(hostAccepts(answer));
        EXPECT_EQ(answer[0], 0x81);
        EXPECT_EQ(answer[3], c.status);
    }
    const Frame last = ask(command(0x07, 5));
    EXPECT_EQ(last[0], 0x87);
    EXPECT_EQ(boardOf(last).reserved, 0x3u);
    EXPECT_EQ(boardOf(last).muted, 0x2u);
    const auto plays = board.plays();
    ASSERT_EQ(plays.size(), 8u);
    EXPECT_EQ(plays[0].signal, 1);
    EXPECT_EQ(plays[0].keyframes.size(), 1u);
    EXPECT_EQ(plays[0].keyframes[0].values[0], 50);
    // The over-long keyframe count is a protocol violation of the host.
    EXPECT_EQ(board.violationCount(), 1u);
}

TEST_F(Board, FullBoardForcedStatusAndDeviceErrorMode) {
    for (int i = 0; i < LegacyBoard::kSlots; ++i) ASSERT_EQ(ask(playFrame({}))[3], i);
    EXPECT_EQ(ask(playFrame({}))[3], 255);
    EXPECT_EQ(ask(command(0x04, 5))[0], 0x84);  // stop all frees everything
    EXPECT_EQ(board.snapshot().reserved, 0u);

    board.forceNextPlayStatus(25);
    EXPECT_EQ(ask(playFrame({}))[3], 25);
    EXPECT_EQ(board.snapshot().reserved, 0u);
    board.setInvalidAsDeviceError(true);
    const Frame error = ask(playFrame({.volume = 255}));
    ASSERT_TRUE(hostAccepts(error));
    EXPECT_EQ(error[0], 0xFF);
    EXPECT_EQ(static_cast<int8_t>(error[3]), -4);
}

TEST_F(Board, HoldTimesExpireWithAStatusUnlessSwitchedOff) {
    board.setHold(7, 30ms);
    ASSERT_EQ(ask(playFrame({.signal = 7}))[3], 0);
    auto status = vest->nextFrame(Clock::now() + 1s);
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)[0], 0xA0);
    EXPECT_EQ(boardOf(*status).reserved, 0u);

    // Computed: (0.01 + 0.02 / 2 + 0.01) x 2 - 0 = 60 ms.
    board.setStatusOnExpiry(false);
    ASSERT_EQ(ask(playFrame({.repeat = 2, .maxDuration = 0.02f, .preDelay = 0.01f,
                             .postDelay = 0.01f, .speed = 2.0f, .startOffset = 0.0f}))[3],
              0);
    EXPECT_EQ(board.snapshot().reserved, 1u);
    EXPECT_FALSE(vest->nextFrame(Clock::now() + 150ms));
    EXPECT_EQ(board.snapshot().reserved, 0u);
}

TEST_F(Board, StopPauseResumeAndMute) {
    board.setHold(1, 10s);
    ASSERT_EQ(ask(playFrame({}))[3], 0);
    ASSERT_EQ(ask(playFrame({}))[3], 1);
    const Frame stopped = ask(stopFrame(0, 0.0f));
    EXPECT_EQ(stopped[0], 0x82);
    EXPECT_EQ(stopped[3], 0);
    EXPECT_EQ(boardOf(stopped).reserved, 0x2u);
    EXPECT_EQ(ask(stopFrame(30, 0.0f))[3], 254);

    // A fade ends the slot after the fade, not at once.
    EXPECT_EQ(boardOf(ask(stopFrame(1, 0.05f))).reserved, 0x2u);
    // Paused, the fade does not run out.
    EXPECT_EQ(ask(command(0x05, 5))[0], 0x85);
    std::this_thread::sleep_for(80ms);
    EXPECT_TRUE(board.snapshot().paused);
    EXPECT_EQ(board.snapshot().reserved, 0x2u);
    EXPECT_EQ(ask(command(0x03, 5))[0], 0x83);
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(board.snapshot().reserved, 0u);
    const auto expired = vest->nextFrame(Clock::now());  // the fade ran out
    ASSERT_TRUE(expired);
    EXPECT_EQ((*expired)[0], 0xA0);

    const Frame muted = ask(command(0x06, 8, {0x01, 0x10, 0xFF}));
    EXPECT_EQ(muted[0], 0x86);
    EXPECT_EQ(boardOf(muted).muted, 0x000F1001u);  // bits 20-23 are not slots
}

TEST_F(Board, PhantomSlotsAndSwallowedFrames) {
    board.reservePhantom(3);
    EXPECT_EQ(ask(command(0x07, 5))[0], 0x87);
    EXPECT_EQ(board.snapshot().reserved, 0x8u);
    EXPECT_EQ(ask(playFrame({}))[3], 0);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(boardOf(ask(stopFrame(3, 1.0f))).reserved & 0x8u, 0u);  // a phantom goes at once

    board.swallow(0x07, 2);
    EXPECT_TRUE(ask(command(0x07, 5)).empty());
    EXPECT_TRUE(ask(command(0x07, 5)).empty());
    EXPECT_EQ(ask(command(0x07, 5))[0], 0x87);
    board.swallow(0x08, 1);  // a command of the model
    EXPECT_TRUE(ask(command(0x08, 5)).empty());
    EXPECT_EQ(ask(command(0x08, 5))[0], 0x88);
    EXPECT_EQ(vest->countReceived(0x07), 4u);
}

TEST_F(Board, OneCommandAtATimeIsChecked) {
    vest->checkOneCommandAtATime(50ms);
    AnswerFault twice;
    twice.twice = true;
    twice.times = 1;
    vest->setFault(0x07, twice);
    EXPECT_EQ(ask(command(0x07, 5))[0], 0x87);
    EXPECT_EQ(ask(command(0x07, 5))[0], 0x87);  // the duplicate of the first answer
    EXPECT_EQ(board.violationCount(), 0u);

    // Sent before the answer was taken: a violation.
    const Frame status = command(0x07, 5);
    vest->receive(status.data(), status.size());
    vest->receive(status.data(), status.size());
    EXPECT_EQ(board.violationCount(), 1u);
    while (vest->nextFrame(Clock::now())) {
    }
    // A resend after the host's time-out is not.
    board.swallow(0x07, 1);
    vest->receive(status.data(), status.size());
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(ask(status)[0], 0x87);
    EXPECT_EQ(board.violationCount(), 1u);

    board.sendDeviceError(-2);
    const auto error = vest->nextFrame(Clock::now() + 100ms);
    ASSERT_TRUE(error);
    EXPECT_EQ((*error)[0], 0xFF);
}
