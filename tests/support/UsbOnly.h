// A transport factory that opens USB and nothing else, so that a handler
// never reaches for Wi-Fi or Bluetooth in tests that plug a vest on the
// emulated USB bus alone.
#pragma once

#include <memory>

#include "device/TransportFactory.h"

namespace vbz_test {

inline std::unique_ptr<vbz::IHidCom> usbOnly(vbz_output_t kind) {
    return kind == VBZ_OUTPUT_USB ? vbz::makeTransport(kind) : nullptr;
}

}  // namespace vbz_test
