// Lists the Bluetooth devices around: an inquiry on the first adapter
// (BlueZ's HCI interface), with each device's name and class. See
// BtDeviceInfo.h for what the records can and cannot tell on this platform.
//
// A machine without an adapter (or without Bluetooth in its kernel) lists
// nothing; any other failure throws BluetoothException. Nothing is logged.
//
// Threads: one thread at a time. inquire() blocks for the inquiry (up to
// about ten seconds; the kernel answers at once from its recent results).
#pragma once

#include <string>
#include <vector>

#include "device/bluetooth/BtDeviceInfo.h"

namespace vbz {

class BtInquiry {
public:
    BtInquiry() = default;
    virtual ~BtInquiry() = default;
    BtInquiry(const BtInquiry&) = delete;
    BtInquiry& operator=(const BtInquiry&) = delete;

    virtual std::vector<BtDeviceInfo> inquire();
};

}  // namespace vbz
