#include "tessaron-core/src/spatial/SpatialProperties.h"

namespace tsr {

void SpatialProperties::reset() {
    dirty_ = true;
    translation_ = {0.0, 0.0, 0.0};
    rotation_ = {0.0, 0.0, 0.0};
    frontBackInversion_ = upDownInversion_ = rightLeftInversion_ = false;
    frontBackAddition_ = upDownAddition_ = rightLeftAddition_ = false;
}

void SpatialProperties::setTranslation(double x, double y, double z) {
    translation_ = {x, y, z};
    dirty_ = true;
}

void SpatialProperties::setRotation(double a, double b, double c) {
    rotation_ = {a, b, c};
    dirty_ = true;
}

void SpatialProperties::setFrontBackInversion(bool on) {
    frontBackInversion_ = on;
    dirty_ = true;
}
void SpatialProperties::setUpDownInversion(bool on) {
    upDownInversion_ = on;
    dirty_ = true;
}
void SpatialProperties::setRightLeftInversion(bool on) {
    rightLeftInversion_ = on;
    dirty_ = true;
}
void SpatialProperties::setFrontBackAddition(bool on) {
    frontBackAddition_ = on;
    dirty_ = true;
}
void SpatialProperties::setUpDownAddition(bool on) {
    upDownAddition_ = on;
    dirty_ = true;
}
void SpatialProperties::setRightLeftAddition(bool on) {
    rightLeftAddition_ = on;
    dirty_ = true;
}

}  // namespace tsr
