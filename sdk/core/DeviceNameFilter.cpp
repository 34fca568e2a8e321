#include "sdk/core/DeviceNameFilter.h"

namespace vbz {

const std::regex deviceNameRegex(kDeviceNamePattern, std::regex::ECMAScript | std::regex::icase);

bool isVestDeviceName(const char* name) { return name && std::regex_search(name, deviceNameRegex); }

}  // namespace vbz
