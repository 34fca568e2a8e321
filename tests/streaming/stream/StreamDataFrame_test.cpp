// The StreamData frame: choice of encoding per requested duration, the
// companding of samples, and the packing of a block into the payload.
#include "streaming/StreamDataFrame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "device/Frame.h"
#include "tests/support/LogCapture.h"
#include "tools/vest-emulator/StreamingVest.h"

using namespace vbz;

namespace {
// A source that returns table[channel][index].
class TableSource : public AbstractCore {
public:
    explicit TableSource(std::vector<std::vector<float>> t) : table(std::move(t)) {}
    unsigned getChannelCount() override { return static_cast<unsigned>(table.size()); }
    unsigned getBufferSize() override { return size; }
    void setBufferSize(unsigned n) override { size = n; }
    double getSampleRate() override { return rate; }
    void setSampleRate(double hz) override { rate = hz; }
    void render() override {}
    double getSample(unsigned c, unsigned i) override { return table[c][i]; }
    bool isPlaying() override { return true; }

    std::vector<std::vector<float>> table;
    unsigned size = 0;
    double rate = 0;
};

// Channels whose samples are all v.
TableSource constantSource(unsigned channels, unsigned samples, float v) {
    return TableSource(std::vector<std::vector<float>>(channels, std::vector<float>(samples, v)));
}

// Chooses, renders and packs one request; returns the block.
StreamDataFrame::Block encodeRequest(StreamDataFrame& f, AbstractCore& src, uint32_t durationUs,
                                     uint32_t& clock) {
    const auto b = f.chooseEncoding(durationUs, clock);
    src.setSampleRate(b.sampleRate);
    src.setBufferSize(b.samples);
    src.render();
    f.setSampleCount(src.getBufferSize());
    f.packPayload(src);
    f.seal();
    return b;
}

const uint8_t* payload(const StreamDataFrame& f) { return f.data() + 10; }
}  // namespace

TEST(StreamEncoding, CapacitiesForTwentyChannels) {
    StreamDataFrame f;
    f.setChannelCount(20);
    EXPECT_EQ(f.capacities(), (std::array<uint32_t, 5>{12500, 25000, 50000, 100000, 200000}));
}

TEST(StreamEncoding, DurationPicksRateDepthSampleCountAndClockAdvance) {
    struct Row {
        uint32_t durationUs;
        uint8_t encoding;
        unsigned samples;
        double rate;
        uint32_t clockAdvance;
    };
    const Row rows[] = {
        {0, 0x0F, 0, 2000, 0},           {499, 0x0F, 0, 2000, 0},
        {500, 0x0F, 1, 2000, 500},       {12500, 0x0F, 25, 2000, 12500},
        {12501, 0x0E, 25, 2000, 12500},  {25001, 0x0D, 50, 2000, 25000},
        {50001, 0x09, 50, 1000, 50000},  {100001, 0x05, 50, 500, 100000},
        {300000, 0x05, 100, 500, 200000},
    };
    for (const Row& r : rows) {
        vbz_test::LogCapture log;
        StreamDataFrame f;
        f.setChannelCount(20);
        uint32_t clock = 1000;
        const auto b = f.chooseEncoding(r.durationUs, clock);
        SCOPED_TRACE(r.durationUs);
        EXPECT_EQ(f.encodingByte(), r.encoding);
        EXPECT_EQ(b.samples, r.samples);
        EXPECT_EQ(b.sampleRate, r.rate);
        EXPECT_EQ(clock, 1000 + r.clockAdvance);
        EXPECT_EQ(log.count("StreamHid",
                            "A request exceeded the encoding capacity: should not be happening", 3),
                  r.durationUs > 200000 ? 1 : 0);
    }
}

TEST(StreamEncoding, CompandingThresholds) {
    const std::pair<uint16_t, uint8_t> four[] = {
        {0, 0},    {1, 1},    {7, 1},     {8, 2},     {34, 2},    {35, 3},     {154, 3},  {155, 4},
        {681, 4},  {682, 5},  {3008, 5},  {3009, 6},  {13285, 6}, {13286, 7},  {32767, 7}};
    for (auto [k, code] : four) EXPECT_EQ(compand4Bit(k), code) << "k=" << k;
    const std::pair<uint16_t, uint8_t> eight[] = {{0, 0},     {1, 1},      {19, 19},   {20, 19},
                                                  {21, 20},   {128, 47},   {127, 46},  {29605, 126},
                                                  {29606, 127}, {32767, 127}};
    for (auto [k, code] : eight) EXPECT_EQ(compand8Bit(k), code) << "k=" << k;
    for (uint32_t k = 1; k < 32768; ++k) {
        ASSERT_GE(compand4Bit(static_cast<uint16_t>(k)), compand4Bit(static_cast<uint16_t>(k - 1)));
        ASSERT_GE(compand8Bit(static_cast<uint16_t>(k)), compand8Bit(static_cast<uint16_t>(k - 1)));
    }
}

TEST(StreamEncoding, FullScaleSmallValuesAndNonFiniteSamples) {
    EXPECT_EQ(encode16Bit(1.0f), 32767);
    EXPECT_EQ(encode16Bit(-1.0f), -32768);
    EXPECT_EQ(encode8Bit(1.0f), 127);
    EXPECT_EQ(encode8Bit(-1.0f), 0x81);
    EXPECT_EQ(encode4Bit(1.0f) & 0x0F, 7);
    EXPECT_EQ(encode4Bit(-1.0f) & 0x0F, 0x9);
    const float k1 = 0.5f * std::ldexp(1.0f, -15);
    EXPECT_EQ(encode8Bit(k1), 1);
    EXPECT_EQ(encode4Bit(k1) & 0x0F, 1);
    EXPECT_EQ(encode8Bit(20.0f * std::ldexp(1.0f, -15)), 19);
    EXPECT_EQ(encode16Bit(2.5f / 32768.0f), 2);  // ties to even
    EXPECT_EQ(encode16Bit(3.5f / 32768.0f), 4);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(encode16Bit(nan), 0);
    EXPECT_EQ(encode8Bit(nan), 0);
    EXPECT_EQ(encode4Bit(nan), 0);
    EXPECT_EQ(encode16Bit(inf), 32767);
    EXPECT_EQ(encode16Bit(-inf), -32768);
    EXPECT_EQ(encode8Bit(inf), 127);
    EXPECT_EQ(encode8Bit(-inf), 0x81);
    EXPECT_EQ(encode4Bit(-inf) & 0x0F, 0x9);
    EXPECT_EQ(encode8Bit(1e30f), 127);
}

TEST(StreamEncoding, AgreesWithTheEmulatorsDecoderOverEveryMagnitude) {
    // The emulator's decoder is written apart; every magnitude, both signs.
    for (int k = 0; k <= 33000; ++k) {
        for (float sign : {1.0f, -1.0f}) {
            const float x = sign * static_cast<float>(k) / 32768.0f;
            ASSERT_EQ(emu::decodedValue(3, static_cast<uint16_t>(encode16Bit(x))), emu::quantized(3, x))
                << x;
            ASSERT_EQ(emu::decodedValue(2, encode8Bit(x)), emu::quantized(2, x)) << x;
            ASSERT_EQ(emu::decodedValue(1, encode4Bit(x)), emu::quantized(1, x)) << x;
        }
    }
}

TEST(StreamEncoding, FourBitPairsPutTheEarlierSampleInTheHighNibble) {
    TableSource src({{0.0f, -1.0f, -1.0f, 0.0f}, {1.0f, 0.0f, 0.0f, 1.0f}});
    // Two channels reach 4 bits only at 500 Hz, beyond a second.
    StreamDataFrame g;
    g.setChannelCount(2);
    uint32_t clock = 0;
    const auto b = g.chooseEncoding(2000000, clock);
    ASSERT_EQ(g.encodingByte(), 0x05);
    ASSERT_GE(b.samples, 4u);
    src.setBufferSize(4);
    g.setSampleCount(4);
    g.packPayload(src);
    EXPECT_EQ(payload(g)[0], 0x09);  // channel 0: (0.0, -1.0)
    EXPECT_EQ(payload(g)[1], 0x70);  // channel 1: (1.0, 0.0)
    EXPECT_EQ(payload(g)[2], 0x90);  // channel 0: (-1.0, 0.0)
    EXPECT_EQ(payload(g)[3], 0x07);  // channel 1: (0.0, 1.0)
    EXPECT_EQ(g.payloadBytes(), 4u);
}

TEST(StreamEncoding, OddCountAtFourBitsEndsEachChannelWithAHalfByte) {
    auto src = constantSource(20, 51, -1.0f);
    StreamDataFrame f;
    f.setChannelCount(20);
    uint32_t clock = 0;
    const auto b = encodeRequest(f, src, 25500, clock);
    ASSERT_EQ(f.encodingByte(), 0x0D);
    ASSERT_EQ(b.samples, 51u);
    EXPECT_EQ(f.payloadBytes(), 26u * 20u);
    for (unsigned ch = 0; ch < 20; ++ch) {
        EXPECT_EQ(payload(f)[24 * 20 + ch], 0x99);
        EXPECT_EQ(payload(f)[25 * 20 + ch], 0x90);  // sample 50, then the code of 0
    }
    EXPECT_TRUE(checkCommandCrc16(f.data(), 1012));
}

TEST(StreamEncoding, VestChannelsBeyondTheSourceCarryZeroCodesAndExtraSourceChannelsAreDropped) {
    for (uint32_t duration : {10000u, 20000u, 40000u}) {  // 16, 8 and 4 bits
        SCOPED_TRACE(duration);
        auto src = constantSource(20, 200, 1.0f);
        StreamDataFrame wide;
        wide.setChannelCount(24);
        uint32_t clock = 0;
        encodeRequest(wide, src, duration, clock);
        const unsigned depth = wide.encodingByte() & 0x03;
        const unsigned bytesPerChannel = depth == kDepth16 ? 2 : 1;
        const unsigned rows = static_cast<unsigned>(wide.payloadBytes() / (24 * bytesPerChannel));
        ASSERT_GT(rows, 0u);
        for (unsigned r = 0; r < rows; ++r)
            for (unsigned ch = 0; ch < 24; ++ch)
                for (unsigned b = 0; b < bytesPerChannel; ++b) {
                    const uint8_t byte = payload(wide)[(r * 24 + ch) * bytesPerChannel + b];
                    if (ch >= 20)
                        ASSERT_EQ(byte, 0) << "row " << r << " channel " << ch;
                    else
                        ASSERT_NE(byte, 0) << "row " << r << " channel " << ch;
                }

        StreamDataFrame narrow;
        narrow.setChannelCount(16);
        clock = 0;
        encodeRequest(narrow, src, duration, clock);
        EXPECT_EQ(narrow.payloadBytes(),
                  static_cast<std::size_t>((depth == kDepth4 ? (narrow.sampleCount() + 1) / 2
                                                             : narrow.sampleCount()) *
                                           16 * bytesPerChannel));
    }
}

TEST(StreamEncoding, FourBitBlocksNeverSpillPastThePayload) {
    // With 24 channels the longest 4-bit request at 2000 Hz asks 83 samples:
    // 42 bytes per channel would overrun the payload and the CRC.
    auto src = constantSource(24, 200, 0.5f);
    StreamDataFrame f;
    f.setChannelCount(24);
    uint32_t clock = 0;
    const auto b = encodeRequest(f, src, f.capacities()[2], clock);
    EXPECT_EQ(f.encodingByte(), 0x0D);
    EXPECT_EQ(b.samples, 82u);
    EXPECT_EQ(clock, 82u * 500u);  // the clock follows what was sent
    EXPECT_LE(f.payloadBytes(), 1000u);
    EXPECT_TRUE(checkCommandCrc16(f.data(), 1012));

    // Every channel count and a sweep of durations.
    for (unsigned v = 0; v <= 255; ++v) {
        StreamDataFrame g;
        g.setChannelCount(v);
        for (uint32_t d = 0; d <= 400000; d += 997) {
            uint32_t c = 0;
            g.chooseEncoding(d, c);
            g.setSampleCount(1000000);
            ASSERT_LE(g.payloadBytes(), 1000u) << v << " channels, " << d << " us";
        }
    }
}

TEST(StreamEncoding, SampleCountFieldFollowsWhatTheSourceRendered) {
    // An engine rounds an empty block up to one sample: that sample is sent.
    auto src = constantSource(20, 4, 0.25f);
    StreamDataFrame f;
    f.setChannelCount(20);
    uint32_t clock = 0;
    f.chooseEncoding(0, clock);
    f.setSampleCount(1);
    f.packPayload(src);
    EXPECT_EQ(f.sampleCount(), 1);
    EXPECT_EQ(f.payloadBytes(), 40u);
    EXPECT_EQ(clock, 0u);
}
