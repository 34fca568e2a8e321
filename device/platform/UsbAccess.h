// What to tell the user when a vest's USB node cannot be opened for want of
// permission. On Linux an ordinary user may open a hidraw node only when a
// udev rule lets them; the SDK ships one (70-vibrenza.rules).
#pragma once

#include <string>

namespace vbz {

// The udev rule file that the install rules put in the prefix's rules folder.
inline constexpr const char* kUsbUdevRule = "70-vibrenza.rules";

// The line to log after opening path failed with errno openError: it says
// that permission was denied and names the rule; "" when the failure was
// not a permission error.
std::string usbPermissionHint(const std::string& path, int openError);

}  // namespace vbz
