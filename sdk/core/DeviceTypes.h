// Device-type codes reported by vests, mapped to vbz_device_type_t.
#pragma once

#include <cstdint>

#include "vibrenza/vbz_types.h"

namespace vbz {
// The known codes map to themselves (0xFFFFFFFF is -1); any other code is -1.
vbz_device_type_t deviceTypeFromCode(uint32_t code);
}  // namespace vbz

using vbz::deviceTypeFromCode;
