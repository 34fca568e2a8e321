#include <gtest/gtest.h>

#include <cstring>

#include "sdk/core/DeviceNameFilter.h"

using vbz::isVestDeviceName;

TEST(DeviceNameFilter, PatternIsExactlyTheFilterText) {
    EXPECT_EQ(std::strlen(vbz::kDeviceNamePattern), 43u);
    EXPECT_STREQ(vbz::kDeviceNamePattern, "((rvd)[-_\\s.]*(mk)[-_\\s.](i|v|x)+|vibrenza)");
}

TEST(DeviceNameFilter, RecognisesTheVestInAnyCaseAnywhereInTheName) {
    for (const char* name : {"VIBRENZA", "Speakers (2- Vibrenza Audio)", "vibrenza-audio", "RVD MK II",
                             "Headset rvd-mk-v", "RvdMk.X", "rvd__mk_ii", "RVD MK XIV (USB)"})
        EXPECT_TRUE(isVestDeviceName(name)) << name;
}

TEST(DeviceNameFilter, LeavesOtherDevicesAlone) {
    // MK needs exactly one separator before the numeral.
    for (const char* name : {"RVD MKII", "RVD MK  II", "Speakers", "vibren za", "RVD MK 2", "", "RV MK II"})
        EXPECT_FALSE(isVestDeviceName(name)) << name;
    EXPECT_FALSE(isVestDeviceName(nullptr));
}
