#pragma once

#include "platform/WakeEnvironmentPlatform.hpp"

#include <filesystem>
#include <string>

namespace velorinth {

// The wake environment of a Linux machine:
// - power from <root>/class/power_supply: mains or USB online is "AC Power";
//   a discharging system battery is "Battery Power"; no system battery at all
//   (desktops, servers, virtual machines) is "AC Power"; otherwise unknown.
//   Peripheral batteries (scope Device) do not count;
// - display sleep through X DPMS, one short connection per question (no
//   display, connection or extension: awake; Wayland alone reads as awake);
// - physical interfaces from <root>/class/net: type 1 with a device, Wi-Fi
//   when it has wireless or phy80211, else Ethernet;
// - addresses through getifaddrs in the calling thread's network namespace;
// - the Wake-on-LAN setting through SIOCETHTOOL ETHTOOL_GWOL, which may need
//   CAP_NET_ADMIN: a refusal is unavailable, never an error.
// The X connection blocks: call it off the event loop.
class LinuxWakeEnvironmentPlatform : public WakeEnvironmentPlatform {
public:
    // An empty display name means $DISPLAY.
    explicit LinuxWakeEnvironmentPlatform(std::filesystem::path sysfsRoot = "/sys", std::string displayName = {});

    std::optional<std::string> providingPowerSourceType() override;
    bool isMainDisplayAsleep() override;
    std::map<std::string, WakeInterfaceKind> interfaceKinds() override;
    std::optional<std::vector<InterfaceAddress>> interfaceAddresses() override;
    MagicPacketWake magicPacketWake(const std::string& interfaceName) override;

private:
    std::filesystem::path sysfsRoot_;
    std::string displayName_;
};

} // namespace velorinth
