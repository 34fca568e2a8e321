#include "sdk/platform/JackMonitorProbe.h"

#include <cstring>

#include <jack/jack.h>

#include "sdk/platform/JackStream.h"

namespace vbz {

namespace {
constexpr const char* kProbeClientName = "vbz-loopback-probe";
constexpr const char* kMonitorPrefix = "monitor_";
}  // namespace

std::optional<std::vector<JackMonitorClient>> probeJackMonitorClients() {
    jack_client_t* client = JackStream::openClient(kProbeClientName);
    if (!client) return std::nullopt;
    std::vector<JackMonitorClient> clients;

    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    for (size_t i = 0; ports && ports[i]; ++i) {
        jack_port_t* port = jack_port_by_name(client, ports[i]);
        if (!port) continue;
        const char* shortName = jack_port_short_name(port);
        const size_t fullLength = std::strlen(ports[i]);
        const size_t shortLength = shortName ? std::strlen(shortName) : 0;
        if (!shortName || shortLength + 1 >= fullLength) continue;
        if (std::strncmp(shortName, kMonitorPrefix, std::strlen(kMonitorPrefix)) != 0) continue;
        std::string owner(ports[i], fullLength - shortLength - 1);
        bool known = false;
        for (auto& c : clients) {
            if (c.clientName == owner) {
                ++c.monitorPorts;
                known = true;
                break;
            }
        }
        if (!known) clients.push_back({std::move(owner), 1});
    }
    if (ports) jack_free(ports);
    jack_client_close(client);
    return clients;
}

}  // namespace vbz
