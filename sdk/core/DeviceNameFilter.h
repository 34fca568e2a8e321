// Recognises the vest among the computer's audio devices by its name, so that
// its own loopback is neither listed nor taken by default, and so that the
// audio presets can find it.
#pragma once

#include <regex>
#include <string>

namespace vbz {

// ECMAScript, matched case-insensitively and searched anywhere in a name.
inline constexpr const char* kDeviceNamePattern = "((rvd)[-_\\s.]*(mk)[-_\\s.](i|v|x)+|vibrenza)";

// Built at load, never changed.
extern const std::regex deviceNameRegex;

// True when the expression is found anywhere in `name`; false for null.
bool isVestDeviceName(const char* name);

}  // namespace vbz
