// One Bluetooth device listed by BtInquiry.
//
// From bluetoothd's list (the usual case on a desktop):
// - every device of the first adapter that bluetoothd knows: paired,
//   remembered or lately seen, discoverable now or not.
// - `name` is the Alias (the user's name for it), else the device's Name.
// - `remembered` and `authenticated` are both Paired (a bond exists).
//   Trusted alone only lets a device connect without asking, which is no
//   pairing, so it does not count.
// - `lastSeen` is the time of the listing for a device that a running
//   discovery sees (it has a signal strength), else 0; `lastUsed` is always
//   0: bluetoothd tells neither time.
// - the class fields are 0 for a device that gives no class (Bluetooth LE).
//
// From the radio inquiry (when bluetoothd is not on the bus):
// - Only devices that answer the inquiry are listed. A paired vest that is
//   not discoverable at the moment does not appear.
// - `lastSeen` is the time of the inquiry that listed the device;
//   `lastUsed` is always 0.
// - `remembered` and `authenticated` come from bluetoothd's stored pairing
//   (a link key) when the process may read it. When it may not (an ordinary
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
