// One Bluetooth device listed by BtInquiry.
//
// What BlueZ can tell differs from what the flags below suggest:
// - Only devices that answer the inquiry are listed. A paired vest that is
//   not discoverable at the moment does not appear.
// - `lastSeen` is the time of the inquiry that listed the device;
//   `lastUsed` is always 0: BlueZ keeps no such time.
// - `remembered` and `authenticated` come from BlueZ's stored pairing (a
//   link key) when the process may read it. When it may not (an ordinary
//   user cannot read bluetoothd's storage), `remembered` is false and
//   `authenticated` is true: the pairing is unknown, and a vest that is not
//   paired fails at connect time instead of being hidden. A device with an
//   authenticated link open right now is authenticated in any case.
#pragma once

#include <cstdint>
#include <string>

namespace vbz {

struct BtDeviceInfo {
    std::string address;  // "00:11:22:33:44:55", most significant byte first
    std::string name;
    int64_t lastSeen = 0;  // calendar time in seconds, 0 when unknown
    int64_t lastUsed = 0;
    bool connected = false;
    bool remembered = false;
    bool authenticated = false;
    uint32_t deviceClass = 0;       // class of device & 0x1FFC
    uint32_t majorDeviceClass = 0;  // class of device & 0x1F00
    uint32_t serviceClass = 0;      // class of device >> 13
};

}  // namespace vbz
