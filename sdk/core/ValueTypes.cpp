// Exported constructors and assignments of the interface records.
#include "vibrenza/vbz_types.h"

vbz_effect_properties_t::vbz_effect_properties_t()
    : priority(5),
      volume(100.0f),
      speed(1.0f),
      repeatCount(1),
      repeatDelay(0.0f),
      playAtTime(0.0f),
      maxDuration(0.0f),
      effectBoost(0),
      overridePatternBoost(false),
      height(0.0f),
      heading(0.0f),
      tilting(0.0f),
      frontBackInversion(false),
      upDownInversion(false),
      rightLeftInversion(false),
      frontBackAddition(false),
      upDownAddition(false),
      rightLeftAddition(false) {}

vbz_effect_properties_t& vbz_effect_properties_t::operator=(const vbz_effect_properties_t&) =
    default;
vbz_effect_properties_t& vbz_effect_properties_t::operator=(vbz_effect_properties_t&&) = default;

vbz_audio_settings_t::vbz_audio_settings_t()
    : deviceName("default_output"),
      audioAPI("any_API"),
      sampleRate(48000),
      bufferSize(256),
      nbStreamChannel(-1),
      suggestedOutputLatency(0.0f) {}

vbz_audio_settings_t& vbz_audio_settings_t::operator=(const vbz_audio_settings_t&) = default;
vbz_audio_settings_t& vbz_audio_settings_t::operator=(vbz_audio_settings_t&&) = default;

vbz_device_info_t& vbz_device_info_t::operator=(const vbz_device_info_t&) = default;
vbz_device_info_t& vbz_device_info_t::operator=(vbz_device_info_t&&) = default;
