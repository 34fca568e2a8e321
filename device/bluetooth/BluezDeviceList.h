// The devices that bluetoothd knows, read from its object tree on D-Bus
// (org.bluez, the ObjectManager's GetManagedObjects): every device of the
// first adapter (hci0 before hci1; a powered one before one that is off)
// that it remembers, pairs with or has lately seen, listed at once, without
// an inquiry over the radio. Client of sd-bus (libsystemd).
//
// Threads: any thread; each call opens a bus connection of its own and
// closes it before returning. Nothing is logged.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device/bluetooth/BtDeviceInfo.h"

namespace vbz {

// busAddress: a D-Bus address ("unix:path=/run/dbus/system_bus_socket");
// empty means the system bus (DBUS_SYSTEM_BUS_ADDRESS when it is set).
//
// The list, paired devices first and otherwise in address order; empty when
// bluetoothd has no adapter. nullopt when bluetoothd cannot be asked: no
// bus at that address, nobody owns org.bluez there (it is not started on
// demand), the bus refuses the call, or no answer comes in time.
// Throws BluetoothException ("(74) Bad message") when the answer is not a
// BlueZ object tree, and the inquiry's out-of-memory text when memory runs
// out while reading it.
std::optional<std::vector<BtDeviceInfo>> bluezDeviceList(const std::string& busAddress);

}  // namespace vbz
