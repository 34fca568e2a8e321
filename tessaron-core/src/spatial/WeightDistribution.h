// Weight distributions: turn a scaled distance from a vicinity's centre (1 on
// the ellipsoid's surface) into an actuator weight. Shared through
// std::shared_ptr by the vicinities that use them; rendering thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tsr {

class IWeightDistribution {
public:
    virtual ~IWeightDistribution() = default;
    // Clamped to [0, 100]; NaN counts as 0.
    virtual void setGain(float gain) = 0;
    virtual void setRadii(float r0, float r1, float r2, float r3) = 0;
    // Replaces every distance by its weight, in place.
    virtual void apply(std::span<double> values) const = 0;
    virtual float gain() const = 0;
};

// Flat top of height gain between r1 and r2, zero below r0 and from r3 on,
// edges shaped by gain * (1 - x + x^2/2 - x^3/6), the cubic Taylor polynomial
// of a Gaussian, which falls to about a thousandth of the gain at its far end.
class WDFastGaussian : public IWeightDistribution {
public:
    WDFastGaussian(float gain, float r0, float r1, float r2, float r3, std::string name);

    void setGain(float gain) override;
    void setRadii(float r0, float r1, float r2, float r3) override;
    void apply(std::span<double> values) const override;

    float gain() const override { return gain_; }
    uint32_t kind() const { return 0; }
    const std::string& name() const { return name_; }
    float r0() const { return r0_; }
    float r1() const { return r1_; }
    float r2() const { return r2_; }
    float r3() const { return r3_; }
    double k1() const { return k1_; }
    double k2() const { return k2_; }
    double gainSixth() const { return gainSixth_; }

private:
    void updateCoefficients();

    std::string name_;
    float gain_ = 0.0f;
    float r0_, r1_, r2_, r3_;
    double k1_ = 0.0, k2_ = 0.0, gainSixth_ = 0.0;
};

std::shared_ptr<WDFastGaussian> makeWDFastGaussian(float gain, float r0, float r1, float r2, float r3,
                                                   std::string name);

}  // namespace tsr
