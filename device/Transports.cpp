// The transports a vest stream can open, by kind. Kept apart from the
// stream so that a program that never makes a stream with the default
// factory does not pull in the transports (and their system libraries).
//
// The Wi-Fi transport broadcasts discovery on every interface: a test
// program that links this file runs in a network namespace of its own.
#include <memory>

#include "device/HidComBT.h"
#include "device/HidComUdp.h"
#include "device/HidComUsb.h"
#include "streaming/StreamHid.h"

namespace vbz {

std::unique_ptr<IHidCom> StreamHid::makeTransport(vbz_output_t kind) {
    switch (kind) {
        case VBZ_OUTPUT_USB: return std::make_unique<HidComUsb>();
        case VBZ_OUTPUT_WIFI: return std::make_unique<HidComUdp>();
        case VBZ_OUTPUT_BLUETOOTH: return std::make_unique<HidComBT>();
        default: return nullptr;  // not part of this build
    }
}

}  // namespace vbz
