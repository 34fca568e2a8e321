// Where the Bluetooth transport gets its inquiry and its sockets: the
// default makes BlueZ's; tests hand in their own (scripted device lists,
// sockets over a Unix socket pair).
//
// Threads: called on the transport owner's thread only.
#pragma once

#include <memory>
#include <string>

#include "device/bluetooth/BtInquiry.h"
#include "device/bluetooth/BtRfcommSocket.h"

namespace vbz {

class BtLinkFactory {
public:
    virtual ~BtLinkFactory() = default;
    // May throw BluetoothException.
    virtual std::unique_ptr<BtInquiry> makeInquiry() { return std::make_unique<BtInquiry>(); }
    // May throw BluetoothException; the socket is not connected yet.
    virtual std::unique_ptr<BtRfcommSocket> makeSocket(const std::string& address, int channelID) {
        return std::make_unique<BtRfcommSocket>(address, channelID);
    }
};

}  // namespace vbz
