#include "device/platform/NetInterfaces.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace vbz {

namespace {
uint32_t hostOrder(const sockaddr* a) {
    sockaddr_in in{};
    std::memcpy(&in, a, sizeof in);
    return ntohl(in.sin_addr.s_addr);
}
}  // namespace

int listIpv4Interfaces(std::vector<Ipv4Interface>& out) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return errno;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        Ipv4Interface entry;
        entry.name = i->ifa_name ? i->ifa_name : "";
        entry.address = hostOrder(i->ifa_addr);
        // A missing mask is taken as a host route (/32).
        entry.netmask = i->ifa_netmask
                            ? hostOrder(i->ifa_netmask)
                            : 0xFFFFFFFFu;
        entry.up = (i->ifa_flags & IFF_UP) && (i->ifa_flags & IFF_RUNNING);
        entry.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        out.push_back(std::move(entry));
    }
    freeifaddrs(list);
    return 0;
}

}  // namespace vbz
