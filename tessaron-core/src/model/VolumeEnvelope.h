// A piecewise-linear volume curve over an effect's content time, from the
// sample's "volumeKeyframes". Owned by value by its effect.
#pragma once

#include <cstddef>
#include <vector>

namespace tsr {

class VolumeEnvelope {
public:
    struct Point {
        double time;
        double value;
    };
    struct Segment {
        double slope;
        double intercept;
    };

    // Refuses (false, nothing stored) a time that is not after the last one.
    bool addPoint(double t, double v);
    // No point: 0; before the first point: its value; after the last: the last
    // value; else the segment's line at t, as float.
    float valueAt(double t) const;
    // Multiplies sample i by the value at t0 + i * dt (no point: silence).
    void apply(double t0, double dt, float* samples, std::size_t n) const;
    // The same times gain, one straight stretch per segment that the block
    // crosses rather than a search per sample; equal to apply up to the last
    // bits.
    void applyWithGain(double t0, double dt, float gain, float* samples, std::size_t n) const;

    const std::vector<Point>& points() const { return points_; }
    const std::vector<Segment>& segments() const { return segments_; }

private:
    std::vector<Point> points_;
    std::vector<Segment> segments_;
};

}  // namespace tsr
