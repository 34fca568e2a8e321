// The streaming side of an emulated vest, installed on a VestModel: it
// answers GetStreamInfo, StartStream and StopStream, asks the host for
// blocks of samples with DataRequest frames once the stream starts, and
// takes apart every StreamData frame the host sends back.
//
// Requests carry contiguous time stamps from 0 (each the previous plus the
// requested duration). In real-time pacing a request is sent when the span
// of the previous one has passed (12.5 ms by default), optionally with
// jitter; in lockstep pacing (for scripts) the next request follows the
// answer to the previous one. Faults: dropped requests (their span passes
// unasked, so the next time stamp jumps), extra time-stamp jumps, the vest
// stopping the stream itself, and silence (no more requests).
//
// Each StreamData frame is checked as the vest's firmware would (length,
// CRC, encoding byte for the requested duration, sample count, the time
// stamp of an outstanding request, payload within 1000 bytes); what is
// wrong is listed by problems(). The decoded samples are kept per block and
// as one signal per actuator on a 2000 Hz time line (lower rates held),
// unless the options ask not to, and the time from each request to its
// answer is measured.
//
// Threads: every public function may be called from any thread. The pacing
// thread lives from construction to destruction.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/vest-emulator/VestModel.h"

namespace vbz::emu {

struct StreamingOptions {
    enum class Pacing { RealTime, Lockstep };

    uint8_t channelCount = 20;      // reported in the GetStreamInfo answer
    int8_t streamInfoStatus = 0;    // status byte of that answer
    Pacing pacing = Pacing::RealTime;
    // Requested durations in microseconds, used in turn.
    std::vector<uint32_t> durationsUs{12500};
    // Real-time pacing: each request waits the span of the previous one
    // times this factor, plus a uniform jitter of at most +-jitter.
    double periodScale = 1.0;
    Clock::duration jitter{};
    unsigned seed = 1;
    int dropEvery = 0;                     // every n-th request is lost (0: none)
    std::map<int, uint32_t> jumpsBefore;   // request index -> extra microseconds skipped
    int stopAfter = -1;                    // the vest stops after this many requests
    int silentAfter = -1;                  // no request after this many
    // Decoded samples of each block and the signals on the 2000 Hz time
    // line; off, frames are still checked but their samples not kept.
    bool keepSignals = true;
    // 0: every block stays in blocks(); n: only the latest n do, the older
    // ones count in stats() alone (latencies to the microsecond), so that a
    // long run does not grow.
    std::size_t blockHistory = 0;
};

// One DataRequest and its answer.
struct StreamBlock {
    uint32_t timestampUs = 0;
    uint32_t durationUs = 0;
    Clock::time_point requested;
    bool answered = false;
    Clock::time_point answeredAt;
    uint8_t encoding = 0;
    uint16_t samples = 0;
    // Decoded samples, sample by sample, channels in order within each.
    std::vector<float> values;
    double latencySeconds() const {
        return std::chrono::duration<double>(answeredAt - requested).count();
    }
};

struct StreamStats {
    std::size_t requests = 0;
    std::size_t answered = 0;
    std::size_t late = 0;  // answered after the next request fell due
    double p50 = 0, p99 = 0, max = 0;  // request-to-frame seconds
};

// The emulator's own view of the sample encoding (written apart from the
// SDK's encoder): the value the vest plays for a code, and what a sample
// becomes after encoding and decoding at a depth (3: 16 bits, 2: 8, 1: 4).
float decodedValue(uint8_t depthCode, int code);
float quantized(uint8_t depthCode, float x);
// Encoding byte and sample count the vest expects for a duration.
struct ExpectedEncoding {
    uint8_t encoding;
    unsigned samples;
};
ExpectedEncoding expectedEncoding(uint32_t durationUs, unsigned channels);

class StreamingVest {
public:
    StreamingVest(std::shared_ptr<VestModel> vest, StreamingOptions options = {});
    ~StreamingVest();
    StreamingVest(const StreamingVest&) = delete;
    StreamingVest& operator=(const StreamingVest&) = delete;

    bool streaming() const;
    // The host's StopStream has been answered.
    bool stoppedByHost() const;
    // The host answered the vest's own StopStream.
    bool vestStopAcknowledged() const;
    // The blocks kept (all of them, or the latest blockHistory).
    std::vector<StreamBlock> blocks() const;
    std::vector<std::string> problems() const;
    StreamStats stats() const;
    // Decoded signal of each channel at 2000 Hz from time stamp 0.
    std::vector<std::vector<float>> signals() const;
    // Waits until this many requests were answered, or the deadline.
    bool waitAnswered(std::size_t count, Clock::time_point deadline) const;

    struct State;

private:
    void pace();

    std::shared_ptr<VestModel> vest_;
    std::shared_ptr<State> state_;
    std::thread pacer_;
};

// Writes the signals as a 16-bit PCM WAV file, one channel per actuator.
// False when the file cannot be written.
bool writeWav(const std::string& path, const std::vector<std::vector<float>>& channels,
              unsigned sampleRate);

}  // namespace vbz::emu
