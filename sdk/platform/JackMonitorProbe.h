// Asks the JACK server which clients expose monitor ports: audio output ports
// whose short name begins with "monitor_", as the sinks of a desktop sound
// server do through its JACK interface. A short-lived client that never starts
// a server; the server is the default one or the one JACK_DEFAULT_SERVER names.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vbz {

struct JackMonitorClient {
    std::string clientName;
    int monitorPorts = 0;
};

// Clients with at least one monitor port, in the server's port order. None
// when no server could be reached; libjack then prints why unless the caller
// holds an AudioLibraryMessageScope.
std::optional<std::vector<JackMonitorClient>> probeJackMonitorClients();

}  // namespace vbz
