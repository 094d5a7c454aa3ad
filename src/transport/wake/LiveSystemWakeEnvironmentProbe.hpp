#pragma once

#include "core/Bytes.hpp"
#include "platform/WakeEnvironmentPlatform.hpp"
#include "transport/wake/PMSetOutputParser.hpp"
#include "transport/wake/SystemWakeEnvironmentProbe.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// Observes this machine through its wake environment platform. The platform
// only hands over texts, flags and address bytes; the rules that turn them
// into targets and evidence live here. A few local reads: synchronous.
class LiveSystemWakeEnvironmentProbe : public SystemWakeEnvironmentProbe {
public:
    explicit LiveSystemWakeEnvironmentProbe(std::shared_ptr<WakeEnvironmentPlatform> platform);

    ObservedWakeEnvironment observe(Date now) override;

    // The observation: power, display, interfaces, then the wake setting of those interfaces.
    ObservedWakeEnvironment collect(Date now);

    PowerSourceCondition readPowerSource();
    std::map<std::string, WakeInterfaceKind> readInterfaceKinds();
    // Up and running entries (not loopback or point-to-point) of the kinds
    // table's interfaces with a 6-byte unicast hardware address and a private
    // or link-local IPv4 address (the first private one, else link-local),
    // in sortedTargets order.
    std::vector<WakeNetworkInterfaceTarget> readInterfaceTargets();
    // Asks each Ethernet target's adapter: any enabled is verified(true); all
    // answered and none enabled is verified(false); else unknown. Wi-Fi wake
    // is not shown by the adapter, so a Wi-Fi target is unanswered. Never
    // only-on-AC.
    PMSetOutputParser::ParsedWakeSetting readWakeSetting(const std::vector<WakeNetworkInterfaceTarget>& targets);

    // "AC Power" and "Battery Power", exactly; anything else is unknown.
    static PowerSourceCondition powerSourceCondition(const std::optional<std::string>& providingType);
    // Dotted quad of 4 address bytes; none for any other length.
    static std::optional<std::string> ipv4String(ByteView address);
    // Anything but verified(false), with at least one target.
    static bool sleepProxyEligible(const Evidence<bool>& wakeForNetworkAccess,
                                   const std::vector<WakeNetworkInterfaceTarget>& interfaces);

private:
    std::shared_ptr<WakeEnvironmentPlatform> platform_;
};

} // namespace velorinth
