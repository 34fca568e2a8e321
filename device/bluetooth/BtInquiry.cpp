#include "device/bluetooth/BtInquiry.h"

#include <utility>

#include "device/bluetooth/BluezDeviceList.h"
#include "device/bluetooth/HciInquiry.h"

namespace vbz {

BtInquiry::BtInquiry(std::string busAddress) : busAddress_(std::move(busAddress)) {}

std::vector<BtDeviceInfo> BtInquiry::inquire() {
    if (auto known = bluezDeviceList(busAddress_)) return std::move(*known);
    return inquireByRadio();
}

std::vector<BtDeviceInfo> BtInquiry::inquireByRadio() { return hciInquiry(); }

}  // namespace vbz
