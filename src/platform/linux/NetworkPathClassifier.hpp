#pragma once

#include "core/Bytes.hpp"
#include "platform/NetworkPathReport.hpp"
#include "platform/linux/SysfsNetworkInterfaces.hpp"

#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// Turns the kernel's link, address and route records into a path report. Pure.
//
// Type: Wi-Fi ("wireless" or "phy80211" in sysfs) → wifi; uevent DEVTYPE
// "wwan" → cellular; a link that is not Ethernet-like (tun and other
// ARPHRD_NONE, ppp, GRE, IPIP, SIT) or a tap → other; any other
// Ethernet-like link (NICs, veth, bridges, bonds, VLANs) → wiredEthernet.
// Available: not loopback, up with carrier (IFF_UP and IFF_LOWER_UP), and an
// address that is not IPv6 link-local. The path is satisfied when an
// interface is available (a Mac on the local network needs no default
// route). It uses the types of the available interfaces that carry each
// family's preferred default route (main table, lowest metric, a multipath
// route's first hop), else those of every available interface.
struct NetworkPathClassifier {
    struct Link {
        int index = 0;
        std::string name;
        unsigned flags = 0;     // IFF_* of the netlink message (with IFF_LOWER_UP)
        unsigned hardwareType = 0; // ARPHRD_*
        SysfsNetworkInterface sysfs;
        bool operator==(const Link&) const = default;
    };
    struct Address {
        int index = 0;
        int family = 0; // AF_INET or AF_INET6
        Bytes address;
        bool operator==(const Address&) const = default;
    };
    // A default route (prefix length 0) of the main table.
    struct DefaultRoute {
        int family = 0;
        unsigned metric = 0;
        int outputInterface = 0; // a multipath route's first hop
        bool operator==(const DefaultRoute&) const = default;
    };

    static NetworkInterfaceType interfaceType(const Link& link);
    static bool isIPv6LinkLocal(const Bytes& address);

    // `links` in index order.
    static NetworkPathReport classify(const std::vector<Link>& links, const std::vector<Address>& addresses,
                                      const std::vector<DefaultRoute>& routes);
};

} // namespace velorinth
