// Vest bytes through the USB transport's answer path, over the hidapi
// double: the input's reports (see FuzzReports.h) are what the vest sends.
// The first byte says how many of them come before the transport opens,
// where the open's wait for the serial number answer must pass over them;
// the rest are taken by read(), one report each.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "device/HidComUsb.h"
#include "tests/fuzz/FuzzReports.h"
#include "tools/vest-emulator/VestModel.h"
#include "tools/vest-emulator/usb/UsbBus.h"

using vbz::emu::UsbBus;
using vbz::emu::VestModel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::size_t early = data[0] % 8;
    const auto reports = vbz_fuzz::pieces(data + 1, size - 1, 2 * vbz::kLongestAnswerLength);

    UsbBus::instance().reset();
    auto vest = std::make_shared<VestModel>(vbz::emu::VestIdentity::withSerial(21030042));
    UsbBus::instance().plug(vest);
    std::size_t next = 0;
    for (; next < reports.size() && next < early; ++next) vest->sendUnsolicited(reports[next]);
    {
        vbz::HidComUsb usb;
        if (usb.open(21030042, "") == 0) {
            for (; next < reports.size(); ++next) {
                vest->sendUnsolicited(reports[next]);
                const int r = usb.read();
                if (r > static_cast<int>(usb.receiveBuffer.size())) __builtin_trap();
            }
            usb.close();
        }
    }
    UsbBus::instance().reset();
    return 0;
}
