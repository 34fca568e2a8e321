// Making transports by kind, and what every back-end that opens them shares:
// the order in which the kinds are tried for a requested output, and the
// linking of a scan's records into the list the application walks.
//
// makeTransport lives in a file of its own, so that a program that never
// makes a transport by kind does not pull in the transports (and their
// system libraries). The Wi-Fi transport broadcasts discovery on every
// interface: a test program that links it runs in a network namespace of
// its own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/IHidCom.h"

namespace vbz {

// A new, unconnected transport of a kind (USB 2, Wi-Fi 3, Bluetooth 1);
// null when this build has no such transport.
using TransportFactory = std::function<std::unique_ptr<IHidCom>(vbz_output_t kind)>;
std::unique_ptr<IHidCom> makeTransport(vbz_output_t kind);

// The kinds tried for a requested output, in order: USB (output 0 or 2),
// Wi-Fi (0 or 3), Bluetooth (0 or 1).
std::vector<vbz_output_t> transportsFor(vbz_output_t output);

// Points each record's version at its text (two texts per record: version,
// address) and its `next` at the following record. Call once the vectors
// no longer grow: moving them afterwards keeps the pointers valid.
void linkScannedDevices(std::vector<vbz_device_info_t>& devices,
                        const std::vector<std::string>& texts);

}  // namespace vbz
