#include "tessaron-core/src/signal/PlaybackGenerator.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tessaron-core/src/signal/SignalBank.h"
#include "tessaron-core/src/tsr/time_utils.h"

namespace tsr {
namespace {

using json = nlohmann::json;

constexpr uint64_t kSynchronizedBit = 0x10000;
constexpr uint64_t kRowMask = 0xFFFF;

double bankRate() { return static_cast<double>(signalBankSampleRate()); }

// The sample's value under key; absent keys read as null so that they raise
// the same type error as any other non-number.
const json& field(const json& sample, const char* key) {
    static const json none;
    if (!sample.is_object()) return none;
    const auto it = sample.find(key);
    return it == sample.end() ? none : *it;
}

// signalIndex as 64 bits: unsigned as is, signed as its two's-complement
// bits, floating-point truncated toward zero with saturation (NaN as 0).
uint64_t readIndex(const json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>();
    if (value.is_number_integer()) return static_cast<uint64_t>(value.get<int64_t>());
    if (value.is_number_float()) {
        const double v = std::trunc(value.get<double>());
        if (!(v > 0.0)) return 0;
        if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
        return static_cast<uint64_t>(v);
    }
    return value.get<uint64_t>();  // throws the library's type error
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

}  // namespace

PlaybackGenerator::PlaybackGenerator(const json& sample) {
    const uint64_t v = readIndex(field(sample, "signalIndex"));
    if (v & kSynchronizedBit) setSynchronized();
    index_ = v & kRowMask;
    if (index_ >= signalBankCount()) {
        // An unknown row plays nothing.
        index_ = 0;
    } else {
        const double startCrop = field(sample, "startCrop").get<double>();
        const double stopCrop = field(sample, "stopCrop").get<double>();
        const uint64_t len = signalLength(index_);
        start_ = secondsToSamples(startCrop, bankRate());
        end_ = stopCrop == 0.0 ? len : secondsToSamples(stopCrop, bankRate());
        start_ = std::min(start_, len);
        end_ = std::max(std::min(end_, len), start_);
        if (end_ < len) nextSample_ = *signalSamples(index_, end_);
    }
    playhead_ = start_;
    cropDuration_ = samplesToSeconds(bankRate(), end_ - start_);
}

void PlaybackGenerator::reset() {
    // Saturating: a time far beyond the crop must not wrap to before it.
    playhead_ = std::min(saturatingAdd(start_, secondsToSamples(time(), bankRate())), end_);
    resampler_.reset();
}

uint64_t PlaybackGenerator::generate(double outputRate, float gain, std::vector<float>& out) {
    if (playhead_ >= end_) return 0;
    job_.setSource(signalSamples(index_, playhead_), end_ - playhead_, true, nextSample_);
    job_.setDestination(out.data(), out.size());
    job_.setRatio(bankRate(), outputRate);
    resampler_.configure(outputRate, static_cast<double>(signalBandLow(index_)),
                         static_cast<double>(signalBandHigh(index_)), job_);
    resampler_.process(job_);  // a refused block consumes and produces nothing
    playhead_ = std::min(saturatingAdd(playhead_, job_.consumed()), end_);
    const uint64_t produced = std::min<uint64_t>(job_.produced(), out.size());
    if (gain != 1.0f) {
        for (uint64_t i = 0; i < produced; ++i) out[i] *= gain;
    }
    return produced;
}

uint64_t PlaybackGenerator::contentKey() const {
    return (((end_ << 8) ^ start_) << 8) ^ index_;
}

}  // namespace tsr
