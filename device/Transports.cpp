// The transports by kind (see TransportFactory.h for why this file stands
// alone).
#include <memory>

#include "device/HidComBT.h"
#include "device/HidComUdp.h"
#include "device/HidComUsb.h"
#include "device/TransportFactory.h"

namespace vbz {

std::unique_ptr<IHidCom> makeTransport(vbz_output_t kind) {
    switch (kind) {
        case VBZ_OUTPUT_USB: return std::make_unique<HidComUsb>();
        case VBZ_OUTPUT_WIFI: return std::make_unique<HidComUdp>();
        case VBZ_OUTPUT_BLUETOOTH: return std::make_unique<HidComBT>();
        default: return nullptr;  // not part of this build
    }
}

}  // namespace vbz
