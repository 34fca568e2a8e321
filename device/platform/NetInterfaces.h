// The local IPv4 networks, for broadcasting to each of them. The only file
// pair of the device link that reads the platform's interface list
// (getifaddrs on POSIX).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vbz {

struct Ipv4Interface {
    std::string name;
    uint32_t address = 0;    // host byte order
    uint32_t netmask = 0;    // host byte order
    bool up = false;         // administratively up and its link running
    bool loopback = false;

    // address OR NOT netmask.
    uint32_t broadcast() const { return address | ~netmask; }
};

// Every IPv4 address of every interface, in the platform's order. 0, or
// the platform error when the list could not be read.
int listIpv4Interfaces(std::vector<Ipv4Interface>& out);

}  // namespace vbz
