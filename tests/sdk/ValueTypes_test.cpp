#include <gtest/gtest.h>

#include <cstring>

#include "sdk/core/DeviceTypes.h"
#include "vibrenza/vbz_types.h"

TEST(DeviceTypes, KnownCodesMapToThemselvesOthersToMinusOne) {
    EXPECT_EQ(deviceTypeFromCode(0x01100101u), 17826049);
    EXPECT_EQ(deviceTypeFromCode(0x0122FFFFu), 19070975);
    EXPECT_EQ(deviceTypeFromCode(0x0123FFFFu), 19136511);
    EXPECT_EQ(deviceTypeFromCode(0xFFFFFFFFu), -1);
    EXPECT_EQ(deviceTypeFromCode(0u), -1);
    EXPECT_EQ(deviceTypeFromCode(1u), -1);
    // No masking: a neighbouring code is unknown.
    EXPECT_EQ(deviceTypeFromCode(0x01100102u), -1);
    // Applying it to its own result gives the same value.
    EXPECT_EQ(deviceTypeFromCode(static_cast<uint32_t>(deviceTypeFromCode(0x0122FFFFu))),
              19070975);
}

TEST(ValueTypes, EffectPropertiesDefaults) {
    vbz_effect_properties_t p;
    EXPECT_EQ(p.priority, 5);
    EXPECT_FLOAT_EQ(p.volume, 100.0f);
    EXPECT_FLOAT_EQ(p.speed, 1.0f);
    EXPECT_EQ(p.repeatCount, 1);
    EXPECT_EQ(p.repeatDelay, 0.0f);
    EXPECT_EQ(p.playAtTime, 0.0f);
    EXPECT_EQ(p.maxDuration, 0.0f);
    EXPECT_EQ(p.effectBoost, 0);
    EXPECT_FALSE(p.overridePatternBoost);
    EXPECT_EQ(p.height, 0.0f);
    EXPECT_EQ(p.heading, 0.0f);
    EXPECT_EQ(p.tilting, 0.0f);
    EXPECT_FALSE(p.frontBackInversion || p.upDownInversion || p.rightLeftInversion ||
                 p.frontBackAddition || p.upDownAddition || p.rightLeftAddition);
}

TEST(ValueTypes, AudioSettingsDefaults) {
    vbz_audio_settings_t s;
    EXPECT_STREQ(s.deviceName, "default_output");
    EXPECT_STREQ(s.audioAPI, "any_API");
    EXPECT_EQ(s.sampleRate, 48000u);
    EXPECT_EQ(s.bufferSize, 256u);
    EXPECT_EQ(s.nbStreamChannel, -1);
    EXPECT_EQ(s.suggestedOutputLatency, 0.0f);
}

TEST(ValueTypes, AssignmentsCopyPointersAndLeaveMovedFromSourceIntact) {
    const char* version = "1.2.3";
    vbz_device_info_t second{};
    vbz_device_info_t first{};
    first.outputType = VBZ_OUTPUT_USB;
    first.serialNumber = 42;
    first.deviceType = VBZ_DEVICE_UNKNOWN;
    first.deviceVersion = version;
    first.next = &second;

    vbz_device_info_t copy{};
    copy = first;
    EXPECT_EQ(copy.deviceVersion, version);
    EXPECT_EQ(copy.next, &second);
    EXPECT_EQ(copy.serialNumber, 42u);

    vbz_device_info_t moved{};
    moved = std::move(first);
    EXPECT_EQ(moved.next, &second);
    EXPECT_EQ(first.next, &second);

    vbz_audio_settings_t a;
    const char* name = "speakers";
    a.deviceName = name;
    vbz_audio_settings_t b;
    b = std::move(a);
    EXPECT_EQ(b.deviceName, name);
    EXPECT_EQ(a.deviceName, name);

    vbz_effect_properties_t p;
    p.volume = 33.0f;
    vbz_effect_properties_t q;
    q = p;
    EXPECT_EQ(q.volume, 33.0f);
}
