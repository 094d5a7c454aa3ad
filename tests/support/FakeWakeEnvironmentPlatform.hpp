#pragma once

#include "platform/WakeEnvironmentPlatform.hpp"

#include <net/if.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velorinth::testing {

// A wake environment told what to answer: recorded interface entries in
// place of the system's. Unlisted interfaces have no Wake-on-LAN answer.
class FakeWakeEnvironmentPlatform : public WakeEnvironmentPlatform {
public:
    static constexpr unsigned kUpAndRunning = IFF_UP | IFF_RUNNING;

    std::optional<std::string> powerSourceType = "AC Power";
    bool displayAsleep = false;
    std::map<std::string, WakeInterfaceKind> kinds;
    std::optional<std::vector<InterfaceAddress>> addresses = std::vector<InterfaceAddress>{};
    std::map<std::string, MagicPacketWake> wakeSettings;
    std::vector<std::string> wakeQuestions; // the interfaces asked, in order

    std::optional<std::string> providingPowerSourceType() override { return powerSourceType; }
    bool isMainDisplayAsleep() override { return displayAsleep; }
    std::map<std::string, WakeInterfaceKind> interfaceKinds() override { return kinds; }
    std::optional<std::vector<InterfaceAddress>> interfaceAddresses() override { return addresses; }
    MagicPacketWake magicPacketWake(const std::string& interfaceName) override {
        wakeQuestions.push_back(interfaceName);
        const auto found = wakeSettings.find(interfaceName);
        return found == wakeSettings.end() ? MagicPacketWake::unavailable : found->second;
    }

    // A link-layer entry with `hardwareAddress` (any length).
    static InterfaceAddress link(std::string name, Bytes hardwareAddress, unsigned flags = kUpAndRunning);
    // An IPv4 entry; the mask, when given, as an IPv4 netmask.
    static InterfaceAddress inet(std::string name, const std::string& address,
                                 const std::optional<std::string>& mask = std::nullopt, unsigned flags = kUpAndRunning);
};

} // namespace velorinth::testing
