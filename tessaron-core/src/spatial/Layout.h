// Actuator layouts: where every actuator of the vest sits, and the three moves
// (height, heading, tilt) that a play's transform applies to a vicinity before
// its weights are computed. Shared through std::shared_ptr by the engine core
// and every effect render; used on the rendering thread only, no locking.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tessaron-core/src/spatial/SpatialMath.h"

namespace tsr {

constexpr int kLayoutBasic = 0;
constexpr int kLayoutVibrenzaCapsule = 1;

// Engine result codes used by layout loading.
constexpr int kErrorInvalidLayout = -98;
constexpr int kErrorInvalidOperation = -92;

class ILayout {
public:
    virtual ~ILayout() = default;

    // Replaces the positions from {"position": [[x, y, z], ...]}. 0 on success
    // (changed is then set), -98 on bad input with the layout left as it was.
    virtual int loadPositions(const std::string& json);

    // Moves a point vertically by dh metres.
    virtual void elevate(double dh, Point& p) const = 0;
    // Turns point and orientation about the vertical axis by angle radians.
    virtual void rotateHeading(double angle, Point& p, Quaternion& q) const = 0;
    // Tilts the orientation about z and moves the point along the body profile.
    virtual void tilt(double angle, Point& p, Quaternion& q) const = 0;

    uint32_t kind() const { return kind_; }
    // 3 x N, column i = (x, y, z) of actuator i (channel i of the engine).
    const Matrix& positions() const { return positions_; }
    int64_t actuatorCount() const { return static_cast<int64_t>(positions_.cols()); }

    // Set by a successful load; the render step clears it after each buffer.
    bool changed() const { return changed_; }
    void clearChanged() { changed_ = false; }

protected:
    explicit ILayout(uint32_t kind) : kind_(kind), positions_(3, 1) {}

    uint32_t kind_;
    bool changed_ = false;
    Matrix positions_;
};

// Positions loaded from JSON; its moves leave points where they are.
class LayoutBasic : public ILayout {
public:
    LayoutBasic() : ILayout(kLayoutBasic) {}
    void elevate(double, Point&) const override {}
    void rotateHeading(double, Point&, Quaternion&) const override {}
    void tilt(double, Point&, Quaternion&) const override {}
};

// The vest: 20 actuators on a capsule (vertical cylinder of half-height h with
// hemispherical caps). Its moves keep a point on the capsule through it that
// is concentric with the vest's.
class LayoutVibrenzaCapsule : public ILayout {
public:
    // Half-height of the cylinder, the single-precision 0.09 widened.
    static constexpr double kHalfHeight = static_cast<double>(0.09f);
    static constexpr int kActuatorCount = 20;

    LayoutVibrenzaCapsule();

    // Fixed positions: always -92, nothing changes.
    int loadPositions(const std::string& json) override;
    void elevate(double dh, Point& p) const override;
    void rotateHeading(double angle, Point& p, Quaternion& q) const override;
    void tilt(double angle, Point& p, Quaternion& q) const override;
    // The point's part of tilt: along the profile in the x-y plane, z kept.
    static void tiltPoint(double angle, Point& p);
    // The angle the cylinder's rim makes from the centre at profile radius
    // rho, kept for the next point of the same radius (its mirror images).
    struct TiltMemo {
        double rho = -1.0;
        double alpha = 0.0;
    };
    static void tiltPoint(double angle, Point& p, TiltMemo& memo);
};

// Kind 0 gives a LayoutBasic, any other kind the capsule.
std::shared_ptr<ILayout> makeLayout(int kind);
// The layout the engine uses: the capsule.
std::shared_ptr<ILayout> makeDefaultLayout();

}  // namespace tsr
