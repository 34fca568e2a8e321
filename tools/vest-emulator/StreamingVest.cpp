#include "tools/vest-emulator/StreamingVest.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>

namespace vbz::emu {

namespace {
constexpr uint8_t kGetStreamInfo = 0x13;
constexpr uint8_t kStartStream = 0x14;
constexpr uint8_t kStopStream = 0x15;
constexpr uint8_t kDataRequest = 0x16;
constexpr uint8_t kStopReply = 0x95;
constexpr uint8_t kStreamData = 0x96;
constexpr std::size_t kStreamDataLength = 1012;
constexpr std::size_t kPayload = 1000;
constexpr std::size_t kPayloadOffset = 10;
// The decoded time line stops growing here (ten minutes at 2000 Hz), so
// that a wild time stamp cannot exhaust memory.
constexpr std::size_t kTimelineLimit = 2000u * 600u;

// The vest's magnitude for each code: the first magnitude (in 1/32768) that
// the host maps to it.
constexpr uint16_t kLevels4[] = {0, 1, 8, 35, 155, 682, 3009, 13286};
constexpr uint16_t kLevels8[] = {
    0,     1,     2,     3,     4,     5,     6,     7,     8,     9,     10,    11,    12,
    13,    14,    15,    16,    17,    18,    19,    21,    22,    24,    25,    27,    29,
    31,    33,    35,    38,    41,    44,    47,    50,    53,    57,    61,    65,    70,
    75,    80,    85,    91,    98,    105,   112,   120,   128,   137,   147,   157,   168,
    180,   193,   206,   221,   236,   253,   271,   290,   310,   332,   355,   380,   407,
    436,   466,   499,   535,   572,   612,   656,   702,   751,   804,   861,   921,   986,
    1055,  1130,  1209,  1294,  1385,  1483,  1587,  1699,  1819,  1947,  2084,  2231,  2388,
    2556,  2736,  2929,  3135,  3355,  3592,  3845,  4115,  4405,  4715,  5047,  5403,  5783,
    6190,  6626,  7092,  7592,  8127,  8699,  9311,  9967,  10668, 11420, 12224, 13084, 14006,
    14992, 16048, 17178, 18387, 19682, 21068, 22551, 24139, 25839, 27658, 29606};
static_assert(std::size(kLevels8) == 128);

uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::vector<uint8_t> le32(uint32_t a, uint32_t b) {
    std::vector<uint8_t> out;
    for (uint32_t v : {a, b})
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

float rateOf(uint8_t rateCode) {
    return rateCode == 3 ? 2000.0f : rateCode == 2 ? 1000.0f : rateCode == 1 ? 500.0f : 0.0f;
}

template <std::size_t N>
int codeOf(const uint16_t (&levels)[N], uint32_t k) {
    int code = 0;
    while (code + 1 < static_cast<int>(N) && k >= levels[code + 1]) ++code;
    return code;
}

std::size_t payloadBytes(uint8_t depth, std::size_t n, std::size_t channels) {
    switch (depth) {
        case 3: return n * channels * 2;
        case 2: return n * channels;
        case 1: return (n + 1) / 2 * channels;
        default: return 0;
    }
}
}  // namespace

float decodedValue(uint8_t depthCode, int code) {
    switch (depthCode) {
        case 3: return static_cast<float>(static_cast<int16_t>(code)) / 32768.0f;
        case 2: {
            const int s = static_cast<int8_t>(static_cast<uint8_t>(code));
            const int m = std::min(std::abs(s), 127);
            return (s < 0 ? -1.0f : 1.0f) * kLevels8[m] / 32768.0f;
        }
        case 1: {
            int s = code & 0x0F;
            if (s >= 8) s -= 16;
            const int m = std::min(std::abs(s), 7);
            return (s < 0 ? -1.0f : 1.0f) * kLevels4[m] / 32768.0f;
        }
        default: return 0.0f;
    }
}

float quantized(uint8_t depthCode, float x) {
    if (std::isnan(x)) return 0.0f;
    if (depthCode == 3) {
        const float v = x * 32768.0f;
        if (v >= 32767.0f) return 32767.0f / 32768.0f;
        if (v <= -32768.0f) return -1.0f;
        return std::nearbyint(v) / 32768.0f;
    }
    const float m = std::fabs(x * 32768.0f) + 0.5f;
    const uint32_t k = m < 32767.0f ? static_cast<uint32_t>(m) : 32767u;
    const float sign = x < 0.0f ? -1.0f : 1.0f;
    if (depthCode == 2) return sign * kLevels8[codeOf(kLevels8, k)] / 32768.0f;
    if (depthCode == 1) return sign * kLevels4[codeOf(kLevels4, k)] / 32768.0f;
    return 0.0f;
}

ExpectedEncoding expectedEncoding(uint32_t durationUs, unsigned channels) {
    struct Choice {
        uint8_t rate, depth;
        float bytesPerSample;
    };
    static const Choice kChoices[] = {{3, 3, 2.0f}, {3, 2, 1.0f}, {3, 1, 0.5f}, {2, 1, 0.5f},
                                      {1, 1, 0.5f}};
    if (channels == 0) return {0x0F, 0};
    int pick = 4;
    uint32_t d = durationUs;
    for (int i = 0; i < 5; ++i) {
        const Choice& c = kChoices[i];
        // The span that exactly fills the payload, as the vest computes it.
        const auto capacity = static_cast<uint32_t>(
            1e9f / (rateOf(c.rate) * c.bytesPerSample * static_cast<float>(channels)));
        if (d <= capacity) {
            pick = i;
            break;
        }
        if (i == 4) d = capacity;
    }
    const Choice& c = kChoices[pick];
    auto n = static_cast<unsigned>(
        std::floor(static_cast<double>(static_cast<float>(d) * rateOf(c.rate)) * 1e-6));
    while (n > 0 && payloadBytes(c.depth, n, channels) > kPayload) --n;
    return {static_cast<uint8_t>(c.rate * 4 + c.depth), n};
}

struct StreamingVest::State {
    explicit State(StreamingOptions o) : options(std::move(o)), rng(options.seed) {
        if (options.durationsUs.empty()) options.durationsUs = {12500};
        signal.resize(options.channelCount);
        if (options.blockHistory > 0) latencyHistogram.assign(kHistogramBins, 0);
    }

    enum class Next { Request, VestStop, Silent };

    // The next frame of the vest once the stream runs. Caller holds m.
    Next nextLocked(Frame& out, Clock::time_point now) {
        for (;;) {
            const int i = index;
            if (options.silentAfter >= 0 && i >= options.silentAfter) return Next::Silent;
            if (options.stopAfter >= 0 && i >= options.stopAfter) {
                if (vestStopSent) return Next::Silent;
                vestStopSent = true;
                out = makeFrame(kStopStream, 5);
                return Next::VestStop;
            }
            const auto jump = options.jumpsBefore.find(i);
            const uint32_t ts = clockUs + (jump == options.jumpsBefore.end() ? 0 : jump->second);
            const uint32_t d = options.durationsUs[static_cast<std::size_t>(i) %
                                                   options.durationsUs.size()];
            clockUs = ts + d;
            ++index;
            lastSpan = d;
            if (options.dropEvery > 0 && (i + 1) % options.dropEvery == 0) continue;
            StreamBlock b;
            b.timestampUs = ts;
            b.durationUs = d;
            b.requested = now;
            outstanding[ts] = firstBlock + blocks.size();
            blocks.push_back(std::move(b));
            foldOldBlocksLocked();
            out = makeFrame(kDataRequest, 13, le32(ts, d));
            return Next::Request;
        }
    }

    void problem(std::string text) { problems.push_back(std::move(text)); }

    // Past blockHistory, the oldest blocks leave the list for the folded
    // counts and latency histogram (a request never answered by then is
    // no longer outstanding). Caller holds m.
    void foldOldBlocksLocked() {
        if (options.blockHistory == 0) return;
        while (blocks.size() > options.blockHistory) {
            const StreamBlock& b = blocks.front();
            ++folded.requests;
            if (b.answered) {
                ++folded.answered;
                if (isLate(b)) ++folded.late;
                const double us = b.latencySeconds() * 1e6;
                folded.max = std::max(folded.max, b.latencySeconds());
                ++latencyHistogram[static_cast<std::size_t>(
                    std::clamp(us, 0.0, static_cast<double>(kHistogramBins - 1)))];
            } else {
                outstanding.erase(b.timestampUs);
            }
            blocks.pop_front();
            ++firstBlock;
        }
    }

    bool isLate(const StreamBlock& b) const {
        const auto nextDue =
            b.requested + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double, std::micro>(b.durationUs *
                                                                        options.periodScale));
        return b.answeredAt > nextDue;
    }

    // Latencies of folded blocks, in microseconds; the last bin holds every
    // longer one.
    static constexpr std::size_t kHistogramBins = 100000;

    // Checks and decodes one StreamData frame. Caller holds m.
    void takeDataLocked(const Frame& f, Clock::time_point now) {
        const uint32_t ts = u32(&f[4]);
        const uint8_t encoding = f[3];
        const uint16_t n = static_cast<uint16_t>(f[8] | (f[9] << 8));
        const auto it = outstanding.find(ts);
        if (it == outstanding.end()) {
            problem("StreamData with time stamp " + std::to_string(ts) +
                    " answers no outstanding request");
            return;
        }
        StreamBlock& b = blocks[it->second - firstBlock];
        outstanding.erase(it);
        b.answered = true;
        b.answeredAt = now;
        b.encoding = encoding;
        b.samples = n;
        const unsigned channels = options.channelCount;
        const auto expected = expectedEncoding(b.durationUs, channels);
        const std::string where = " (request at " + std::to_string(ts) + " us of " +
                                  std::to_string(b.durationUs) + " us)";
        if (encoding != expected.encoding) {
            char text[64];
            std::snprintf(text, sizeof text, "encoding byte 0x%02X, expected 0x%02X", encoding,
                          expected.encoding);
            problem(text + where);
        }
        // A source may round an empty block up to one sample.
        if (n != expected.samples && !(expected.samples == 0 && n == 1))
            problem("sample count " + std::to_string(n) + ", expected " +
                    std::to_string(expected.samples) + where);
        const uint8_t depth = encoding & 0x03;
        const float rate = rateOf(static_cast<uint8_t>(encoding >> 2));
        if (rate == 0.0f || depth == 0) {
            problem("unknown encoding" + where);
            return;
        }
        if (payloadBytes(depth, n, channels) > kPayload) {
            problem("payload of " + std::to_string(payloadBytes(depth, n, channels)) +
                    " bytes" + where);
            return;
        }
        if (!options.keepSignals) return;
        const uint8_t* p = &f[kPayloadOffset];
        b.values.assign(static_cast<std::size_t>(n) * channels, 0.0f);
        for (unsigned i = 0; i < n; ++i)
            for (unsigned ch = 0; ch < channels; ++ch) {
                int code = 0;
                if (depth == 3)
                    code = p[(i * channels + ch) * 2] | (p[(i * channels + ch) * 2 + 1] << 8);
                else if (depth == 2)
                    code = p[i * channels + ch];
                else
                    code = (i % 2 == 0) ? p[(i / 2) * channels + ch] >> 4
                                        : p[(i / 2) * channels + ch] & 0x0F;
                b.values[i * channels + ch] = decodedValue(depth, code);
            }
        // Lower rates are held on the 2000 Hz time line.
        const std::size_t step = static_cast<std::size_t>(2000.0f / rate);
        const std::size_t first = ts / 500u;
        const std::size_t end = first + static_cast<std::size_t>(n) * step;
        if (end > kTimelineLimit) return;
        for (unsigned ch = 0; ch < channels; ++ch) {
            auto& s = signal[ch];
            if (s.size() < end) s.resize(end, 0.0f);
            for (unsigned i = 0; i < n; ++i)
                std::fill_n(s.begin() + static_cast<std::ptrdiff_t>(first + i * step), step,
                            b.values[i * channels + ch]);
        }
    }

    StreamingOptions options;
    mutable std::mutex m;
    mutable std::condition_variable cv;
    bool quit = false;
    uint64_t startCount = 0;  // StartStream commands taken
    bool running = false;
    bool hostStopped = false;
    bool vestStopSent = false;
    bool vestStopAcked = false;
    uint32_t clockUs = 0;
    uint32_t lastSpan = 0;
    int index = 0;
    std::mt19937 rng;
    std::deque<StreamBlock> blocks;
    std::size_t firstBlock = 0;  // number of the first block kept
    StreamStats folded;          // counts of the blocks no longer kept
    std::vector<uint32_t> latencyHistogram;
    std::map<uint32_t, std::size_t> outstanding;  // time stamp -> block number
    std::vector<std::string> problems;
    std::vector<std::vector<float>> signal;
};

StreamingVest::StreamingVest(std::shared_ptr<VestModel> vest, StreamingOptions options)
    : vest_(std::move(vest)), state_(std::make_shared<State>(std::move(options))) {
    // The handlers hold the state, not this object: the model may outlive
    // the streaming side.
    auto st = state_;
    vest_->addCommand(kGetStreamInfo, 5, [st](const Frame&, VestModel::Replies& r) {
        std::lock_guard<std::mutex> lock(st->m);
        r.send(makeFrame(0x93, 7,
                         {static_cast<uint8_t>(st->options.streamInfoStatus),
                          st->options.channelCount}));
    });
    vest_->addCommand(kStartStream, 5, [st](const Frame&, VestModel::Replies& r) {
        std::lock_guard<std::mutex> lock(st->m);
        r.send(makeFrame(0x94, 6, {0}));
        st->running = true;
        st->hostStopped = false;
        st->vestStopSent = false;
        st->clockUs = 0;
        st->index = 0;
        st->outstanding.clear();
        ++st->startCount;
        if (st->options.pacing == StreamingOptions::Pacing::Lockstep) {
            Frame next;
            if (st->nextLocked(next, Clock::now()) != State::Next::Silent)
                r.sendUnsolicited(std::move(next));
        }
        st->cv.notify_all();
    });
    vest_->addCommand(kStopStream, 5, [st](const Frame&, VestModel::Replies& r) {
        std::lock_guard<std::mutex> lock(st->m);
        r.send(makeFrame(kStopReply, 6, {0}));
        st->running = false;
        st->hostStopped = true;
        st->cv.notify_all();
    });
    vest_->addCommand(kStopReply, 6, [st](const Frame& f, VestModel::Replies&) {
        std::lock_guard<std::mutex> lock(st->m);
        if (!st->vestStopSent)
            st->problem("StopStream reply without a StopStream from the vest");
        else if (f[3] != 0)
            st->problem("StopStream reply with status " + std::to_string(f[3]));
        else
            st->vestStopAcked = true;
        st->cv.notify_all();
    });
    vest_->addCommand(kStreamData, kStreamDataLength, [st](const Frame& f, VestModel::Replies& r) {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(st->m);
        if (!st->running) st->problem("StreamData while no stream runs");
        st->takeDataLocked(f, now);
        if (st->running && st->options.pacing == StreamingOptions::Pacing::Lockstep) {
            Frame next;
            if (st->nextLocked(next, now) != State::Next::Silent) r.sendUnsolicited(std::move(next));
        }
        st->cv.notify_all();
    });
    if (state_->options.pacing == StreamingOptions::Pacing::RealTime)
        pacer_ = std::thread([this] { pace(); });
}

StreamingVest::~StreamingVest() {
    {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->quit = true;
        state_->cv.notify_all();
    }
    if (pacer_.joinable()) pacer_.join();
}

void StreamingVest::pace() {
    State& st = *state_;
    std::unique_lock<std::mutex> lock(st.m);
    uint64_t seen = 0;
    while (!st.quit) {
        st.cv.wait(lock, [&] { return st.quit || st.startCount != seen; });
        if (st.quit) break;
        seen = st.startCount;
        auto due = Clock::now();
        while (!st.quit && st.running && st.startCount == seen) {
            if (st.cv.wait_until(lock, due, [&] {
                    return st.quit || !st.running || st.startCount != seen;
                }))
                break;
            Frame frame;
            const auto next = st.nextLocked(frame, Clock::now());
            if (next == State::Next::Silent) {
                st.cv.wait(lock, [&] { return st.quit || !st.running || st.startCount != seen; });
                break;
            }
            // The model is called without this lock: its handlers take it.
            lock.unlock();
            vest_->sendUnsolicited(std::move(frame));
            lock.lock();
            auto wait = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::micro>(st.lastSpan * st.options.periodScale));
            if (st.options.jitter.count() > 0) {
                std::uniform_int_distribution<Clock::rep> jitter(-st.options.jitter.count(),
                                                                 st.options.jitter.count());
                wait += Clock::duration(jitter(st.rng));
            }
            due += wait;
        }
    }
}

bool StreamingVest::streaming() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->running;
}

bool StreamingVest::stoppedByHost() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->hostStopped;
}

bool StreamingVest::vestStopAcknowledged() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->vestStopAcked;
}

std::vector<StreamBlock> StreamingVest::blocks() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return {state_->blocks.begin(), state_->blocks.end()};
}

std::vector<std::string> StreamingVest::problems() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->problems;
}

std::vector<std::vector<float>> StreamingVest::signals() const {
    std::lock_guard<std::mutex> lock(state_->m);
    return state_->signal;
}

bool StreamingVest::waitAnswered(std::size_t count, Clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(state_->m);
    return state_->cv.wait_until(lock, deadline, [&] {
        return state_->folded.answered +
                   static_cast<std::size_t>(
                       std::count_if(state_->blocks.begin(), state_->blocks.end(),
                                     [](const StreamBlock& b) { return b.answered; })) >=
               count;
    });
}

StreamStats StreamingVest::stats() const {
    std::lock_guard<std::mutex> lock(state_->m);
    StreamStats s = state_->folded;
    std::vector<double> latencies;
    s.requests += state_->blocks.size();
    for (const auto& b : state_->blocks) {
        if (!b.answered) continue;
        ++s.answered;
        latencies.push_back(b.latencySeconds());
        if (state_->isLate(b)) ++s.late;
    }
    if (state_->folded.answered > 0) {
        // The kept blocks join the folded ones in the histogram.
        auto histogram = state_->latencyHistogram;
        for (const double l : latencies) {
            ++histogram[static_cast<std::size_t>(std::clamp(
                l * 1e6, 0.0, static_cast<double>(State::kHistogramBins - 1)))];
            s.max = std::max(s.max, l);
        }
        const auto at = [&](double q) {
            const auto rank = static_cast<uint64_t>(q * static_cast<double>(s.answered));
            uint64_t seen = 0;
            for (std::size_t us = 0; us < histogram.size(); ++us) {
                seen += histogram[us];
                if (seen > rank) return static_cast<double>(us) * 1e-6;
            }
            return s.max;
        };
        s.p50 = at(0.50);
        s.p99 = at(0.99);
    } else if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        const auto at = [&](double q) {
            return latencies[std::min(latencies.size() - 1,
                                      static_cast<std::size_t>(q * static_cast<double>(latencies.size())))];
        };
        s.p50 = at(0.50);
        s.p99 = at(0.99);
        s.max = latencies.back();
    }
    return s;
}

bool writeWav(const std::string& path, const std::vector<std::vector<float>>& channels,
              unsigned sampleRate) {
    std::ofstream out(path, std::ios::binary);
    if (!out) return false;
    const auto count = static_cast<uint16_t>(std::max<std::size_t>(channels.size(), 1));
    std::size_t frames = 0;
    for (const auto& c : channels) frames = std::max(frames, c.size());
    const uint64_t dataBytes = static_cast<uint64_t>(frames) * count * 2;
    if (dataBytes > 0xFFFFFFF0ull) return false;
    const auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) out.put(static_cast<char>(v >> (8 * i)));
    };
    const auto put16 = [&](uint16_t v) {
        out.put(static_cast<char>(v & 0xFF));
        out.put(static_cast<char>(v >> 8));
    };
    out.write("RIFF", 4);
    put32(static_cast<uint32_t>(36 + dataBytes));
    out.write("WAVEfmt ", 8);
    put32(16);
    put16(1);  // PCM
    put16(count);
    put32(sampleRate);
    put32(sampleRate * count * 2);
    put16(static_cast<uint16_t>(count * 2));
    put16(16);
    out.write("data", 4);
    put32(static_cast<uint32_t>(dataBytes));
    for (std::size_t i = 0; i < frames; ++i)
        for (uint16_t ch = 0; ch < count; ++ch) {
            float v = (ch < channels.size() && i < channels[ch].size()) ? channels[ch][i] : 0.0f;
            v = std::clamp(std::isnan(v) ? 0.0f : v, -1.0f, 1.0f);
            put16(static_cast<uint16_t>(static_cast<int16_t>(std::lrint(v * 32767.0f))));
        }
    return static_cast<bool>(out);
}

}  // namespace vbz::emu
