// The emulated vest, checked against the SDK's own frame helpers, which are
// written apart from the emulator's.
#include "tools/vest-emulator/VestModel.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

#include "device/Frame.h"
#include "tools/vest-emulator/StdioAdapter.h"

using namespace vbz::emu;

namespace {
Frame request(uint8_t id) {
    const auto f = vbz::shortFrame(static_cast<vbz::DeviceCommand>(id));
    return Frame(f.begin(), f.end());
}

// The host's view: known id, table length, CRC over it.
bool hostAccepts(const Frame& f) {
    const auto& table = vbz::answerLengths();
    const auto it = table.find(f.at(0));
    return it != table.end() && f.size() == it->second &&
           vbz::checkCommandCrc16(f.data(), static_cast<uint16_t>(f.size()));
}

Frame ask(VestModel& vest, const Frame& f) {
    vest.receive(f.data(), f.size());
    auto reply = vest.nextFrame(Clock::now());
    return reply ? *reply : Frame{};
}
}  // namespace

TEST(VestModel, AnswersTheIdentityCommandsInFramesTheHostAccepts) {
    VestIdentity id = VestIdentity::withSerial(21030042);
    id.version = "VBZ 3.1.4";
    id.typeCode = 0x01100101;
    VestModel vest(id);

    const Frame serial = ask(vest, request(0x08));
    ASSERT_TRUE(hostAccepts(serial));
    EXPECT_EQ(serial[0], 0x88);
    EXPECT_EQ(Frame(serial.begin() + 3, serial.begin() + 7), (Frame{0x2A, 0x00, 0x03, 0x15}));
    EXPECT_EQ(vbz::serialFromFields(serial.data()), 21030042);

    const Frame version = ask(vest, request(0x09));
    ASSERT_TRUE(hostAccepts(version));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(version.data() + 3)), "VBZ 3.1.4");

    const Frame type = ask(vest, request(0x0A));
    ASSERT_TRUE(hostAccepts(type));
    EXPECT_EQ(vbz::readU32(type.data() + 3), 0x01100101u);

    vest.setDiscoverStatus(2);
    const Frame discover = ask(vest, request(0x10));
    ASSERT_TRUE(hostAccepts(discover));
    EXPECT_EQ(discover[3], 2);
    EXPECT_TRUE(hostAccepts(ask(vest, request(0x11))));
    EXPECT_TRUE(vest.bound());
    EXPECT_TRUE(hostAccepts(ask(vest, request(0x12))));
    EXPECT_FALSE(vest.bound());
    EXPECT_TRUE(vest.violations().empty());
}

TEST(VestModel, SerialFieldsRoundTripThroughTheHostsDecoding) {
    for (uint32_t s : {0u, 1u, 99u, 9099999u, 12345678u, 21030042u, 99999999u}) {
        VestModel vest(VestIdentity::withSerial(s));
        const Frame f = ask(vest, request(0x08));
        EXPECT_EQ(vbz::serialFromFields(f.data()), static_cast<int>(s));
    }
}

TEST(VestModel, MalformedHostFramesGetDeviceErrorsAndAreRecordedAsViolations) {
    VestModel vest;
    auto errorCodeOf = [&](const Frame& f) {
        const Frame reply = ask(vest, f);
        EXPECT_TRUE(hostAccepts(reply));
        EXPECT_EQ(reply.at(0), 0xFF);
        return static_cast<int8_t>(reply.at(3));
    };
    Frame badCrc = request(0x08);
    badCrc[3] ^= 1;
    EXPECT_EQ(errorCodeOf(badCrc), -1);
    EXPECT_EQ(errorCodeOf(makeFrame(0x0B, 5)), -2);
    EXPECT_EQ(errorCodeOf(Frame{0x09, 0xAD, 0xDE}), -4);
    Frame badSync = request(0x0A);
    badSync[2] = 0xDF;
    sealFrame(badSync);
    EXPECT_EQ(errorCodeOf(badSync), -3);
    vest.receive(nullptr, 0);
    EXPECT_FALSE(vest.nextFrame(Clock::now()));

    const auto problems = vest.violations();
    ASSERT_EQ(problems.size(), 5u);
    EXPECT_EQ(problems[0], "bad CRC in command 0x08");
    EXPECT_EQ(problems[1], "unknown command id 0x0B");
    EXPECT_EQ(problems[2], "command 0x09 of 3 bytes, expected 5");
    EXPECT_EQ(problems[3], "wrong sync word in command 0x0A");
    EXPECT_EQ(problems[4], "empty frame");
    EXPECT_EQ(vest.hostFrames().size(), 5u);
}

TEST(VestModel, FaultsChangeTheAnswersAsAsked) {
    VestModel vest;
    AnswerFault f;

    f.silent = true;
    vest.setFault(f);
    vest.receive(request(0x08).data(), 5);
    EXPECT_EQ(vest.pendingFrames(), 0u);

    f = {};
    f.replaceId = 0x8A;
    vest.setFault(f);
    Frame r = ask(vest, request(0x08));
    EXPECT_EQ(r[0], 0x8A);
    EXPECT_TRUE(hostAccepts(r));

    f = {};
    f.badCrc = true;
    vest.setFault(f);
    r = ask(vest, request(0x08));
    EXPECT_EQ(r[0], 0x88);
    EXPECT_FALSE(hostAccepts(r));

    f = {};
    f.wrongSync = true;
    vest.setFault(f);
    r = ask(vest, request(0x08));
    EXPECT_EQ(r[1], 0x00);
    EXPECT_EQ(r[2], 0x00);
    EXPECT_TRUE(hostAccepts(r));  // the host must take it

    f = {};
    f.deviceError = -7;
    vest.setFault(f);
    r = ask(vest, request(0x09));
    EXPECT_EQ(r[0], 0xFF);
    EXPECT_EQ(static_cast<int8_t>(r[3]), -7);

    f = {};
    f.noiseFrames = 7;
    vest.setFault(f);
    vest.receive(request(0x0A).data(), 5);
    std::set<uint8_t> noiseIds;
    for (int i = 0; i < 7; ++i) {
        auto n = vest.nextFrame(Clock::now());
        ASSERT_TRUE(n);
        EXPECT_TRUE(hostAccepts(*n));
        noiseIds.insert(n->at(0));
    }
    EXPECT_EQ(noiseIds, (std::set<uint8_t>{0x8B, 0x8C, 0x8D, 0x8E, 0x8F, 0xA0}));
    auto answer = vest.nextFrame(Clock::now());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->at(0), 0x8A);  // the answer comes after the noise
    vest.clearFaults();
    EXPECT_EQ(ask(vest, request(0x08))[0], 0x88);
}

TEST(VestModel, AnswersTwiceBackToBackOrTheSecondCopyLater) {
    VestModel vest;
    AnswerFault twice;
    twice.twice = true;
    vest.setFault(twice);
    vest.receive(request(0x08).data(), 5);
    EXPECT_EQ(vest.pendingFrames(), 2u);
    const auto first = vest.nextFrame(Clock::now());
    const auto second = vest.nextFrame(Clock::now());
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, *second);

    twice.twiceAfter = std::chrono::hours(1);
    vest.setFault(twice);
    vest.receive(request(0x08).data(), 5);
    EXPECT_EQ(vest.nextFrame(Clock::now()), first);
    EXPECT_FALSE(vest.nextFrame(Clock::now()));  // the copy is not due yet
    EXPECT_EQ(vest.pendingFrames(), 1u);
}

TEST(VestModel, CommandFaultsWinOverTheGeneralOneAndCanExpire) {
    VestModel vest;
    AnswerFault all;
    all.deviceError = -4;
    vest.setFault(all);
    AnswerFault once;
    once.replaceId = 0x8A;
    once.times = 1;
    vest.setFault(0x08, once);
    EXPECT_EQ(ask(vest, request(0x08))[0], 0x8A);
    EXPECT_EQ(ask(vest, request(0x08))[0], 0x88);  // expired, the command fault still wins
    EXPECT_EQ(ask(vest, request(0x09))[0], 0xFF);
}

TEST(VestModel, DelayedFramesComeInDueOrderAndWaitingEndsWhenOneArrives) {
    VestModel vest;
    AnswerFault late;
    late.delay = std::chrono::hours(1);
    vest.setFault(late);
    vest.receive(request(0x08).data(), 5);
    EXPECT_FALSE(vest.nextFrame(Clock::now()));
    EXPECT_EQ(vest.pendingFrames(), 1u);

    vest.sendUnsolicited(makeFrame(0xA0, 10), std::chrono::milliseconds(30));
    vest.sendUnsolicited(makeFrame(0x16, 13));
    auto first = vest.nextFrame(Clock::now() + std::chrono::seconds(30));
    auto second = vest.nextFrame(Clock::now() + std::chrono::seconds(30));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->at(0), 0x16);
    EXPECT_EQ(second->at(0), 0xA0);

    // A frame queued by another thread wakes a waiting reader.
    std::thread sender([&vest] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        vest.sendNoise(1);
    });
    auto woken = vest.nextFrame(Clock::now() + std::chrono::seconds(30));
    sender.join();
    ASSERT_TRUE(woken);
    EXPECT_EQ(woken->at(0), 0x8B);
}

TEST(VestModel, NewCommandsPlugInWithTheirLengthAndRecorderKeepsEveryFrame) {
    VestModel vest;
    int calls = 0;
    vest.addCommand(0x13, 5, [&calls](const Frame& in, VestModel::Replies& out) {
        ++calls;
        EXPECT_EQ(in.size(), 5u);
        out.send(makeFrame(0x93, 7, {0, 20}));
    });
    EXPECT_TRUE(vest.knowsCommand(0x13));
    const Frame info = ask(vest, request(0x13));
    EXPECT_TRUE(hostAccepts(info));
    EXPECT_EQ(info[4], 20);
    EXPECT_EQ(ask(vest, Frame{0x13, 0xAD, 0xDE, 0x00})[0], 0xFF);  // too short
    EXPECT_EQ(calls, 1);

    // Longer reports (padding) reach the handler cut to the command length.
    Frame padded = request(0x13);
    padded.resize(64, 0);
    EXPECT_EQ(ask(vest, padded)[0], 0x93);
    EXPECT_EQ(calls, 2);

    const auto frames = vest.hostFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_LE(frames[0].time, frames[1].time);
    EXPECT_LE(frames[1].time, frames[2].time);
    EXPECT_EQ(frames[2].bytes.size(), 64u);
    EXPECT_EQ(vest.countReceived(0x13), 3u);

    // A command may set off frames of the vest's own, which faults leave alone.
    vest.addCommand(0x14, 5, [](const Frame&, VestModel::Replies& out) {
        out.send(makeFrame(0x94, 6, {0}));
        out.sendUnsolicited(makeFrame(0x16, 13, {0, 0, 0, 0, 0xD4, 0x30}));
    });
    AnswerFault silent;
    silent.silent = true;
    vest.setFault(0x14, silent);
    EXPECT_EQ(ask(vest, request(0x14))[0], 0x16);
    EXPECT_EQ(vest.pendingFrames(), 0u);
    vest.clearRecord();
    EXPECT_TRUE(vest.hostFrames().empty());
}

TEST(StdioAdapter, ParsesHexFramesAndAnswersLineByLine) {
    EXPECT_EQ(parseHexFrame("08 AD DE ac 24"), (Frame{0x08, 0xAD, 0xDE, 0xAC, 0x24}));
    EXPECT_EQ(parseHexFrame("08adde:ac,24  # comment"), (Frame{0x08, 0xAD, 0xDE, 0xAC, 0x24}));
    EXPECT_EQ(parseHexFrame("# only a comment"), Frame{});
    EXPECT_FALSE(parseHexFrame("08 A DE"));
    EXPECT_FALSE(parseHexFrame("08 AD DX"));
    EXPECT_FALSE(parseHexFrame("08ADD"));
    EXPECT_EQ(hexFrame({0x08, 0xAD, 0x0F}), "08 AD 0F");

    VestModel vest(VestIdentity::withSerial(21030042));
    std::istringstream in("08 AD DE AC 24\nnot hex\n\n0A AD DE 00 00\n");
    std::ostringstream out;
    std::ostringstream err;
    StdioAdapter adapter(vest, in, out, err);
    EXPECT_EQ(adapter.run(std::chrono::milliseconds(0)), 1);
    const std::string serialAnswer = hexFrame(ask(vest, request(0x08)));
    EXPECT_EQ(out.str(), serialAnswer + "\nFF AD DE FF 76 18\n");
    EXPECT_EQ(err.str(), "line 2: not a frame in hexadecimal\n");
}

TEST(VestModel, ALimitedRecordKeepsTheLatestFramesButWholeCountsAndViolations) {
    VestModel vest;
    vest.setRecordLimit(3);
    Frame bad = request(0x08);
    bad.back() ^= 0x5A;  // bad CRC
    vest.receive(bad.data(), bad.size());
    for (int i = 0; i < 10; ++i) {
        const Frame f = request(i % 2 ? 0x09 : 0x08);
        vest.receive(f.data(), f.size());
    }
    const auto kept = vest.hostFrames();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept.back().bytes[0], 0x09);  // the latest
    EXPECT_EQ(vest.countReceived(0x08), 6u);
    EXPECT_EQ(vest.countReceived(0x09), 5u);
    ASSERT_EQ(vest.violations().size(), 1u);  // gone from the record, still reported
    vest.clearRecord();
    EXPECT_EQ(vest.countReceived(0x08), 0u);
    EXPECT_TRUE(vest.violations().empty());
}
