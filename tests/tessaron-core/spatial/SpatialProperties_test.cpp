#include "tessaron-core/src/spatial/SpatialProperties.h"

#include <gtest/gtest.h>

using tsr::SpatialProperties;

TEST(SpatialProperties, EverySetterMarksDirtyAndResetClears) {
    SpatialProperties p;
    EXPECT_TRUE(p.isDirty());
    EXPECT_EQ(p.height(), 0.0);
    EXPECT_EQ(p.heading(), 0.0);
    EXPECT_EQ(p.tilting(), 0.0);

    void (SpatialProperties::*flags[])(bool) = {
        &SpatialProperties::setFrontBackInversion, &SpatialProperties::setUpDownInversion,
        &SpatialProperties::setRightLeftInversion, &SpatialProperties::setFrontBackAddition,
        &SpatialProperties::setUpDownAddition,     &SpatialProperties::setRightLeftAddition};
    for (auto set : flags) {
        p.setDirty(false);
        (p.*set)(false);  // the same value still counts as a change
        EXPECT_TRUE(p.isDirty());
        (p.*set)(true);
    }
    EXPECT_TRUE(p.frontBackInversion() && p.upDownInversion() && p.rightLeftInversion());
    EXPECT_TRUE(p.frontBackAddition() && p.upDownAddition() && p.rightLeftAddition());

    p.setDirty(false);
    p.setRotation(0, 1.5707963267948966, 0.25);
    EXPECT_TRUE(p.isDirty());
    EXPECT_EQ(p.heading(), 1.5707963267948966);
    EXPECT_EQ(p.tilting(), 0.25);
    p.setDirty(false);
    p.setTranslation(0, static_cast<double>(1.0f * 0.24f), 0);
    EXPECT_TRUE(p.isDirty());
    EXPECT_EQ(p.height(), 0.23999999463558197);

    SpatialProperties copy = p;  // a moved or copied sequence keeps its record
    EXPECT_TRUE(copy.isDirty());
    EXPECT_EQ(copy.heading(), p.heading());
    EXPECT_TRUE(copy.rightLeftAddition());

    p.setDirty(false);
    p.reset();
    EXPECT_TRUE(p.isDirty());
    EXPECT_EQ(p.translation(), (std::array<double, 3>{0, 0, 0}));
    EXPECT_EQ(p.rotation(), (std::array<double, 3>{0, 0, 0}));
    EXPECT_FALSE(p.frontBackInversion() || p.upDownInversion() || p.rightLeftInversion());
    EXPECT_FALSE(p.frontBackAddition() || p.upDownAddition() || p.rightLeftAddition());
}
