#include "transport/relay/WakeRelayRecords.hpp"

#include "core/Text.hpp"
#include "transport/wake/LocalWakeError.hpp"

#include <utility>

namespace velorinth {

namespace {

// The checked address's refusal: whatever went wrong with it, the same text.
LocalWakeError unusableInterface(const WakeNetworkInterfaceTarget& target) {
    return LocalWakeError::invalidDestination("Relay wake target " + target.interfaceName +
                                              " must have a valid private LAN or link-local IPv4 address.");
}

void checkInterface(const WakeNetworkInterfaceTarget& target, bool allowLoopback) {
    const std::optional<std::string>& checked =
        target.directedBroadcastAddress ? target.directedBroadcastAddress : target.ipv4Address;
    if (!checked) throw unusableInterface(target);
    std::uint32_t address = 0;
    try {
        address = LocalIPv4Validator::parse(*checked);
    } catch (const WakeModelError&) {
        throw unusableInterface(target);
    }
    if (!LocalIPv4Validator::isLocal(address, allowLoopback)) throw unusableInterface(target);
    if (target.ipv4Address) {
        // Its own parse error passes on: the address itself is unreadable, not merely outside the ranges.
        const std::uint32_t unicast = LocalIPv4Validator::parse(*target.ipv4Address);
        if (!LocalIPv4Validator::isLocal(unicast, allowLoopback)) {
            throw LocalWakeError::invalidDestination("Unicast IP " + *target.ipv4Address +
                                                     " is outside private LAN ranges.");
        }
    }
}

} // namespace

WakeRelayTargetRecord WakeRelayTargetRecord::validate(Uuid macDeviceID, std::string_view displayName,
                                                      std::vector<WakeNetworkInterfaceTarget> interfaces,
                                                      std::optional<std::uint16_t> bonjourServicePort,
                                                      bool sleepProxyEligible, Date createdAt, bool allowLoopback) {
    if (interfaces.empty()) throw LocalWakeError(LocalWakeError::Case::noValidLocalTargets);
    for (const WakeNetworkInterfaceTarget& target : interfaces) checkInterface(target, allowLoopback);
    const std::string_view trimmed = trimmedWhitespace(displayName);
    WakeRelayTargetRecord record;
    record.macDeviceID = macDeviceID;
    record.displayName = trimmed.empty() ? std::string(kDefaultDisplayName) : std::string(trimmed);
    record.interfaces = std::move(interfaces);
    record.bonjourServicePort = bonjourServicePort;
    record.sleepProxyEligible = sleepProxyEligible;
    record.createdAt = createdAt;
    return record;
}

SavedWakeConfiguration WakeRelayTargetRecord::wakeConfiguration(Date now) const {
    SavedWakeConfiguration configuration;
    configuration.targets = interfaces;
    configuration.bonjourServicePort = bonjourServicePort;
    configuration.sleepProxyEligible = sleepProxyEligible;
    configuration.wakeForNetworkAccess = Evidence<bool>::verified(true);
    configuration.wakeOnlyOnACPower = false;
    configuration.lastKnownPowerSource = PowerSourceCondition::acPower;
    configuration.lastKnownPowerState = PowerStateEvidence::unknown;
    configuration.updatedAt = now;
    return configuration;
}

} // namespace velorinth
