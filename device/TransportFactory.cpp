#include "device/TransportFactory.h"

namespace vbz {

std::vector<vbz_output_t> transportsFor(vbz_output_t output) {
    std::vector<vbz_output_t> kinds;
    if (output == VBZ_OUTPUT_ANY || output == VBZ_OUTPUT_USB) kinds.push_back(VBZ_OUTPUT_USB);
    if (output == VBZ_OUTPUT_ANY || output == VBZ_OUTPUT_WIFI) kinds.push_back(VBZ_OUTPUT_WIFI);
    if (output == VBZ_OUTPUT_ANY || output == VBZ_OUTPUT_BLUETOOTH)
        kinds.push_back(VBZ_OUTPUT_BLUETOOTH);
    return kinds;
}

void linkScannedDevices(std::vector<vbz_device_info_t>& devices,
                        const std::vector<std::string>& texts) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
        devices[i].deviceVersion = 2 * i < texts.size() ? texts[2 * i].c_str() : nullptr;
        devices[i].next = i + 1 < devices.size() ? &devices[i + 1] : nullptr;
    }
}

}  // namespace vbz
