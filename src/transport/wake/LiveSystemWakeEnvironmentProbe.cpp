#include "transport/wake/LiveSystemWakeEnvironmentProbe.hpp"

#include <arpa/inet.h>
#include <net/if.h>

#include <utility>

namespace velorinth {

namespace {

constexpr unsigned kFlagsMask = IFF_UP | IFF_LOOPBACK | IFF_POINTOPOINT | IFF_RUNNING; // 0x59
constexpr unsigned kUpAndRunning = IFF_UP | IFF_RUNNING;                               // 0x41

struct IPv4Entry {
    std::string address;
    std::optional<std::string> mask;
};

bool isLinkLocal(const std::string& address) { return address.starts_with("169.254."); }

} // namespace

LiveSystemWakeEnvironmentProbe::LiveSystemWakeEnvironmentProbe(std::shared_ptr<WakeEnvironmentPlatform> platform)
    : platform_(std::move(platform)) {}

ObservedWakeEnvironment LiveSystemWakeEnvironmentProbe::observe(Date now) {
    try {
        return collect(now);
    } catch (...) {
        // Only an allocation failure gets here; the observation degrades like any other failure.
        ObservedWakeEnvironment degraded;
        degraded.observedAt = now;
        return degraded;
    }
}

ObservedWakeEnvironment LiveSystemWakeEnvironmentProbe::collect(Date now) {
    ObservedWakeEnvironment observation;
    observation.powerSource = readPowerSource();
    observation.powerState =
        platform_->isMainDisplayAsleep() ? PowerStateEvidence::displayAsleep : PowerStateEvidence::awake;
    observation.interfaces = readInterfaceTargets();
    const auto setting = readWakeSetting(observation.interfaces);
    observation.wakeForNetworkAccess = setting.wakeForNetworkAccess;
    observation.wakeOnlyOnACPower = setting.wakeOnlyOnACPower;
    observation.sleepProxyEligible = sleepProxyEligible(observation.wakeForNetworkAccess, observation.interfaces);
    observation.observedAt = now;
    return observation;
}

PowerSourceCondition LiveSystemWakeEnvironmentProbe::readPowerSource() {
    return powerSourceCondition(platform_->providingPowerSourceType());
}

std::map<std::string, WakeInterfaceKind> LiveSystemWakeEnvironmentProbe::readInterfaceKinds() {
    return platform_->interfaceKinds();
}

std::vector<WakeNetworkInterfaceTarget> LiveSystemWakeEnvironmentProbe::readInterfaceTargets() {
    const auto kinds = readInterfaceKinds();
    const auto entries = platform_->interfaceAddresses();
    if (!entries || entries->empty()) return {};

    std::map<std::string, MACAddress> hardwareAddresses;
    std::map<std::string, IPv4Entry> ipv4Addresses;
    for (const InterfaceAddress& entry : *entries) {
        // Physical interfaces only: labels such as "eth0:1", bridges and tunnels are not in the table.
        if ((entry.flags & kFlagsMask) != kUpAndRunning || !kinds.contains(entry.name)) continue;
        if (entry.family == InterfaceAddressFamily::link) {
            if (entry.address.size() != MACAddress::kLength) continue;
            try {
                hardwareAddresses.insert_or_assign(entry.name, MACAddress(ByteView(entry.address)));
            } catch (const WakeModelError&) {
                // All-zero or multicast: no wake target.
            }
        } else if (entry.family == InterfaceAddressFamily::inet) {
            auto text = ipv4String(entry.address);
            if (!text) continue;
            try {
                if (!LocalIPv4Validator::isLocal(LocalIPv4Validator::parse(*text), false)) continue;
            } catch (const WakeModelError&) {
                continue;
            }
            std::optional<std::string> mask;
            if (entry.netmask && entry.netmask->family == InterfaceAddressFamily::inet) {
                mask = ipv4String(entry.netmask->bytes);
            }
            // The first private address wins; a link-local one stands only until a private one comes.
            const auto stored = ipv4Addresses.find(entry.name);
            if (stored == ipv4Addresses.end()) {
                ipv4Addresses.emplace(entry.name, IPv4Entry{std::move(*text), std::move(mask)});
            } else if (isLinkLocal(stored->second.address) && !isLinkLocal(*text)) {
                stored->second = IPv4Entry{std::move(*text), std::move(mask)};
            }
        }
    }

    SavedWakeConfiguration found;
    for (const auto& [name, hardwareAddress] : hardwareAddresses) {
        const auto ipv4 = ipv4Addresses.find(name);
        if (ipv4 == ipv4Addresses.end()) continue;
        // The target's constructor derives the directed broadcast from address and mask.
        found.targets.emplace_back(name, kinds.at(name), hardwareAddress, ipv4->second.address, ipv4->second.mask);
    }
    return found.sortedTargets();
}

PMSetOutputParser::ParsedWakeSetting
LiveSystemWakeEnvironmentProbe::readWakeSetting(const std::vector<WakeNetworkInterfaceTarget>& targets) {
    bool anyEnabled = false;
    bool allAnswered = !targets.empty();
    for (const WakeNetworkInterfaceTarget& target : targets) {
        if (target.kind != WakeInterfaceKind::ethernet) {
            allAnswered = false;
            continue;
        }
        switch (platform_->magicPacketWake(target.interfaceName)) {
        case MagicPacketWake::enabled: anyEnabled = true; break;
        case MagicPacketWake::disabled: break;
        case MagicPacketWake::unavailable: allAnswered = false; break;
        }
    }
    PMSetOutputParser::ParsedWakeSetting setting;
    // Strict: verified(false) makes tablets refuse to wake this machine.
    if (anyEnabled) {
        setting.wakeForNetworkAccess = Evidence<bool>::verified(true);
    } else if (allAnswered) {
        setting.wakeForNetworkAccess = Evidence<bool>::verified(false);
    }
    return setting;
}

PowerSourceCondition
LiveSystemWakeEnvironmentProbe::powerSourceCondition(const std::optional<std::string>& providingType) {
    if (providingType == "AC Power") return PowerSourceCondition::acPower;
    if (providingType == "Battery Power") return PowerSourceCondition::batteryPower;
    return PowerSourceCondition::unknown;
}

std::optional<std::string> LiveSystemWakeEnvironmentProbe::ipv4String(ByteView address) {
    if (address.size() != 4) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, address.data(), text, sizeof text) == nullptr) return std::nullopt;
    return std::string(text);
}

bool LiveSystemWakeEnvironmentProbe::sleepProxyEligible(const Evidence<bool>& wakeForNetworkAccess,
                                                        const std::vector<WakeNetworkInterfaceTarget>& interfaces) {
    return wakeForNetworkAccess != Evidence<bool>::verified(false) && !interfaces.empty();
}

} // namespace velorinth
