#include "platform/linux/NetworkPathClassifier.hpp"

#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <sys/socket.h>

#include <algorithm>

namespace velorinth {

namespace {

bool isLoopback(const NetworkPathClassifier::Link& link) {
    return (link.flags & IFF_LOOPBACK) != 0 || link.hardwareType == ARPHRD_LOOPBACK;
}

void addType(std::vector<NetworkInterfaceType>& types, NetworkInterfaceType type) {
    if (std::find(types.begin(), types.end(), type) == types.end()) types.push_back(type);
}

} // namespace

NetworkInterfaceType NetworkPathClassifier::interfaceType(const Link& link) {
    if (link.sysfs.hasWireless || link.sysfs.hasPhy80211) return NetworkInterfaceType::wifi;
    if (link.sysfs.devType == "wwan") return NetworkInterfaceType::cellular;
    const bool tap = link.sysfs.tunFlags && (*link.sysfs.tunFlags & IFF_TAP) != 0;
    if (link.hardwareType != ARPHRD_ETHER || tap) return NetworkInterfaceType::other;
    return NetworkInterfaceType::wiredEthernet;
}

bool NetworkPathClassifier::isIPv6LinkLocal(const Bytes& address) {
    return address.size() == 16 && address[0] == 0xfe && (address[1] & 0xc0) == 0x80;
}

NetworkPathReport NetworkPathClassifier::classify(const std::vector<Link>& links, const std::vector<Address>& addresses,
                                                  const std::vector<DefaultRoute>& routes) {
    NetworkPathReport report;
    std::vector<const Link*> available;
    for (const Link& link : links) {
        if (isLoopback(link) || (link.flags & IFF_UP) == 0 || (link.flags & IFF_LOWER_UP) == 0) continue;
        bool usable = false;
        for (const Address& address : addresses) {
            if (address.index != link.index) continue;
            if (address.family == AF_INET && address.address.size() == 4) {
                usable = true;
                report.supportsIPv4 = true;
            } else if (address.family == AF_INET6 && address.address.size() == 16 &&
                       !isIPv6LinkLocal(address.address)) {
                usable = true;
                report.supportsIPv6 = true;
            }
        }
        if (!usable) continue;
        available.push_back(&link);
        report.availableInterfaces.push_back(NetworkPathReport::Interface{link.name, interfaceType(link)});
    }
    report.status = available.empty() ? NetworkPathReport::Status::unsatisfied : NetworkPathReport::Status::satisfied;

    // Each family's preferred default route through an available interface.
    for (int family : {AF_INET, AF_INET6}) {
        const DefaultRoute* preferred = nullptr;
        const Link* through = nullptr;
        for (const DefaultRoute& route : routes) {
            if (route.family != family || (preferred != nullptr && route.metric >= preferred->metric)) continue;
            const auto link = std::find_if(available.begin(), available.end(),
                                           [&](const Link* candidate) { return candidate->index == route.outputInterface; });
            if (link == available.end()) continue;
            preferred = &route;
            through = *link;
        }
        if (through != nullptr) addType(report.usedInterfaceTypes, interfaceType(*through));
    }
    if (report.usedInterfaceTypes.empty()) {
        for (const auto& interface : report.availableInterfaces) addType(report.usedInterfaceTypes, interface.type);
    }
    return report;
}

} // namespace velorinth
