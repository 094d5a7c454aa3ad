#include "platform/linux/NetworkPathClassifier.hpp"

#include <gtest/gtest.h>

#include <linux/if.h>
#include <linux/if_arp.h>
#include <sys/socket.h>

namespace velorinth {
namespace {

using Classifier = NetworkPathClassifier;
using Type = NetworkInterfaceType;
constexpr unsigned kUpNoCarrier = static_cast<unsigned>(IFF_UP) | static_cast<unsigned>(IFF_RUNNING);
constexpr unsigned kUp = kUpNoCarrier | static_cast<unsigned>(IFF_LOWER_UP);

Classifier::Link link(int index, std::string name, unsigned hardwareType = ARPHRD_ETHER, unsigned flags = kUp) {
    Classifier::Link out;
    out.index = index;
    out.name = name;
    out.flags = flags;
    out.hardwareType = hardwareType;
    out.sysfs.name = std::move(name);
    return out;
}

Classifier::Address ipv4(int index) { return {index, AF_INET, Bytes{10, 0, 0, static_cast<std::uint8_t>(index)}}; }
Classifier::Address ipv6(int index, std::uint8_t first, std::uint8_t second) {
    Bytes address(16, 1);
    address[0] = first;
    address[1] = second;
    return {index, AF_INET6, address};
}

TEST(NetworkPathClassifier, InterfaceTypes) {
    auto wireless = link(1, "wlan0");
    wireless.sysfs.hasPhy80211 = true;
    auto wwan = link(2, "wwan0", ARPHRD_NONE);
    wwan.sysfs.devType = "wwan";
    auto tap = link(3, "tap0");
    tap.sysfs.tunFlags = 0x1002; // IFF_TAP | IFF_NO_PI
    auto tun = link(4, "tun0", ARPHRD_NONE);
    tun.sysfs.tunFlags = 0x1001;
    const std::pair<Classifier::Link, Type> cases[] = {
        {wireless, Type::wifi},          {wwan, Type::cellular},
        {tap, Type::other},              {tun, Type::other},
        {link(5, "ppp0", ARPHRD_PPP), Type::other}, {link(6, "gre1", ARPHRD_IPGRE), Type::other},
        {link(7, "sit1", ARPHRD_SIT), Type::other}, {link(8, "veth0"), Type::wiredEthernet},
        {link(9, "br0"), Type::wiredEthernet},       {link(10, "eth0"), Type::wiredEthernet},
    };
    for (const auto& [candidate, type] : cases) EXPECT_EQ(Classifier::interfaceType(candidate), type) << candidate.name;
}

TEST(NetworkPathClassifier, AvailabilityNeedsCarrierAndAnAddressBeyondIPv6LinkLocal) {
    const std::vector<Classifier::Link> links{
        link(1, "lo", ARPHRD_LOOPBACK, kUp | static_cast<unsigned>(IFF_LOOPBACK)), link(2, "eth0", ARPHRD_ETHER, kUpNoCarrier),
        link(3, "eth1"), link(4, "eth2"), link(5, "eth3")};
    const std::vector<Classifier::Address> addresses{ipv4(1), ipv4(2), ipv6(3, 0xfe, 0x80), ipv6(4, 0xfd, 0x00), ipv4(5)};
    const NetworkPathReport report = Classifier::classify(links, addresses, {});
    EXPECT_EQ(report.status, NetworkPathReport::Status::satisfied);
    EXPECT_EQ(report.availableInterfaces,
              (std::vector<NetworkPathReport::Interface>{{"eth2", Type::wiredEthernet}, {"eth3", Type::wiredEthernet}}));
    EXPECT_TRUE(report.supportsIPv4);
    EXPECT_TRUE(report.supportsIPv6);

    const NetworkPathReport none = Classifier::classify({links[0], links[1], links[2]}, addresses, {});
    EXPECT_EQ(none.status, NetworkPathReport::Status::unsatisfied);
    EXPECT_TRUE(none.availableInterfaces.empty());
    EXPECT_TRUE(none.usedInterfaceTypes.empty());
    EXPECT_FALSE(none.supportsIPv4);
}

TEST(NetworkPathClassifier, UsesFollowEachFamilysPreferredDefaultRouteElseEveryAvailableInterface) {
    auto wireless = link(2, "wlan0");
    wireless.sysfs.hasWireless = true;
    auto tun = link(3, "tun0", ARPHRD_NONE);
    const std::vector<Classifier::Link> links{wireless, tun, link(4, "eth0"), link(5, "eth1", ARPHRD_ETHER, kUpNoCarrier)};
    const std::vector<Classifier::Address> addresses{ipv4(2), ipv4(3), ipv4(4), ipv4(5)};

    // A Wi-Fi default route with a VPN up: Wi-Fi is used, the tunnel is available.
    const NetworkPathReport vpn = Classifier::classify(links, addresses, {{AF_INET, 100, 2}});
    EXPECT_EQ(vpn.usedInterfaceTypes, std::vector<Type>{Type::wifi});
    EXPECT_EQ(vpn.availableInterfaces.size(), 3u);

    // The lower metric decides; a route through an interface without carrier is ignored.
    EXPECT_EQ(Classifier::classify(links, addresses, {{AF_INET, 600, 2}, {AF_INET, 100, 4}, {AF_INET, 1, 5}}).usedInterfaceTypes,
              std::vector<Type>{Type::wiredEthernet});
    // Each family counts.
    EXPECT_EQ(Classifier::classify(links, addresses, {{AF_INET, 100, 2}, {AF_INET6, 100, 3}}).usedInterfaceTypes,
              (std::vector<Type>{Type::wifi, Type::other}));
    // No usable default route: every available interface's type.
    EXPECT_EQ(Classifier::classify(links, addresses, {{AF_INET, 1, 5}}).usedInterfaceTypes,
              (std::vector<Type>{Type::wifi, Type::other, Type::wiredEthernet}));
}

} // namespace
} // namespace velorinth
