#include "transport/discovery/NetworkPathSnapshot.hpp"

#include <gtest/gtest.h>

namespace velorinth {
namespace {

using Interface = NetworkPathReport::Interface;
using Type = NetworkInterfaceType;

NetworkPathReport path(std::vector<Interface> interfaces, std::vector<Type> used = {Type::wifi}) {
    NetworkPathReport report;
    report.status = NetworkPathReport::Status::satisfied;
    report.availableInterfaces = std::move(interfaces);
    report.usedInterfaceTypes = std::move(used);
    report.supportsIPv4 = true;
    return report;
}

TEST(NetworkPathSnapshot, DescribesTheExamplePathExactly) {
    const NetworkPathSnapshot snapshot(path({{"en0", Type::wifi}, {"utun3", Type::other}}));
    EXPECT_EQ(snapshot.description(), "satisfied|wifi:true|cell:false|eth:false|vpn:true|if:en0,utun3");
    EXPECT_TRUE(snapshot.isSatisfied());
    const NetworkPathSnapshot empty(NetworkPathReport{});
    EXPECT_EQ(empty.description(), "unsatisfied|wifi:false|cell:false|eth:false|vpn:false|if:");
    NetworkPathReport waiting;
    waiting.status = NetworkPathReport::Status::requiresConnection;
    EXPECT_EQ(NetworkPathSnapshot(waiting).satisfaction, NetworkPathSatisfaction::requiresConnection);
}

TEST(NetworkPathSnapshot, AVpnOrTunnelIsAnInterfaceOfTypeOtherOrNamedUtunIpsecOrPpp) {
    const std::vector<Interface> base{{"en0", Type::wifi}, {"awdl0", Type::wifi}};
    EXPECT_FALSE(NetworkPathSnapshot(path(base)).usesVPNOrTunnel);
    for (const Interface& extra : {Interface{"utun4", Type::wifi}, Interface{"ipsec0", Type::wiredEthernet},
                                   Interface{"ppp0", Type::cellular}, Interface{"wg0", Type::other}}) {
        auto interfaces = base;
        interfaces.push_back(extra);
        EXPECT_TRUE(NetworkPathSnapshot(path(interfaces)).usesVPNOrTunnel) << extra.name;
    }
    auto upperCase = base;
    upperCase.push_back({"UTUN1", Type::wiredEthernet});
    EXPECT_FALSE(NetworkPathSnapshot(path(upperCase)).usesVPNOrTunnel);
}

TEST(NetworkPathSnapshot, NamesAreSortedAndIpSupportIsNoPartOfTheText) {
    const NetworkPathSnapshot sorted(path({{"en1", Type::wifi}, {"en0", Type::wifi}, {"bridge0", Type::wiredEthernet}}));
    EXPECT_EQ(sorted.interfaceNames, (std::vector<std::string>{"bridge0", "en0", "en1"}));
    const NetworkPathSnapshot memberwise(NetworkPathSatisfaction::satisfied, false, false, true, false, {"b", "a"}, true, false);
    EXPECT_EQ(memberwise.interfaceNames, (std::vector<std::string>{"a", "b"}));

    NetworkPathSnapshot withIPv6 = memberwise;
    withIPv6.supportsIPv6 = true;
    EXPECT_NE(withIPv6, memberwise);
    EXPECT_EQ(withIPv6.description(), memberwise.description());
}

TEST(NetworkPathSatisfaction, RawValuesAreCaseSensitive) {
    EXPECT_EQ(networkPathSatisfaction("satisfied"), NetworkPathSatisfaction::satisfied);
    EXPECT_EQ(networkPathSatisfaction("requiresConnection"), NetworkPathSatisfaction::requiresConnection);
    EXPECT_EQ(networkPathSatisfaction("Satisfied"), std::nullopt);
    EXPECT_EQ(json::encode(NetworkPathSatisfaction::unsatisfied), Json("unsatisfied"));
    EXPECT_EQ(std::hash<NetworkPathSatisfaction>{}(NetworkPathSatisfaction::satisfied),
              std::hash<std::string_view>{}("satisfied"));
}

} // namespace
} // namespace velorinth
