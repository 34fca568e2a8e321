#include "tessaron-core/src/model/VolumeEnvelope.h"

#include <algorithm>
#include <cmath>

#include "tessaron-core/src/filter/Saturating.h"
#include "tessaron-core/src/render/RenderKernels.h"

namespace tsr {

bool VolumeEnvelope::addPoint(double t, double v) {
    if (std::isnan(t)) return false;
    if (!points_.empty()) {
        const Point& last = points_.back();
        if (!(t > last.time)) return false;
        const double slope = (v - last.value) / (t - last.time);
        segments_.push_back({slope, last.value - slope * last.time});
    }
    points_.push_back({t, v});
    return true;
}

float VolumeEnvelope::valueAt(double t) const {
    if (points_.empty()) return 0.0f;
    const auto it = std::lower_bound(points_.begin(), points_.end(), t,
                                     [](const Point& p, double x) { return p.time < x; });
    if (it == points_.begin()) return static_cast<float>(it->value);
    if (it == points_.end()) return static_cast<float>(points_.back().value);
    const Segment& s = segments_[static_cast<std::size_t>(it - points_.begin()) - 1];
    return static_cast<float>(s.slope * t + s.intercept);
}

void VolumeEnvelope::apply(double t0, double dt, float* samples, std::size_t n) const {
    if (points_.empty()) {
        std::fill(samples, samples + n, 0.0f);
        return;
    }
    const std::size_t count = points_.size();
    // k: the first point whose time is at or after t; it only moves forward
    // while t grows.
    std::size_t k = 0;
    double t = t0;
    for (std::size_t i = 0; i < n; ++i) {
        while (k < count && points_[k].time < t) ++k;
        float v;
        if (k == 0) {
            v = static_cast<float>(points_[0].value);
        } else if (k == count) {
            v = static_cast<float>(points_.back().value);
        } else {
            const Segment& s = segments_[k - 1];
            v = static_cast<float>(s.slope * t + s.intercept);
        }
        samples[i] *= v;
        t += dt;
    }
}

}  // namespace tsr

namespace tsr {

void VolumeEnvelope::applyWithGain(double t0, double dt, float gain, float* samples, std::size_t n) const {
    if (points_.empty() || !(dt > 0.0) || !std::isfinite(dt) || !std::isfinite(t0)) {
        // Silence, or times that do not move on: nothing to gain by stretches.
        for (std::size_t i = 0; i < n; ++i) samples[i] *= gain;
        apply(t0, dt, samples, n);
        return;
    }
    const RenderKernels& kernels = renderKernels();
    const std::size_t count = points_.size();
    const double g = static_cast<double>(gain);
    // As in apply: sample i lies in stretch k, the first point at or after its time.
    std::size_t k = static_cast<std::size_t>(
        std::lower_bound(points_.begin(), points_.end(), t0, [](const Point& p, double x) { return p.time < x; }) -
        points_.begin());
    std::size_t i = 0;
    while (i < n) {
        std::size_t end = n;
        if (k < count) {
            const uint64_t within = saturatingToU64(std::floor((points_[k].time - t0) / dt) + 1.0);
            end = std::max(i, static_cast<std::size_t>(std::min<uint64_t>(within, n)));
        }
        if (end > i) {
            double a;
            double b = 0.0;
            if (k == 0) {
                a = g * points_[0].value;
            } else if (k == count) {
                a = g * points_.back().value;
            } else {
                const Segment& s = segments_[k - 1];
                a = g * (s.slope * (t0 + static_cast<double>(i) * dt) + s.intercept);
                b = g * s.slope * dt;
            }
            kernels.scaleByLine(samples + i, end - i, a, b);
            i = end;
        }
        ++k;
    }
}

}  // namespace tsr
