#include "tessaron-core/src/model/RepeatedEffect.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace tsr {
namespace {
// A repetition count of any JSON number kind; counts past the u32 range
// saturate (2^32 + 1 must not play once).
uint32_t readRepeatCount(const nlohmann::json& value) {
    if (value.is_number_unsigned()) return saturateToU32(value.get<uint64_t>());
    if (value.is_number_integer()) {
        const int64_t v = value.get<int64_t>();
        return v <= 0 ? 0 : saturateToU32(static_cast<uint64_t>(v));
    }
    return saturateToU32(value.get<double>());
}
}  // namespace

RepeatedEffect::RepeatedEffect(const nlohmann::json& sample, double prevEnd) {
    const double gap = std::max(sample.at("timestamp").get<double>() - prevEnd, 0.0);
    const double preDelay = sample.at("preDelay").get<double>();
    const double postDelay = sample.at("postDelay").get<double>();
    const double maxDuration = sample.at("maxDuration").get<double>();
    manager_.startOffset = preDelay + gap;
    manager_.repeatDelay = preDelay + postDelay;
    manager_.repeatCount = readRepeatCount(sample.at("repeatCount"));
    manager_.maxDuration = maxDuration == 0.0 ? 0.0 : maxDuration + gap;
    manager_.realTime = 0;
    manager_.filler = std::make_unique<Effect>(sample);
}

}  // namespace tsr
