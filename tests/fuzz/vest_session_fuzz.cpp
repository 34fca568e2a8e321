// A whole vest-stream session driven by the vest's bytes: the handshake
// (serial number, version, type, stream information), the start, the data
// requests with their time stamps and durations, the vest's stop and
// whatever else it sends, then the host's stop and close.
//
// The transport delivers what the input describes as real transports do:
// only good frames (the table length of their id, a right CRC) reach the
// stream, so the input gives each frame's id and payload and the CRC is
// computed here; it may also say "nothing came" or "the read failed". Time
// is a clock of the session's own that moves with every pause and every
// read that found nothing, so time-outs pass without waiting.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>

#include "device/Frame.h"
#include "device/IHidCom.h"
#include "streaming/StreamHid.h"

namespace {

struct Input {
    const uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
};

class SessionClock : public vbz::SteadyClock {
public:
    int64_t nowNanoseconds() override { return now; }
    void sleepNanoseconds(int64_t ns) override {
        if (ns > 0) now += ns;
    }
    int64_t now = 1'000'000'000'000;
};

class FuzzTransport : public vbz::IHidCom {
public:
    FuzzTransport(Input& in, SessionClock& clock) : in_(in), clock_(clock) {}
    int scan(std::vector<vbz_device_info_t>&, std::map<uint32_t, std::string>&,
             std::vector<std::string>&) override {
        return 0;
    }
    int open(uint32_t, std::string) override {
        connected = true;
        return 0;
    }
    int close() override {
        if (!connected) return -3;
        connected = false;
        return 0;
    }
    int write(const uint8_t*, int) override { return connected ? 0 : -3; }
    int read() override {
        if (!connected) return -3;
        if (!in_.more()) return idle();
        const uint8_t op = in_.byte() % 12;
        if (op == 10) return idle();
        if (op == 11) {
            clock_.sleepNanoseconds(2'000'000);
            return -6;
        }
        const auto& table = vbz::answerLengths();
        auto it = table.begin();
        std::advance(it, in_.byte() % table.size());
        const uint8_t id = it->first;
        const auto length = static_cast<uint16_t>(it->second);
        receiveBuffer.fill(0);
        receiveBuffer[0] = id;
        receiveBuffer[1] = vbz::kSyncByte1;
        receiveBuffer[2] = vbz::kSyncByte2;
        for (uint16_t i = 3; i + 2 < length && in_.more(); ++i) receiveBuffer[i] = in_.byte();
        vbz::commandCrc16(receiveBuffer.data(), length);
        clock_.sleepNanoseconds(100'000);
        return length;
    }

private:
    // Nothing came within a USB read's wait.
    int idle() {
        clock_.sleepNanoseconds(10'000'000);
        return 0;
    }
    Input& in_;
    SessionClock& clock_;
};

// A source of known, cheap samples that counts what it renders.
class CountingSource : public vbz::AbstractCore {
public:
    unsigned getChannelCount() override { return 20; }
    unsigned getBufferSize() override { return size_; }
    void setBufferSize(unsigned n) override { size_ = n; }
    double getSampleRate() override { return rate_; }
    void setSampleRate(double hz) override {
        if (hz > 0) rate_ = hz;
    }
    void render() override { rendered_ += size_; }
    double getSample(unsigned channel, unsigned index) override {
        return static_cast<double>((rendered_ + index + channel) % 2001) / 1000.0 - 1.0;
    }
    bool isPlaying() override { return true; }

private:
    unsigned size_ = 512;
    double rate_ = 48000.0;
    uint64_t rendered_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const unsigned serial = in.byte() % 2 ? 21030042u : 0u;
    auto clock = std::make_shared<SessionClock>();
    CountingSource source;
    std::mutex mutex;
    vbz::StreamHid stream(
        &source, &mutex, nullptr,
        [&](vbz_output_t kind) -> std::unique_ptr<vbz::IHidCom> {
            if (kind != VBZ_OUTPUT_USB) return nullptr;
            return std::make_unique<FuzzTransport>(in, *clock);
        },
        clock);
    if (stream.connect(VBZ_OUTPUT_USB, serial) == 0) {
        stream.run();
        stream.reset();
    }
    return 0;
}
