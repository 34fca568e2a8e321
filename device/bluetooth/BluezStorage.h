// What bluetoothd keeps on disk about a device that the adapter knows:
// whether it is paired (a stored link key) and its name. The files belong to
// root, so an ordinary process usually cannot tell.
#pragma once

#include <string>

namespace vbz {

struct BluezPairing {
    enum class State { Unknown, Paired, NotPaired };
    State state = State::Unknown;
    std::string name;  // the stored name, empty when none
};

// Looks in <root>/<adapter>/<device>/info; both addresses in the colon form.
// NotPaired when the adapter's folder can be read and holds no link key for
// the device; Unknown when the adapter's folder cannot be read.
BluezPairing readBluezPairing(const std::string& adapter, const std::string& device,
                              const std::string& root = "/var/lib/bluetooth");

}  // namespace vbz
