// The vest stream: routing of a connection over the transports, the
// identity exchange, scanning, and whole stream runs against the emulated
// vest, which checks and decodes every data frame. USB goes through the
// hidapi double; the other transport kinds are played by a transport that
// talks to an emulated vest directly. Nothing here touches the network.
#include "streaming/StreamHid.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "device/HidComBT.h"
#include "sdk/core/ErrorText.h"
#include "streaming/TesCore.h"
#include "tests/support/BtTestLink.h"
#include "tests/support/FakeSampleSource.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Watchdog.h"
#include "sdk/core/LogLine.h"
#include "tests/support/StreamPatterns.h"
#include "tests/streaming/stream/StreamChecks.h"
#include "tools/vest-emulator/StreamingVest.h"
#include "tools/vest-emulator/usb/UsbBus.h"

using namespace vbz;
using namespace std::chrono_literals;
using emu::StreamingOptions;
using emu::StreamingVest;
using emu::UsbBus;
using emu::VestModel;
using vbz_test::expectSamplesOfTheSource;
using vbz_test::FakeSampleSource;

namespace {

// A transport of any kind over an emulated vest, with no link in between.
class EmuTransport : public IHidCom {
public:
    EmuTransport(std::shared_ptr<VestModel> vest, vbz_output_t kind,
                 std::vector<std::string>* opens = nullptr)
        : vest_(std::move(vest)), kind_(kind), opens_(opens) {}
    int scan(std::vector<vbz_device_info_t>& devices, std::map<uint32_t, std::string>& addresses,
             std::vector<std::string>& texts) override {
        if (!vest_) return 0;
        const auto id = vest_->identity();
        const uint32_t serial = id.serialHigh * 1000000u + id.serialMiddle * 10000u + id.serialLow;
        appendDevice(devices, kind_, serial, VBZ_DEVICE_UNKNOWN);
        addresses.emplace(serial, "emu-" + std::to_string(kind_));
        texts.push_back(id.version);
        texts.push_back("emu-" + std::to_string(kind_));
        return 0;
    }
    int open(uint32_t, std::string address) override {
        if (opens_) opens_->push_back(address);
        if (!vest_) return -6;
        connected = true;
        return 0;
    }
    int close() override {
        if (!connected) return -3;
        connected = false;
        return 0;
    }
    int write(const uint8_t* frame, int length) override {
        if (!connected) return -3;
        vest_->receive(frame, static_cast<std::size_t>(length));
        return 0;
    }
    int read() override {
        if (!connected) return -3;
        auto f = vest_->nextFrame(emu::Clock::now() + 10ms);
        if (!f) return 0;
        const auto it = answerLengths.find((*f)[0]);
        if (it == answerLengths.end() || f->size() != it->second ||
            !checkCommandCrc16(f->data(), static_cast<uint16_t>(f->size())))
            return -10;
        std::copy(f->begin(), f->end(), receiveBuffer.begin());
        if (onRead) onRead(receiveBuffer.data());
        return static_cast<int>(it->second);
    }
    // Called with each frame read, before the stream sees it.
    std::function<void(const uint8_t*)> onRead;
private:
    std::shared_ptr<VestModel> vest_;
    vbz_output_t kind_;
    std::vector<std::string>* opens_;
};

std::vector<uint8_t> idsSent(const VestModel& vest) {
    std::vector<uint8_t> ids;
    for (const auto& f : vest.hostFrames())
        if (!f.bytes.empty()) ids.push_back(f.bytes[0]);
    return ids;
}

class StreamOverUsb : public ::testing::Test {
protected:
    void SetUp() override { UsbBus::instance().reset(); }
    void TearDown() override {
        stream.reset();
        UsbBus::instance().reset();
    }

    // Plugs a vest with a streaming side and makes the stream.
    void plug(StreamingOptions options = {}, uint32_t serial = 21030042) {
        vest = std::make_shared<VestModel>(emu::VestIdentity::withSerial(serial));
        streaming = std::make_unique<StreamingVest>(vest, options);
        UsbBus::instance().plug(vest);
        stream = std::make_unique<StreamHid>(&source, &mutex, nullptr);
    }

    // Runs the stream on a thread of its own until `until` holds (or 20 s
    // pass), then stops it; returns run's result.
    int runUntil(const std::function<bool()>& until) {
        auto result = std::async(std::launch::async, [this] { return stream->run(); });
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!until() && std::chrono::steady_clock::now() < deadline &&
               result.wait_for(5ms) != std::future_status::ready) {
        }
        stream->stop();
        return result.get();
    }

    std::mutex mutex;
    FakeSampleSource source;
    std::shared_ptr<VestModel> vest;
    std::unique_ptr<StreamingVest> streaming;
    std::unique_ptr<StreamHid> stream;
};

}  // namespace

TEST_F(StreamOverUsb, HandshakeWithSerialZeroAsksSerialVersionTypeAndStreamInfo) {
    plug();
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    EXPECT_EQ(idsSent(*vest), (std::vector<uint8_t>{0x08, 0x09, 0x0A, 0x13}));
    EXPECT_EQ(stream->getVibrenzaSerialNumber(), 21030042u);
    EXPECT_EQ(stream->getVibrenzaVersion(), "VBZ-EMU 1.4.2");
    EXPECT_EQ(stream->getVibrenzaType(), 0x0123FFFF);
    EXPECT_EQ(stream->getChannelCount(), 20u);
}

TEST_F(StreamOverUsb, HandshakeWithASerialKeepsItAndSkipsTheSerialQuestion) {
    plug({}, 21030042);
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 21030042), 0);
    // The one GetSerialNumber is the USB transport's own check of the vest.
    const auto ids = idsSent(*vest);
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(ids.begin() + 1, ids.end()),
              (std::vector<uint8_t>{0x09, 0x0A, 0x13}));
    EXPECT_EQ(stream->getVibrenzaSerialNumber(), 21030042u);
}

TEST_F(StreamOverUsb, StreamInfoRefusalsFailTheHandshake) {
    vbz_test::LogCapture log;
    StreamingOptions bad;
    bad.streamInfoStatus = -1;
    bad.channelCount = 24;
    plug(bad);
    EXPECT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), -6);
    EXPECT_EQ(stream->getChannelCount(), 24u);  // taken before the status is judged
    EXPECT_TRUE(log.has("StreamHid", "Device found but could not communicate properly with it.", 3));
    EXPECT_EQ(log.countContaining("HidCom", "invalid CRC"), 1);

    UsbBus::instance().reset();
    StreamingOptions none;
    none.channelCount = 0;
    plug(none);
    log.clear();
    EXPECT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), -6);
    EXPECT_EQ(log.count("StreamHid", "The vest reported no actuator channel to stream to.", 4), 1);
    EXPECT_EQ(UsbBus::instance().openHandles(), 0);
}

TEST_F(StreamOverUsb, FramesTheVestSendsOnItsOwnDoNotAnswerTheHandshake) {
    const emu::Frame boardStatus = emu::makeFrame(0xA0, 10, {1, 2, 3});
    const emu::Frame request = emu::makeFrame(0x16, 13, {0, 0, 0, 0, 0xD4, 0x30, 0, 0});
    for (const uint8_t command : {0x08, 0x09, 0x0A, 0x13}) {
        UsbBus::instance().reset();
        plug();
        emu::AnswerFault early;
        early.ownFramesFirst = {boardStatus, request, boardStatus};
        vest->setFault(command, early);
        EXPECT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0) << int(command);
        EXPECT_EQ(stream->getVibrenzaSerialNumber(), 21030042u);
        EXPECT_EQ(stream->getVibrenzaVersion(), "VBZ-EMU 1.4.2");
        EXPECT_EQ(stream->getChannelCount(), 20u);
    }
    // The answer of another command, or a device error, still decides.
    struct Case {
        const char* what;
        emu::AnswerFault fault;
    };
    emu::AnswerFault otherAnswer;
    otherAnswer.noiseFrames = 1;  // an 0x8B answer
    emu::AnswerFault deviceError;
    deviceError.deviceError = -4;
    for (const Case& c : {Case{"other answer", otherAnswer}, Case{"device error", deviceError}}) {
        UsbBus::instance().reset();
        plug();
        vest->setFault(0x09, c.fault);
        EXPECT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), -6) << c.what;
    }
}

TEST_F(StreamOverUsb, NoVestOnOutputTwoFailsWithoutOtherTransports) {
    vbz_test::LogCapture log;
    std::vector<vbz_output_t> tried;
    StreamHid s(&source, &mutex, nullptr, [&](vbz_output_t kind) {
        tried.push_back(kind);
        return StreamHid::makeTransport(kind);
    });
    EXPECT_EQ(s.connect(VBZ_OUTPUT_USB, 0), -6);
    EXPECT_EQ(tried, std::vector<vbz_output_t>{VBZ_OUTPUT_USB});
    EXPECT_EQ(s.run(), -3);  // nothing to stream to
}

TEST_F(StreamOverUsb, ContiguousRequestsAreAnsweredWithTheSourcesSamplesAndEchoedTimeStamps) {
    plug();  // real-time pacing, 12.5 ms per request
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(runUntil([&] { return streaming->stats().answered >= 20; }), 0);

    EXPECT_TRUE(streaming->problems().empty()) << streaming->problems().front();
    EXPECT_TRUE(vest->violations().empty());
    EXPECT_TRUE(streaming->stoppedByHost());
    const auto blocks = streaming->blocks();
    ASSERT_GE(blocks.size(), 20u);
    uint32_t expectedStamp = 0;
    for (const auto& b : blocks) {
        EXPECT_EQ(b.timestampUs, expectedStamp);
        expectedStamp += b.durationUs;
        if (b.answered) {
            EXPECT_EQ(b.encoding, 0x0F);
        }
    }
    expectSamplesOfTheSource(blocks, 20);
    // Contiguous requests need no fast-forward: one render per answer.
    std::size_t answered = 0;
    for (const auto& b : blocks) answered += b.answered;
    EXPECT_EQ(source.renders.size(), answered);

    // StartStream left no earlier than half a second after the run began.
    for (const auto& f : vest->hostFrames())
        if (f.bytes[0] == 0x14) {
            EXPECT_GE(f.time - begun, 500ms);
        }
    EXPECT_EQ(idsSent(*vest).back(), 0x15);
}

TEST_F(StreamOverUsb, EveryEncodingEndToEndWithTwentyFourChannels) {
    StreamingOptions o;
    o.pacing = StreamingOptions::Pacing::Lockstep;
    o.channelCount = 24;
    o.durationsUs = {0, 500, 10416, 10417, 20833, 20834, 41666, 41667, 83333, 83334, 166666, 300000};
    plug(o);
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    EXPECT_EQ(runUntil([&] { return streaming->stats().answered >= 36; }), 0);
    EXPECT_TRUE(streaming->problems().empty()) << streaming->problems().front();
    EXPECT_TRUE(vest->violations().empty());
    std::set<uint8_t> encodings;
    for (const auto& b : streaming->blocks())
        if (b.answered) encodings.insert(b.encoding);
    EXPECT_EQ(encodings, (std::set<uint8_t>{0x0F, 0x0E, 0x0D, 0x09, 0x05}));
    expectSamplesOfTheSource(streaming->blocks(), 24, true);
}

TEST_F(StreamOverUsb, GapsInTheTimeStampsAreFastForwardedInPieces) {
    vbz_test::LogCapture log;
    StreamingOptions o;
    o.pacing = StreamingOptions::Pacing::Lockstep;
    o.jumpsBefore = {{3, 5000}, {6, 3000000}};
    o.dropEvery = 10;
    plug(o);
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    EXPECT_EQ(runUntil([&] { return streaming->stats().answered >= 25; }), 0);
    EXPECT_TRUE(streaming->problems().empty()) << streaming->problems().front();
    // 5000 us ahead: ten samples at 2000 Hz rendered and dropped before the
    // requested block (three 25-sample blocks came first).
    ASSERT_GE(source.renders.size(), 6u);
    EXPECT_EQ(source.renders[3].rate, 2000.0);
    EXPECT_EQ(source.renders[3].samples, 10u);
    EXPECT_EQ(source.renders[4].samples, 25u);
    // Three seconds ahead: 6000 samples, in pieces of at most 1000.
    unsigned skipped = 0;
    for (std::size_t i = 7; i < source.renders.size() && source.renders[i].samples != 25; ++i) {
        EXPECT_LE(source.renders[i].samples, 1000u);
        skipped += source.renders[i].samples;
    }
    EXPECT_EQ(skipped, 6000u);
    EXPECT_GE(log.countContaining("StreamHid", "FASTFORWARD:"), 3);  // with the dropped ones
    // And the samples still line up with the vest's time stamps.
    expectSamplesOfTheSource(streaming->blocks(), 20);
}

TEST_F(StreamOverUsb, ARequestThatOvertakesTheStartAnswerIsAnsweredFirst) {
    StreamingOptions o;
    o.pacing = StreamingOptions::Pacing::Lockstep;  // the first request follows the start at once
    plug(o);
    emu::AnswerFault late;
    late.delay = 30ms;
    vest->setFault(0x14, late);
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    EXPECT_EQ(runUntil([&] { return streaming->stats().answered >= 5; }), 0);
    EXPECT_TRUE(streaming->problems().empty()) << streaming->problems().front();
    const auto blocks = streaming->blocks();
    ASSERT_GE(blocks.size(), 5u);
    EXPECT_EQ(blocks.front().timestampUs, 0u);
    expectSamplesOfTheSource(blocks, 20);
}

TEST_F(StreamOverUsb, AVestThatOnlySendsItsOwnFramesStillTimesOut) {
    vbz_test::LogCapture log;
    plug();
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    emu::AnswerFault silent;
    silent.silent = true;
    vest->setFault(0x14, silent);  // StartStream is never answered...
    std::atomic<bool> running{true};
    std::atomic<bool> floodOver{false};
    std::thread flood([&] {  // ...while requests keep coming
        const auto guard = std::chrono::steady_clock::now() + 20s;
        while (running && std::chrono::steady_clock::now() < guard) {
            vest->sendUnsolicited(emu::makeFrame(0x16, 13, {0, 0, 0, 0, 0xD4, 0x30, 0, 0}));
            std::this_thread::sleep_for(1ms);
        }
        floodOver = true;
    });
    const int result = stream->run();
    const bool endedDuringTheFlood = !floodOver;
    running = false;
    flood.join();
    EXPECT_EQ(result, -6);
    EXPECT_TRUE(endedDuringTheFlood);
    EXPECT_TRUE(log.has("StreamHid", "Could not start stream: " + errorText(-6), 4));
}

TEST_F(StreamOverUsb, AStopAskedDuringAHugeFastForwardEndsItBetweenPieces) {
    StreamingOptions o;
    o.pacing = StreamingOptions::Pacing::Lockstep;
    o.jumpsBefore = {{2, 0x7FFF0000u}};  // 35.8 minutes ahead: 4294 pieces of 1000 samples
    plug(o);
    source.renderPause = 1ms;
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    // Two requested blocks, then the fast-forward has begun.
    EXPECT_EQ(runUntil([&] { return source.renderCount.load() >= 5; }), 0);
    unsigned pieces = 0;
    for (const auto& r : source.renders) pieces += r.rate == 2000.0 && r.samples == 1000u;
    EXPECT_GE(pieces, 1u);
    // Without the check between pieces all 4294 are rendered before the stop
    // is seen; with it the stop lands a few pieces later (more on a slow,
    // loaded or sanitized run, hence the wide margin).
    EXPECT_LT(pieces, 2000u);
    EXPECT_TRUE(streaming->stoppedByHost());
}

TEST_F(StreamOverUsb, ASourceThatDoesNotPlayIsNotFastForwarded) {
    StreamingOptions o;
    o.pacing = StreamingOptions::Pacing::Lockstep;
    o.jumpsBefore = {{2, 50000}};
    plug(o);
    source.playing = false;
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    EXPECT_EQ(runUntil([&] { return streaming->stats().answered >= 5; }), 0);
    for (const auto& r : source.renders) EXPECT_EQ(r.samples, 25u);
}

TEST_F(StreamOverUsb, TheVestsStopIsAnsweredThenTheHostStopsAndCloses) {
    StreamingOptions o;
    o.pacing = StreamingOptions::Pacing::Lockstep;
    o.stopAfter = 3;
    plug(o);
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    auto result = std::async(std::launch::async, [this] { return stream->run(); });
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);  // no stop() needed
    EXPECT_EQ(result.get(), 0);
    EXPECT_TRUE(streaming->vestStopAcknowledged());
    EXPECT_TRUE(streaming->stoppedByHost());
    const auto ids = idsSent(*vest);
    ASSERT_GE(ids.size(), 2u);
    EXPECT_EQ(ids[ids.size() - 2], 0x95);
    EXPECT_EQ(ids.back(), 0x15);
    EXPECT_TRUE(vest->violations().empty());
    EXPECT_EQ(stream->reset(), 0);
    EXPECT_EQ(stream->getChannelCount(), 0u);
    EXPECT_EQ(stream->getStreamClock(), 0u);
}

TEST_F(StreamOverUsb, SilenceEndsTheRunAfterTheTimeOutAndUnknownFramesDoNotPutItOff) {
    vbz_test::LogCapture log;
    StreamingOptions o;
    o.silentAfter = 1;
    plug(o);
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    std::atomic<bool> done{false};
    auto result = std::async(std::launch::async, [this] { return stream->run(); });
    ASSERT_TRUE(streaming->waitAnswered(1, emu::Clock::now() + 10s));
    std::thread noise([&] {
        while (!done) {
            vest->sendNoise(1);
            std::this_thread::sleep_for(200ms);
        }
    });
    // Never stopped by hand unless the time-out fails to come (then the
    // expectation below fails instead of the test hanging).
    const bool ended = result.wait_for(30s) == std::future_status::ready;
    done = true;
    noise.join();
    if (!ended) stream->stop();
    EXPECT_TRUE(ended);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(log.count("StreamHid", "Stream timeout: now exiting ", 4), 1);
    EXPECT_GE(log.count("StreamHid", "Unknown command received from Vibrenza.", 4), 1);
    EXPECT_TRUE(streaming->stoppedByHost());
}

TEST_F(StreamOverUsb, AFailedStartOrDataWriteEndsTheRunWithItsCode) {
    vbz_test::LogCapture log;
    plug();
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    UsbBus::instance().failNextWrites(1);  // the StartStream frame
    EXPECT_EQ(stream->run(), -6);
    EXPECT_TRUE(log.has("StreamHid", "Could not start stream: " + errorText(-6), 4));
    EXPECT_EQ(vest->countReceived(0x15), 0u);  // nothing else was sent

    stream->reset();
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    auto result = std::async(std::launch::async, [this] { return stream->run(); });
    ASSERT_TRUE(streaming->waitAnswered(2, emu::Clock::now() + 10s));
    UsbBus::instance().failNextWrites(1);
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(result.get(), -6);
    EXPECT_EQ(log.countContaining("StreamHid", "Could not send data to stream: "), 1);
}

TEST_F(StreamOverUsb, TheFinalStopWaitsPastRequestsAlreadyOnTheirWay) {
    StreamingOptions o;
    o.pacing = StreamingOptions::Pacing::Lockstep;
    plug(o);
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    auto result = std::async(std::launch::async, [this] { return stream->run(); });
    ASSERT_TRUE(streaming->waitAnswered(3, emu::Clock::now() + 10s));
    // From now on the vest's answer to StopStream comes after one more request.
    vest->addCommand(0x15, 5, [](const emu::Frame&, VestModel::Replies& r) {
        r.send(emu::makeFrame(0x95, 6, {0}));
        r.sendUnsolicited(emu::makeFrame(0x16, 13, {0x40, 0x42, 0x0F, 0, 0xD4, 0x30, 0, 0}));
    });
    emu::AnswerFault late;
    late.delay = 30ms;
    vest->setFault(0x15, late);
    stream->stop();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(vest->pendingFrames(), 0u);  // the answer was taken, not left for the close
}

TEST_F(StreamOverUsb, ALinkLostMidStreamEndsAtTheTimeOutWithADisconnectionIssue) {
    vbz_test::LogCapture log;
    plug();
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    auto result = std::async(std::launch::async, [this] { return stream->run(); });
    ASSERT_TRUE(streaming->waitAnswered(2, emu::Clock::now() + 10s));
    UsbBus::instance().failNextReads(1);  // the transport drops the link
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(result.get(), -6);
    EXPECT_EQ(log.count("StreamHid", "Stream timeout: now exiting ", 4), 1);
    EXPECT_EQ(log.count("StreamHid", "Disconnection issue detected: " + errorText(-3), 4), 1);
}

TEST(StreamRouting, EachOutputTriesItsTransportsInOrder) {
    std::mutex m;
    FakeSampleSource src;
    const std::pair<vbz_output_t, std::vector<vbz_output_t>> cases[] = {
        {VBZ_OUTPUT_ANY, {VBZ_OUTPUT_USB, VBZ_OUTPUT_WIFI, VBZ_OUTPUT_BLUETOOTH}},
        {VBZ_OUTPUT_USB, {VBZ_OUTPUT_USB}},
        {VBZ_OUTPUT_WIFI, {VBZ_OUTPUT_WIFI}},
        {VBZ_OUTPUT_BLUETOOTH, {VBZ_OUTPUT_BLUETOOTH}},
    };
    for (const auto& [output, order] : cases) {
        std::vector<vbz_output_t> tried;
        StreamHid s(&src, &m, nullptr, [&](vbz_output_t kind) {
            tried.push_back(kind);
            return std::make_unique<EmuTransport>(nullptr, kind);  // nobody there
        });
        EXPECT_EQ(s.connect(output, 0), -6);
        EXPECT_EQ(tried, order) << "output " << output;
    }
}

TEST(StreamRouting, AVestThatCannotTalkIsLeftForTheNextTransport) {
    vbz_test::LogCapture log;
    std::mutex m;
    FakeSampleSource src;
    auto mute = std::make_shared<VestModel>();
    emu::AnswerFault silent;
    silent.silent = true;
    mute->setFault(0x09, silent);
    auto good = std::make_shared<VestModel>(emu::VestIdentity::withSerial(12345678));
    StreamingVest goodStreaming(good);
    StreamHid s(&src, &m, nullptr, [&](vbz_output_t kind) -> std::unique_ptr<IHidCom> {
        return std::make_unique<EmuTransport>(kind == VBZ_OUTPUT_USB ? mute : good, kind);
    });
    EXPECT_EQ(s.connect(VBZ_OUTPUT_ANY, 0), 0);
    EXPECT_EQ(log.count("StreamHid", "Device found but could not communicate properly with it.", 3), 1);
    EXPECT_EQ(s.getVibrenzaSerialNumber(), 12345678u);
    EXPECT_EQ(good->countReceived(0x13), 1u);
}

TEST(StreamRouting, ScanLinksTheRecordsOfEveryTransportInOrder) {
    vbz_test::LogCapture log;
    std::mutex m;
    FakeSampleSource src;
    auto usbVest = std::make_shared<VestModel>(emu::VestIdentity::withSerial(11000001));
    auto btVest = std::make_shared<VestModel>(emu::VestIdentity::withSerial(22000002));
    btVest->setIdentity([&] {
        auto id = btVest->identity();
        id.version = "BT-EMU 2.0";
        return id;
    }());
    std::vector<std::string> opens;
    StreamHid s(&src, &m, nullptr, [&](vbz_output_t kind) -> std::unique_ptr<IHidCom> {
        return std::make_unique<EmuTransport>(
            kind == VBZ_OUTPUT_USB ? usbVest : kind == VBZ_OUTPUT_BLUETOOTH ? btVest : nullptr,
            kind, &opens);
    });
    EXPECT_EQ(s.getFirstScannedDevice(), nullptr);
    EXPECT_EQ(log.count("StreamHid", "Cannot get scanned devices: no Vibrenza device found.", 3), 1);

    EXPECT_EQ(s.scanDevices(VBZ_OUTPUT_ANY), 0);
    vbz_device_info_t* first = s.getFirstScannedDevice();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->outputType, VBZ_OUTPUT_USB);
    EXPECT_EQ(first->serialNumber, 11000001u);
    EXPECT_STREQ(first->deviceVersion, "VBZ-EMU 1.4.2");
    ASSERT_NE(first->next, nullptr);
    EXPECT_EQ(first->next->outputType, VBZ_OUTPUT_BLUETOOTH);
    EXPECT_STREQ(first->next->deviceVersion, "BT-EMU 2.0");
    EXPECT_EQ(first->next->next, nullptr);

    // A later connection hands the scanned address to that transport.
    EXPECT_EQ(s.connect(VBZ_OUTPUT_BLUETOOTH, 22000002), -6);  // no streaming side on it
    EXPECT_EQ(opens, std::vector<std::string>{"emu-1"});

    EXPECT_EQ(s.scanDevices(VBZ_OUTPUT_WIFI), 0);
    EXPECT_EQ(s.getFirstScannedDevice(), nullptr);
}

// A stop that lands while a request is being read, in the stream's thread
// before its fast-forward: no piece is rendered and the source stays behind
// the request's time stamp. Answering would hand the vest samples of an
// earlier time under that stamp; the request is left unanswered instead.
TEST(StreamFastForward, AStopBeforeTheSourceCaughtUpLeavesTheRequestUnanswered) {
    std::mutex m;
    FakeSampleSource src;
    auto vest = std::make_shared<VestModel>();
    StreamingOptions o;
    o.pacing = StreamingOptions::Pacing::Lockstep;
    o.jumpsBefore = {{3, 5000}};  // ten samples at 2000 Hz to skip first
    StreamingVest streaming(vest, o);
    constexpr uint32_t kJumped = 3 * 12500 + 5000;
    StreamHid* stream = nullptr;
    StreamHid s(&src, &m, nullptr, [&](vbz_output_t kind) -> std::unique_ptr<IHidCom> {
        auto t = std::make_unique<EmuTransport>(vest, kind);
        t->onRead = [&](const uint8_t* frame) {
            if (frame[0] == 0x16 && readU32(frame + 3) == kJumped) stream->stop();
        };
        return t;
    });
    stream = &s;
    ASSERT_EQ(s.connect(VBZ_OUTPUT_USB, 0), 0);
    EXPECT_EQ(s.run(), 0);
    EXPECT_TRUE(streaming.problems().empty()) << streaming.problems().front();
    EXPECT_TRUE(streaming.stoppedByHost());
    const auto blocks = streaming.blocks();
    expectSamplesOfTheSource(blocks, 20);
    ASSERT_GE(blocks.size(), 4u);
    EXPECT_EQ(blocks[3].timestampUs, kJumped);
    EXPECT_FALSE(blocks[3].answered);
    EXPECT_EQ(blocks.size(), 4u);  // and so the vest asked for nothing more
}

TEST(StreamOverBluetooth, StreamsToAVestBehindTheLinkFoundByScanning) {
    constexpr const char* kAddress = "00:11:22:33:44:55";
    auto link = std::make_shared<vbz_test::BtTestLink>();
    auto vest = link->addVest(kAddress, emu::VestIdentity::withSerial(31000001));
    link->list(kAddress, "VIBRENZA 7");
    StreamingVest streaming(vest);
    std::mutex m;
    FakeSampleSource src;
    UsbBus::instance().reset();  // no USB vest: output 0 moves on to Bluetooth
    StreamHid s(&src, &m, nullptr, [&](vbz_output_t kind) -> std::unique_ptr<IHidCom> {
        if (kind == VBZ_OUTPUT_BLUETOOTH)
            return std::make_unique<HidComBT>(link, HidComBT::Timing{0ms, 1500ms});
        if (kind == VBZ_OUTPUT_USB) return StreamHid::makeTransport(kind);
        return nullptr;  // never the network here
    });
    ASSERT_EQ(s.scanDevices(VBZ_OUTPUT_ANY), 0);
    ASSERT_NE(s.getFirstScannedDevice(), nullptr);
    EXPECT_EQ(s.getFirstScannedDevice()->outputType, VBZ_OUTPUT_BLUETOOTH);
    ASSERT_EQ(s.connect(VBZ_OUTPUT_ANY, 31000001), 0);
    EXPECT_EQ(link->connections().back(), kAddress);

    auto result = std::async(std::launch::async, [&] { return s.run(); });
    EXPECT_TRUE(streaming.waitAnswered(20, emu::Clock::now() + 20s));
    s.stop();
    EXPECT_EQ(result.get(), 0);
    EXPECT_TRUE(streaming.problems().empty()) << streaming.problems().front();
    EXPECT_TRUE(vest->violations().empty());
    EXPECT_TRUE(streaming.stoppedByHost());
    expectSamplesOfTheSource(streaming.blocks(), 20);
}

TEST_F(StreamOverUsb, TheEnginesEffectReachesTheVest) {
    StreamingOptions o;
    o.durationsUs = {12500, 25000, 50000};
    o.periodScale = 0.2;  // requests come faster than real time
    plug(o);
    TesCore engine(tsr::makeDefaultLayout(), 48000.0, 512);
    {
        auto& core = engine.core();
        const int pattern = core.pattern_load_from_vpt(vbz_test::endlessPattern(*core.layout_get()), -1);
        ASSERT_GE(pattern, 0);
        ASSERT_EQ(core.sequence_play(core.sequence_new(pattern, false, -1), 0.0, 0.0), 0);
    }
    stream = std::make_unique<StreamHid>(&engine, &mutex, nullptr);
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    EXPECT_EQ(runUntil([&] { return streaming->stats().answered >= 30; }), 0);
    stream.reset();  // before the engine it renders from
    EXPECT_TRUE(streaming->problems().empty()) << streaming->problems().front();
    double energy = 0.0;
    for (const auto& channel : streaming->signals())
        for (float v : channel) energy += static_cast<double>(v) * v;
    EXPECT_GT(energy, 0.0);
}

namespace {
std::mutex* sinkMutex = nullptr;
std::atomic<int> renderWarnings{0};

// An application's log callback that calls the SDK, which takes the handler
// mutex: a line written during a render must reach it after the render.
void sinkTakingTheHandlerMutex(int, const char*, const char* text) {
    std::lock_guard<std::mutex> lock(*sinkMutex);
    if (std::string(text) == "render warning") ++renderWarnings;
}

class WarningSource : public FakeSampleSource {
public:
    void render() override {
        vbz::LogLine(3, "Test") << "render warning";
        FakeSampleSource::render();
    }
};
}  // namespace

TEST_F(StreamOverUsb, AWarningOfARenderReachesALogCallbackThatTakesTheHandlerMutex) {
    sinkMutex = &mutex;
    vbz::setLogCallback(&sinkTakingTheHandlerMutex);
    vbz::setMinLogLevel(0);
    StreamingOptions o;
    o.periodScale = 0.2;
    plug(o);
    WarningSource warning;
    stream = std::make_unique<StreamHid>(&warning, &mutex, nullptr);
    ASSERT_EQ(stream->connect(VBZ_OUTPUT_USB, 0), 0);
    vbz_test::mustReturnWithin(
        std::chrono::seconds(30), [&] { EXPECT_EQ(runUntil([&] { return renderWarnings >= 5; }), 0); },
        "a stream whose renders warn");
    stream.reset();
    vbz::setLogCallback(nullptr);
    EXPECT_GE(renderWarnings.load(), 5);
}
