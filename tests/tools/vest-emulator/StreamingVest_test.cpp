// The streaming side of the emulated vest: the requests it sends, and how it
// checks and decodes the host's StreamData frames (built here by hand, so
// that each fault the vest must catch can be made on purpose).
#include "tools/vest-emulator/StreamingVest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

using namespace vbz::emu;
using namespace std::chrono_literals;

namespace {
uint32_t u32(const Frame& f, std::size_t at) {
    return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) | (static_cast<uint32_t>(f[at + 3]) << 24);
}

void send(VestModel& vest, const Frame& f) { vest.receive(f.data(), f.size()); }

// The vest's next frame with this id, skipping the others.
Frame next(VestModel& vest, uint8_t id) {
    while (auto f = vest.nextFrame(Clock::now() + 2s))
        if ((*f)[0] == id) return *f;
    return {};
}

// A StreamData frame: payload bytes as given, the rest 0.
Frame dataFrame(uint32_t ts, uint8_t encoding, uint16_t samples, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> body{encoding};
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<uint8_t>(ts >> (8 * i)));
    body.push_back(static_cast<uint8_t>(samples));
    body.push_back(static_cast<uint8_t>(samples >> 8));
    body.insert(body.end(), bytes.begin(), bytes.end());
    return makeFrame(0x96, 1012, body);
}

StreamingOptions lockstep(uint8_t channels = 2) {
    StreamingOptions o;
    o.pacing = StreamingOptions::Pacing::Lockstep;
    o.channelCount = channels;
    return o;
}
}  // namespace

TEST(StreamingVest, ExpectedEncodingFollowsTheCapacitiesOfTheChannelCount) {
    const std::tuple<uint32_t, uint8_t, unsigned> rows[] = {
        {0, 0x0F, 0},       {12500, 0x0F, 25},  {12501, 0x0E, 25}, {25001, 0x0D, 50},
        {50001, 0x09, 50},  {100001, 0x05, 50}, {300000, 0x05, 100}};
    for (auto [d, enc, n] : rows) {
        EXPECT_EQ(expectedEncoding(d, 20).encoding, enc) << d;
        EXPECT_EQ(expectedEncoding(d, 20).samples, n) << d;
    }
    // 24 channels: 83 samples at 4 bits would not fit.
    EXPECT_EQ(expectedEncoding(41666, 24).samples, 82u);
}

TEST(StreamingVest, AnswersTheStreamCommandsAndChecksEveryDataFrame) {
    auto vest = std::make_shared<VestModel>();
    StreamingOptions o = lockstep(2);
    o.durationsUs = {1000, 2000};  // 2 and 4 samples at 16 bits
    StreamingVest streaming(vest, o);

    send(*vest, makeFrame(0x13, 5));
    const Frame info = next(*vest, 0x93);
    ASSERT_EQ(info.size(), 7u);
    EXPECT_EQ(info[3], 0);
    EXPECT_EQ(info[4], 2);

    send(*vest, makeFrame(0x14, 5));
    EXPECT_EQ(next(*vest, 0x94).size(), 6u);
    Frame req = next(*vest, 0x16);
    ASSERT_EQ(req.size(), 13u);
    EXPECT_EQ(u32(req, 3), 0u);
    EXPECT_EQ(u32(req, 7), 1000u);

    // Two samples of two channels: (1.0, -1.0), (0.5, 0).
    send(*vest, dataFrame(0, 0x0F, 2, {0xFF, 0x7F, 0x00, 0x80, 0x00, 0x40, 0x00, 0x00}));
    req = next(*vest, 0x16);
    EXPECT_EQ(u32(req, 3), 1000u);  // contiguous: 0 + 1000
    EXPECT_EQ(u32(req, 7), 2000u);
    ASSERT_TRUE(streaming.problems().empty()) << streaming.problems().front();
    auto blocks = streaming.blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].values, (std::vector<float>{32767.0f / 32768, -1.0f, 0.5f, 0.0f}));
    const auto signals = streaming.signals();
    ASSERT_EQ(signals.size(), 2u);
    EXPECT_EQ(signals[1], (std::vector<float>{-1.0f, 0.0f}));

    // Wrong encoding, wrong count, a time stamp nobody asked for, too much payload.
    send(*vest, dataFrame(1000, 0x0E, 3, {}));
    send(*vest, dataFrame(777, 0x0F, 4, {}));
    const auto problems = streaming.problems();
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_NE(problems[0].find("encoding byte 0x0E, expected 0x0F"), std::string::npos);
    EXPECT_NE(problems[1].find("sample count 3, expected 4"), std::string::npos);
    EXPECT_NE(problems[2].find("time stamp 777"), std::string::npos);
    req = next(*vest, 0x16);
    send(*vest, dataFrame(u32(req, 3), 0x0F, 600, {}));
    EXPECT_NE(streaming.problems().back().find("payload of 2400 bytes"), std::string::npos);

    // A corrupt or short frame is refused by the vest before any decoding.
    Frame bad = dataFrame(u32(req, 3), 0x0F, 2, {});
    bad[500] ^= 1;
    send(*vest, bad);
    send(*vest, makeFrame(0x96, 600));
    const auto violations = vest->violations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0], "bad CRC in command 0x96");
    EXPECT_EQ(violations[1], "command 0x96 of 600 bytes, expected 1012");

    send(*vest, makeFrame(0x15, 5));
    EXPECT_EQ(next(*vest, 0x95).size(), 6u);
    EXPECT_TRUE(streaming.stoppedByHost());
    send(*vest, dataFrame(0, 0x0F, 0, {}));
    EXPECT_NE(streaming.problems().back().find("no outstanding request"), std::string::npos);
}

TEST(StreamingVest, DropsJumpsStopAndSilenceShapeTheRequests) {
    auto vest = std::make_shared<VestModel>();
    StreamingOptions o = lockstep(1);
    o.durationsUs = {500};
    o.dropEvery = 3;            // requests 2, 5 are lost
    o.jumpsBefore = {{4, 10000}};
    o.stopAfter = 6;
    StreamingVest streaming(vest, o);
    send(*vest, makeFrame(0x14, 5));
    std::vector<uint32_t> stamps;
    for (;;) {
        auto f = vest->nextFrame(Clock::now() + 1s);
        ASSERT_TRUE(f);
        if ((*f)[0] == 0x94) continue;
        if ((*f)[0] == 0x15) break;  // the vest stops the stream itself
        ASSERT_EQ((*f)[0], 0x16);
        stamps.push_back(u32(*f, 3));
        send(*vest, dataFrame(u32(*f, 3), 0x0F, 1, {0, 0}));
    }
    EXPECT_EQ(stamps, (std::vector<uint32_t>{0, 500, 1500, 12000}));
    EXPECT_FALSE(streaming.vestStopAcknowledged());
    send(*vest, makeFrame(0x95, 6));
    EXPECT_TRUE(streaming.vestStopAcknowledged());
    EXPECT_TRUE(streaming.problems().empty()) << streaming.problems().front();

    // Silence: after two requests nothing more comes.
    auto quiet = std::make_shared<VestModel>();
    StreamingOptions q = lockstep(1);
    q.silentAfter = 2;
    StreamingVest silent(quiet, q);
    send(*quiet, makeFrame(0x14, 5));
    int requests = 0;
    while (auto f = quiet->nextFrame(Clock::now() + 100ms)) {
        if ((*f)[0] != 0x16) continue;
        ++requests;
        send(*quiet, dataFrame(u32(*f, 3), 0x0F, 25, std::vector<uint8_t>(50, 0)));
    }
    EXPECT_EQ(requests, 2);
}

TEST(StreamingVest, RealTimePacingSendsContiguousRequestsUntilTheHostStops) {
    auto vest = std::make_shared<VestModel>();
    StreamingOptions o;
    o.channelCount = 1;
    o.durationsUs = {2000};
    o.jitter = 500us;
    StreamingVest streaming(vest, o);
    send(*vest, makeFrame(0x14, 5));
    uint32_t expected = 0;
    for (int i = 0; i < 10; ++i) {
        const Frame req = next(*vest, 0x16);
        ASSERT_EQ(req.size(), 13u);
        EXPECT_EQ(u32(req, 3), expected);
        expected += 2000;
        send(*vest, dataFrame(u32(req, 3), 0x0F, 4, std::vector<uint8_t>(8, 0)));
    }
    send(*vest, makeFrame(0x15, 5));
    EXPECT_FALSE(streaming.streaming());
    const auto stats = streaming.stats();
    EXPECT_GE(stats.answered, 10u);
    EXPECT_LE(stats.p50, stats.p99);
    EXPECT_LE(stats.p99, stats.max);
    EXPECT_TRUE(streaming.problems().empty()) << streaming.problems().front();
}

TEST(StreamingVest, LowerRatesAreHeldOnTheTimeLineAndWrittenToAWavFile) {
    auto vest = std::make_shared<VestModel>();
    StreamingOptions o = lockstep(2);
    o.durationsUs = {1000001};  // two channels: 500 Hz at 4 bits
    StreamingVest streaming(vest, o);
    send(*vest, makeFrame(0x14, 5));
    const Frame req = next(*vest, 0x16);
    const auto want = expectedEncoding(1000001, 2);
    ASSERT_EQ(want.encoding, 0x05);
    ASSERT_EQ(want.samples, 500u);
    // Channel 0: codes 7, -7; channel 1: 0, 1 — in every pair.
    send(*vest, dataFrame(u32(req, 3), 0x05, 500, [] {
             std::vector<uint8_t> p;
             for (int i = 0; i < 250; ++i) p.insert(p.end(), {0x79, 0x01});
             return p;
         }()));
    ASSERT_TRUE(streaming.problems().empty()) << streaming.problems().front();
    const auto signals = streaming.signals();
    ASSERT_EQ(signals[0].size(), 2000u);  // 500 samples, four times each
    const float full = decodedValue(1, 7);
    EXPECT_EQ(std::vector<float>(signals[0].begin(), signals[0].begin() + 8),
              (std::vector<float>{full, full, full, full, -full, -full, -full, -full}));
    EXPECT_EQ(signals[1][4], decodedValue(1, 1));

    const std::string path = ::testing::TempDir() + "vest-signals.wav";
    ASSERT_TRUE(writeWav(path, signals, 2000));
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> wav((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(wav.size(), 44u + 2000u * 2u * 2u);
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(wav[22], 2);                  // channels
    EXPECT_EQ(u32(Frame(wav.begin(), wav.begin() + 44), 24), 2000u);  // rate
    EXPECT_EQ(wav[44] | (wav[45] << 8), static_cast<int>(std::lrint(full * 32767.0f)));
    std::remove(path.c_str());
    EXPECT_FALSE(writeWav("/nonexistent-dir/x.wav", signals, 2000));
}

TEST(StreamingVest, ALongRunKeepsOnlyTheLatestBlocksAndNoSignalWhenAskedTo) {
    struct Case {
        bool keepSignals;
        std::size_t history;
    };
    for (const Case c : {Case{false, 8}, Case{true, 0}}) {
        auto vest = std::make_shared<VestModel>();
        StreamingOptions o = lockstep(2);
        o.durationsUs = {1000};  // two 16-bit samples per request
        o.keepSignals = c.keepSignals;
        o.blockHistory = c.history;
        StreamingVest streaming(vest, o);
        send(*vest, makeFrame(0x14, 5));
        ASSERT_EQ(next(*vest, 0x94).size(), 6u);
        constexpr std::size_t kRequests = 50;
        for (std::size_t i = 0; i < kRequests; ++i) {
            const Frame req = next(*vest, 0x16);
            ASSERT_EQ(req.size(), 13u);
            send(*vest, dataFrame(u32(req, 3), 0x0F, 2, {0x00, 0x40, 0x00, 0x40, 0, 0, 0, 0}));
        }
        EXPECT_TRUE(streaming.problems().empty()) << streaming.problems().front();
        const auto stats = streaming.stats();
        EXPECT_EQ(stats.requests, kRequests + 1);  // the next one is out already
        EXPECT_EQ(stats.answered, kRequests);
        EXPECT_GT(stats.max, 0.0);
        EXPECT_GE(stats.p99, stats.p50);
        EXPECT_TRUE(streaming.waitAnswered(kRequests, Clock::now()));
        const auto blocks = streaming.blocks();
        const auto signals = streaming.signals();
        ASSERT_EQ(signals.size(), 2u);
        if (c.keepSignals) {
            EXPECT_EQ(blocks.size(), kRequests + 1);
            EXPECT_EQ(signals[0].size(), 2 * kRequests);
            EXPECT_EQ(blocks.front().values.size(), 4u);
        } else {
            ASSERT_EQ(blocks.size(), 8u);
            EXPECT_EQ(blocks.back().timestampUs, 1000u * kRequests);  // the latest ones
            EXPECT_TRUE(signals[0].empty());
            EXPECT_TRUE(blocks.front().values.empty());
        }
    }
}
