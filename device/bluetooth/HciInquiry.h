// The radio inquiry of the first adapter (BlueZ's HCI interface), for
// systems where bluetoothd is not on the bus: lists only the devices that
// answer it, with each one's name and class, pairing as far as bluetoothd's
// storage can be read (see BtDeviceInfo.h).
//
// A machine without an adapter (or without Bluetooth in its kernel) lists
// nothing; any other failure throws BluetoothException. Nothing is logged.
//
// Threads: any thread. Blocks for the inquiry (up to about ten seconds; the
// kernel answers at once from its recent results) and then up to five
// seconds per device whose name is asked.
#pragma once

#include <vector>

#include "device/bluetooth/BtDeviceInfo.h"

namespace vbz {

std::vector<BtDeviceInfo> hciInquiry();

}  // namespace vbz
