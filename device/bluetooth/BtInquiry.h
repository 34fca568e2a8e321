// Lists the Bluetooth devices that the platform knows: bluetoothd's list
// on D-Bus (BluezDeviceList.h) when bluetoothd is on the bus, which holds
// remembered and paired devices at once, whether or not they are
// discoverable now; otherwise an inquiry over the radio of the first adapter
// (HciInquiry.h), which only finds the devices that answer it. See
// BtDeviceInfo.h for what the records tell from each source.
//
// A machine without Bluetooth lists nothing; any other failure throws
// BluetoothException. Nothing is logged.
//
// Threads: one thread at a time. inquire() answers at once from
// bluetoothd; the radio inquiry blocks for up to about ten seconds and
// then for each device's name.
#pragma once

#include <string>
#include <vector>

#include "device/bluetooth/BtDeviceInfo.h"

namespace vbz {

class BtInquiry {
public:
    // Asks bluetoothd on the system bus.
    BtInquiry() = default;
    // Asks bluetoothd on the bus at this D-Bus address
    // ("unix:path=/some/socket"); empty means the system bus.
    explicit BtInquiry(std::string busAddress);
    virtual ~BtInquiry() = default;
    BtInquiry(const BtInquiry&) = delete;
    BtInquiry& operator=(const BtInquiry&) = delete;

    virtual std::vector<BtDeviceInfo> inquire();

protected:
    // The list when bluetoothd cannot be asked: the radio inquiry.
    virtual std::vector<BtDeviceInfo> inquireByRadio();

private:
    std::string busAddress_;
};

}  // namespace vbz
