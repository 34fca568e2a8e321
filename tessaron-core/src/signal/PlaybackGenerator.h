// Plays a cropped stretch of one waveform of the signal bank at any output
// rate, through a resampler of its own. The one concrete ISignalGenerator:
// every effect holds one by value, built from the same pattern sample object.
//
// The sample's "signalIndex" chooses the bank row (low 16 bits) and the
// synchronised mark (bit 16); a row of 204 or more gives an empty generator.
// "startCrop" and "stopCrop" (seconds, stopCrop 0 = to the end) crop it.
//
// Threads: as ISignalGenerator; no lock of its own. generate() allocates
// nothing.
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "tessaron-core/src/filter/Resampler.h"
#include "tessaron-core/src/signal/SignalGenerator.h"

namespace tsr {

class PlaybackGenerator final : public ISignalGenerator {
public:
    // sample is a pattern sample object as the pattern loader validated it.
    // A "signalIndex", "startCrop" or "stopCrop" that is absent or not a
    // number throws nlohmann::json::type_error (302), as the JSON library's
    // own conversions do; the code that builds effects turns it into a code.
    explicit PlaybackGenerator(const nlohmann::json& sample);

    double duration() const override { return cropDuration_; }
    void reset() override;
    uint64_t generate(double outputRate, float gain, std::vector<float>& out) override;
    uint64_t contentKey() const override;

    uint64_t index() const { return index_; }
    uint64_t cropStart() const { return start_; }
    uint64_t cropEnd() const { return end_; }
    uint64_t playhead() const { return playhead_; }
    // The sample the output interpolates towards after the crop's last one.
    float nextSample() const { return nextSample_; }

private:
    uint64_t index_ = 0;
    uint64_t start_ = 0;
    uint64_t end_ = 0;
    uint64_t playhead_ = 0;
    double cropDuration_ = 0.0;
    float nextSample_ = 0.0f;
    Resampler resampler_;
    ResampleJob job_;
};

}  // namespace tsr
