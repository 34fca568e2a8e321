// The spatial transform of one playing sequence: vertical offset, heading and
// tilt, and the mirror flags. The play path fills it right after creating the
// sequence; the spatialiser and the vicinities read it at every render. Owned
// by value by its sequence; not thread-safe (the engine's caller serialises).
#pragma once

#include <array>

namespace tsr {

class SpatialProperties {
public:
    SpatialProperties() { reset(); }

    // dirty, no offset, no rotation, every flag false.
    void reset();

    // (x, y, z) in metres; the play path puts the height in y.
    void setTranslation(double x, double y, double z);
    // Radians; the play path stores (0, heading, tilting).
    void setRotation(double a, double b, double c);

    void setFrontBackInversion(bool on);
    void setUpDownInversion(bool on);
    void setRightLeftInversion(bool on);
    void setFrontBackAddition(bool on);
    void setUpDownAddition(bool on);
    void setRightLeftAddition(bool on);

    bool isDirty() const { return dirty_; }
    void setDirty(bool dirty) { dirty_ = dirty; }

    const std::array<double, 3>& translation() const { return translation_; }
    const std::array<double, 3>& rotation() const { return rotation_; }
    double height() const { return translation_[1]; }
    double heading() const { return rotation_[1]; }
    double tilting() const { return rotation_[2]; }

    bool frontBackInversion() const { return frontBackInversion_; }
    bool upDownInversion() const { return upDownInversion_; }
    bool rightLeftInversion() const { return rightLeftInversion_; }
    bool frontBackAddition() const { return frontBackAddition_; }
    bool upDownAddition() const { return upDownAddition_; }
    bool rightLeftAddition() const { return rightLeftAddition_; }

private:
    bool dirty_ = true;
    std::array<double, 3> translation_{};
    std::array<double, 3> rotation_{};
    bool frontBackInversion_ = false;
    bool upDownInversion_ = false;
    bool rightLeftInversion_ = false;
    bool frontBackAddition_ = false;
    bool upDownAddition_ = false;
    bool rightLeftAddition_ = false;
};

}  // namespace tsr
