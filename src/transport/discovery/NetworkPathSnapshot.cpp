#include "transport/discovery/NetworkPathSnapshot.hpp"

#include <algorithm>
#include <utility>

namespace velorinth {

std::string_view rawValue(NetworkPathSatisfaction satisfaction) noexcept {
    return json::caseName(satisfaction);
}

std::optional<NetworkPathSatisfaction> networkPathSatisfaction(std::string_view rawValue) noexcept {
    return json::caseFromName<NetworkPathSatisfaction>(rawValue);
}

NetworkPathSnapshot::NetworkPathSnapshot(NetworkPathSatisfaction satisfaction, bool usesWiFi, bool usesCellular,
                                         bool usesWiredEthernet, bool usesVPNOrTunnel,
                                         std::vector<std::string> interfaceNames, bool supportsIPv4,
                                         bool supportsIPv6)
    : satisfaction(satisfaction), usesWiFi(usesWiFi), usesCellular(usesCellular),
      usesWiredEthernet(usesWiredEthernet), usesVPNOrTunnel(usesVPNOrTunnel),
      interfaceNames(std::move(interfaceNames)), supportsIPv4(supportsIPv4), supportsIPv6(supportsIPv6) {
    std::sort(this->interfaceNames.begin(), this->interfaceNames.end());
}

namespace {

NetworkPathSatisfaction satisfactionOf(NetworkPathReport::Status status) {
    switch (status) {
    case NetworkPathReport::Status::satisfied: return NetworkPathSatisfaction::satisfied;
    case NetworkPathReport::Status::requiresConnection: return NetworkPathSatisfaction::requiresConnection;
    case NetworkPathReport::Status::unsatisfied: break;
    }
    return NetworkPathSatisfaction::unsatisfied;
}

bool isVPNOrTunnel(const NetworkPathReport::Interface& interface) {
    const std::string_view name = interface.name;
    return interface.type == NetworkInterfaceType::other || name.starts_with("utun") || name.starts_with("ipsec") ||
           name.starts_with("ppp");
}

std::vector<std::string> namesOf(const std::vector<NetworkPathReport::Interface>& interfaces) {
    std::vector<std::string> names;
    for (const auto& interface : interfaces) names.push_back(interface.name);
    return names;
}

} // namespace

NetworkPathSnapshot::NetworkPathSnapshot(const NetworkPathReport& path)
    : NetworkPathSnapshot(satisfactionOf(path.status), path.usesInterfaceType(NetworkInterfaceType::wifi),
                          path.usesInterfaceType(NetworkInterfaceType::cellular),
                          path.usesInterfaceType(NetworkInterfaceType::wiredEthernet),
                          std::any_of(path.availableInterfaces.begin(), path.availableInterfaces.end(), isVPNOrTunnel),
                          namesOf(path.availableInterfaces), path.supportsIPv4, path.supportsIPv6) {}

std::string NetworkPathSnapshot::description() const {
    auto flag = [](bool value) { return value ? "true" : "false"; };
    std::string text(rawValue(satisfaction));
    text += std::string("|wifi:") + flag(usesWiFi);
    text += std::string("|cell:") + flag(usesCellular);
    text += std::string("|eth:") + flag(usesWiredEthernet);
    text += std::string("|vpn:") + flag(usesVPNOrTunnel);
    text += "|if:";
    for (std::size_t i = 0; i < interfaceNames.size(); ++i) {
        if (i > 0) text += ",";
        text += interfaceNames[i];
    }
    return text;
}

} // namespace velorinth
