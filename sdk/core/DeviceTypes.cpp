#include "sdk/core/DeviceTypes.h"

#include <map>

namespace vbz {

namespace {
const std::map<uint32_t, vbz_device_type_t>& deviceTypes() {
    static const std::map<uint32_t, vbz_device_type_t> table = {
        {0xFFFFFFFFu, static_cast<vbz_device_type_t>(-1)},
        {0x01100101u, static_cast<vbz_device_type_t>(0x01100101)},
        {0x0122FFFFu, static_cast<vbz_device_type_t>(0x0122FFFF)},
        {0x0123FFFFu, static_cast<vbz_device_type_t>(0x0123FFFF)},
    };
    return table;
}
[[maybe_unused]] const auto& kLoaded = deviceTypes();
}  // namespace

vbz_device_type_t deviceTypeFromCode(uint32_t code) {
    const auto& table = deviceTypes();
    auto it = table.find(code);
    return it == table.end() ? VBZ_DEVICE_UNKNOWN : it->second;
}

}  // namespace vbz
