// The golden file of the render comparison: the kept buffers of every
// scenario (GoldenScenarios.h), each sample quantised to 2^-22 of full scale
// (half a step, 1.2e-7, is well inside the comparison's 1e-6), coded per
// actuator and buffer as a flag (silent or not) and the zig-zag varints of
// each sample's difference from the straight line through the two before it:
// rendered signals are smooth at these rates, so most differences take a byte.
//
// Layout: "VBZRG1\n", the bank fingerprint (u64), the scenario count (u32),
// then per scenario its name (u32 length and bytes), kept buffers, actuators
// and frames (u32 each) and the coded buffers. Integers are little-endian.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace golden {

inline constexpr double kScale = 4194304.0;  // 2^22
inline constexpr char kMagic[] = "VBZRG1\n";

// One buffer: a vector of samples per actuator.
using Buffer = std::vector<std::vector<double>>;

struct Recording {
    std::string name;
    std::vector<Buffer> buffers;
};

struct GoldenData {
    uint64_t fingerprint = 0;
    std::vector<Recording> recordings;
};

class Writer {
public:
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFFu));
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFFu));
    }
    void varint(int64_t v) {
        uint64_t z = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
        while (z >= 0x80u) {
            bytes.push_back(static_cast<char>((z & 0x7Fu) | 0x80u));
            z >>= 7;
        }
        bytes.push_back(static_cast<char>(z));
    }
    void channel(const std::vector<double>& samples) {
        bool silent = true;
        for (double x : samples) silent = silent && x == 0.0;
        bytes.push_back(silent ? 0 : 1);
        if (silent) return;
        int64_t q1 = 0, q2 = 0;
        for (double x : samples) {
            const int64_t q = std::llround(x * kScale);
            varint(q - (2 * q1 - q2));
            q2 = q1;
            q1 = q;
        }
    }
    std::string bytes;
};

class Reader {
public:
    explicit Reader(const std::string& data) : data_(data) {}
    bool ok() const { return ok_; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(byte()) << (8 * i);
        return v;
    }
    int64_t varint() {
        uint64_t z = 0;
        for (int shift = 0; shift < 64 && ok_; shift += 7) {
            const uint8_t b = byte();
            z |= static_cast<uint64_t>(b & 0x7Fu) << shift;
            if ((b & 0x80u) == 0) break;
        }
        return static_cast<int64_t>(z >> 1) ^ -static_cast<int64_t>(z & 1u);
    }
    std::vector<double> channel(uint32_t frames) {
        std::vector<double> samples(frames, 0.0);
        if (byte() == 0) return samples;
        int64_t q1 = 0, q2 = 0;
        for (double& x : samples) {
            const int64_t q = varint() + (2 * q1 - q2);
            x = static_cast<double>(q) / kScale;
            q2 = q1;
            q1 = q;
        }
        return samples;
    }
    std::string text(uint32_t n) {
        if (pos_ + n > data_.size()) {
            ok_ = false;
            return {};
        }
        std::string s = data_.substr(pos_, n);
        pos_ += n;
        return s;
    }

private:
    uint8_t byte() {
        if (pos_ >= data_.size()) {
            ok_ = false;
            return 0;
        }
        return static_cast<uint8_t>(data_[pos_++]);
    }
    const std::string& data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

inline std::string encode(const GoldenData& golden) {
    Writer w;
    w.bytes.append(kMagic, sizeof kMagic - 1);
    w.u64(golden.fingerprint);
    w.u32(static_cast<uint32_t>(golden.recordings.size()));
    for (const Recording& r : golden.recordings) {
        w.u32(static_cast<uint32_t>(r.name.size()));
        w.bytes += r.name;
        const uint32_t channels = r.buffers.empty() ? 0 : static_cast<uint32_t>(r.buffers[0].size());
        const uint32_t frames = channels == 0 ? 0 : static_cast<uint32_t>(r.buffers[0][0].size());
        w.u32(static_cast<uint32_t>(r.buffers.size()));
        w.u32(channels);
        w.u32(frames);
        for (const Buffer& b : r.buffers) {
            for (const auto& ch : b) w.channel(ch);
        }
    }
    return w.bytes;
}

// False for a file that is not a whole golden file.
inline bool decode(const std::string& bytes, GoldenData& golden) {
    Reader r(bytes);
    if (r.text(sizeof kMagic - 1) != kMagic) return false;
    golden.fingerprint = r.u64();
    const uint32_t count = r.u32();
    for (uint32_t s = 0; s < count && r.ok(); ++s) {
        Recording rec;
        rec.name = r.text(r.u32());
        const uint32_t buffers = r.u32();
        const uint32_t channels = r.u32();
        const uint32_t frames = r.u32();
        for (uint32_t b = 0; b < buffers && r.ok(); ++b) {
            Buffer buffer;
            for (uint32_t c = 0; c < channels && r.ok(); ++c) buffer.push_back(r.channel(frames));
            rec.buffers.push_back(std::move(buffer));
        }
        golden.recordings.push_back(std::move(rec));
    }
    return r.ok();
}

}  // namespace golden
