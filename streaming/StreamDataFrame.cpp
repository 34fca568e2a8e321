#include "streaming/StreamDataFrame.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "device/Frame.h"
#include "sdk/core/LogLine.h"

namespace vbz {

namespace {
constexpr const char* kTag = "StreamHid";

// First magnitude of each code 1..7 (4 bits) and 1..127 (8 bits). Above the
// small codes both follow a logarithmic scale, so that quiet signals keep
// their shape at the low depths.
constexpr uint16_t k4BitThresholds[] = {1, 8, 35, 155, 682, 3009, 13286};
constexpr uint16_t k8BitThresholds[] = {
    1,     2,     3,     4,     5,     6,     7,     8,     9,     10,    11,    12,    13,
    14,    15,    16,    17,    18,    19,    21,    22,    24,    25,    27,    29,    31,
    33,    35,    38,    41,    44,    47,    50,    53,    57,    61,    65,    70,    75,
    80,    85,    91,    98,    105,   112,   120,   128,   137,   147,   157,   168,   180,
    193,   206,   221,   236,   253,   271,   290,   310,   332,   355,   380,   407,   436,
    466,   499,   535,   572,   612,   656,   702,   751,   804,   861,   921,   986,   1055,
    1130,  1209,  1294,  1385,  1483,  1587,  1699,  1819,  1947,  2084,  2231,  2388,  2556,
    2736,  2929,  3135,  3355,  3592,  3845,  4115,  4405,  4715,  5047,  5403,  5783,  6190,
    6626,  7092,  7592,  8127,  8699,  9311,  9967,  10668, 11420, 12224, 13084, 14006, 14992,
    16048, 17178, 18387, 19682, 21068, 22551, 24139, 25839, 27658, 29606};
static_assert(std::size(k8BitThresholds) == 127);

template <std::size_t N>
constexpr std::array<uint8_t, 32768> buildTable(const uint16_t (&thresholds)[N]) {
    std::array<uint8_t, 32768> table{};
    uint8_t code = 0;
    for (std::size_t k = 0; k < table.size(); ++k) {
        while (code < N && k >= thresholds[code]) ++code;
        table[k] = code;
    }
    return table;
}

constexpr auto k4BitTable = buildTable(k4BitThresholds);
constexpr auto k8BitTable = buildTable(k8BitThresholds);
static_assert(k8BitTable[19] == 19 && k8BitTable[20] == 19 && k8BitTable[29606] == 127);
static_assert(k4BitTable[7] == 1 && k4BitTable[8] == 2 && k4BitTable[13286] == 7);

// Magnitude index of a sample: |x * 32768| rounded half up, at most 32767.
// NaN gives 0; infinities and anything beyond full scale give 32767.
uint16_t magnitude(float x) {
    if (std::isnan(x)) return 0;
    const float m = std::fabs(x * 32768.0f) + 0.5f;
    if (!(m < 32767.0f)) return 32767;
    return static_cast<uint16_t>(m);
}

uint8_t signedCode(float x, uint8_t code) {
    return (x < 0.0f) ? static_cast<uint8_t>(-static_cast<int>(code) & 0xFF) : code;
}

// Capacities in microseconds: the span whose samples fill the payload.
constexpr float kRates[StreamDataFrame::kEncodings] = {2000.0f, 2000.0f, 2000.0f, 1000.0f,
                                                       500.0f};
constexpr uint8_t kRateCodes[StreamDataFrame::kEncodings] = {kRate2000, kRate2000, kRate2000,
                                                             kRate1000, kRate500};
constexpr uint8_t kDepthCodes[StreamDataFrame::kEncodings] = {kDepth16, kDepth8, kDepth4,
                                                              kDepth4, kDepth4};
}  // namespace

float sampleRateFromCode(uint8_t rateCode) {
    switch (rateCode) {
        case kRate500: return 500.0f;
        case kRate1000: return 1000.0f;
        case kRate2000: return 2000.0f;
        default: return 1.0f;
    }
}

uint8_t compand8Bit(uint16_t k) { return k8BitTable[std::min<uint16_t>(k, 32767)]; }
uint8_t compand4Bit(uint16_t k) { return k4BitTable[std::min<uint16_t>(k, 32767)]; }

int16_t encode16Bit(float x) {
    if (std::isnan(x)) return 0;
    const float v = x * 32768.0f;
    if (v >= 32767.0f) return 32767;
    if (v <= -32768.0f) return -32768;
    return static_cast<int16_t>(std::lrint(v));  // ties to even
}

uint8_t encode8Bit(float x) { return signedCode(x, k8BitTable[magnitude(x)]); }

uint8_t encode4Bit(float x) { return signedCode(x, k4BitTable[magnitude(x)]); }

StreamDataFrame::StreamDataFrame() {
    frame_[0] = commandId(DeviceCommand::StreamData);
    frame_[1] = kSyncByte1;
    frame_[2] = kSyncByte2;
}

void StreamDataFrame::setChannelCount(unsigned channels) {
    channels_ = channels;
    if (channels == 0) {
        capacity_.fill(0);
        return;
    }
    const float v = static_cast<float>(channels);
    capacity_[0] = static_cast<uint32_t>(1e9f / (2000.0f * (2.0f * v)));
    capacity_[1] = static_cast<uint32_t>(1e9f / (2000.0f * v));
    capacity_[2] = static_cast<uint32_t>(2e9f / (2000.0f * v));
    capacity_[3] = static_cast<uint32_t>(2e9f / (1000.0f * v));
    capacity_[4] = static_cast<uint32_t>(2e9f / (500.0f * v));
}

unsigned StreamDataFrame::maxSamples(uint8_t depthCode) const {
    if (channels_ == 0) return 0;
    const unsigned perSample = static_cast<unsigned>(kPayloadSize) / channels_;  // bytes
    switch (depthCode) {
        case kDepth16: return perSample / 2;
        case kDepth8: return perSample;
        case kDepth4: return perSample * 2;
        default: return 0;
    }
}

StreamDataFrame::Block StreamDataFrame::chooseEncoding(uint32_t durationUs,
                                                       uint32_t& streamClock) {
    if (minLogLevel.load(std::memory_order_relaxed) <= 0)
        LogLine(0, kTag) << "requested duration:         " << durationUs;
    int choice = kEncodings - 1;
    while (choice > 0 && durationUs <= capacity_[choice - 1]) --choice;
    if (durationUs > capacity_[kEncodings - 1]) {
        durationUs = capacity_[kEncodings - 1];
        LogLine(3, kTag) << "A request exceeded the encoding capacity: should not be happening";
    }
    const float rate = kRates[choice];
    const double exact = static_cast<double>(static_cast<float>(durationUs) * rate) * 1e-6;
    unsigned n = static_cast<unsigned>(std::floor(exact));
    // With an odd count at 4 bits and some channel counts, the pairs of the
    // last sample would spill past the payload: send what fits and let the
    // next request's fast-forward catch up with the rest.
    n = std::min(n, maxSamples(kDepthCodes[choice]));
    streamClock += static_cast<uint32_t>((1e6f / rate) * static_cast<float>(n));
    frame_[3] = static_cast<uint8_t>(kRateCodes[choice] * 4 + kDepthCodes[choice]);
    return {static_cast<double>(rate), n};
}

void StreamDataFrame::setTimestamp(uint32_t timestampUs) { writeU32(&frame_[4], timestampUs); }

void StreamDataFrame::setSampleCount(unsigned rendered) {
    const unsigned n = std::min(rendered, maxSamples(frame_[3] & 0x03));
    writeU16(&frame_[8], static_cast<uint16_t>(n));
    if (minLogLevel.load(std::memory_order_relaxed) <= 0)
        LogLine(0, kTag) << "Number samples per actuator payload: " << n;
}

uint16_t StreamDataFrame::sampleCount() const { return readU16(&frame_[8]); }

std::size_t StreamDataFrame::payloadBytes() const {
    const std::size_t n = sampleCount();
    switch (frame_[3] & 0x03) {
        case kDepth16: return n * channels_ * 2;
        case kDepth8: return n * channels_;
        case kDepth4: return (n + 1) / 2 * channels_;
        default: return 0;
    }
}

void StreamDataFrame::packPayload(AbstractCore& source) {
    const unsigned n = sampleCount();
    const unsigned v = channels_;
    const unsigned sent = std::min(source.getChannelCount(), v);
    uint8_t* out = &frame_[kHeaderLength];
    switch (frame_[3] & 0x03) {
        case kDepth16:
            for (unsigned i = 0; i < n; ++i)
                for (unsigned ch = 0; ch < v; ++ch, out += 2) {
                    const int16_t s =
                        ch < sent ? encode16Bit(static_cast<float>(source.getSample(ch, i))) : 0;
                    writeU16(out, static_cast<uint16_t>(s));
                }
            break;
        case kDepth8:
            for (unsigned i = 0; i < n; ++i)
                for (unsigned ch = 0; ch < v; ++ch)
                    *out++ = ch < sent ? encode8Bit(static_cast<float>(source.getSample(ch, i))) : 0;
            break;
        case kDepth4:
            for (unsigned i = 0; i < n; i += 2)
                for (unsigned ch = 0; ch < v; ++ch) {
                    uint8_t b = 0;
                    if (ch < sent) {
                        b = static_cast<uint8_t>(
                            encode4Bit(static_cast<float>(source.getSample(ch, i))) << 4);
                        if (i + 1 < n)
                            b |= encode4Bit(static_cast<float>(source.getSample(ch, i + 1))) &
                                 0x0F;
                    }
                    *out++ = b;
                }
            break;
        default:
            break;
    }
}

void StreamDataFrame::seal() { commandCrc16(frame_.data(), static_cast<uint16_t>(kLength)); }

}  // namespace vbz
