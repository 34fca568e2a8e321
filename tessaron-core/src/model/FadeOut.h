// The fade-out ramp of a stopping sequence: a level that falls by `step` per
// output sample from position 0 of the buffer being rendered. Owned by its
// sequence and passed down its object model on every render.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsr {

class FadeOut {
public:
    // Level 1, falling by s per sample (0: no fade; negative as 0).
    void start(double s);
    // New slope from the current level.
    void setStep(double s);
    bool isActive() const { return step_ > 0.0; }
    // Samples until the level reaches 0, from position 0; saturating.
    uint64_t samplesLeft() const;
    // Moves position 0 forward by n samples.
    void advance(uint64_t n);
    // Multiplies n samples that start at buffer position offset by the ramp;
    // the stored level does not change.
    void apply(std::size_t offset, float* samples, std::size_t n) const;

    double level() const { return level_; }
    double step() const { return step_; }

private:
    double level_ = 1.0;
    double step_ = 0.0;
};

}  // namespace tsr
