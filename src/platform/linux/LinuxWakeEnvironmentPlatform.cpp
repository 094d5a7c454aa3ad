#include "platform/linux/LinuxWakeEnvironmentPlatform.hpp"

#include "platform/linux/InterfaceAddressReader.hpp"
#include "platform/linux/SysfsAttribute.hpp"
#include "platform/linux/SysfsNetworkInterfaces.hpp"
#include "platform/linux/X11DisplayConnection.hpp"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/dpms.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

namespace velorinth {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kEthernetType = 1;              // ARPHRD_ETHER
constexpr std::size_t kMaximumPowerSupplies = 256; // a machine has a handful

struct XcbDisconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};

} // namespace

LinuxWakeEnvironmentPlatform::LinuxWakeEnvironmentPlatform(fs::path sysfsRoot, std::string displayName)
    : sysfsRoot_(std::move(sysfsRoot)), displayName_(std::move(displayName)) {}

std::optional<std::string> LinuxWakeEnvironmentPlatform::providingPowerSourceType() {
    bool mainsOnline = false;
    bool systemBattery = false;
    bool discharging = false;
    try {
        std::error_code error;
        fs::directory_iterator supplies(sysfsRoot_ / "class" / "power_supply", error);
        std::size_t seen = 0;
        for (const fs::directory_iterator end; !error && supplies != end && seen < kMaximumPowerSupplies;
             supplies.increment(error), ++seen) {
            const fs::path folder = supplies->path();
            const auto type = readSysfsAttribute(folder / "type");
            if (type == "Mains" || type == "USB") {
                mainsOnline = mainsOnline || readSysfsAttribute(folder / "online") == "1";
            } else if (type == "Battery") {
                const auto scope = readSysfsAttribute(folder / "scope");
                if (scope && scope != "System") continue; // a mouse or headset battery
                systemBattery = true;
                discharging = discharging || readSysfsAttribute(folder / "status") == "Discharging";
            }
        }
    } catch (...) {
        return std::nullopt;
    }
    if (mainsOnline) return "AC Power";
    if (discharging) return "Battery Power";
    if (!systemBattery) return "AC Power";
    return std::nullopt;
}

bool LinuxWakeEnvironmentPlatform::isMainDisplayAsleep() {
    const char* name = displayName_.empty() ? std::getenv("DISPLAY") : displayName_.c_str();
    if (name == nullptr || *name == '\0') return false;
    int screenNumber = 0;
    const std::unique_ptr<xcb_connection_t, XcbDisconnect> connection(
        X11DisplayConnection::connectToDisplay(name, screenNumber));
    if (!connection) return false;
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection.get(), &xcb_dpms_id);
    if (extension == nullptr || extension->present == 0) return false;
    const std::unique_ptr<xcb_dpms_info_reply_t, FreeReply> info(
        xcb_dpms_info_reply(connection.get(), xcb_dpms_info(connection.get()), nullptr));
    return info && info->state != 0 && info->power_level != XCB_DPMS_DPMS_MODE_ON;
}

std::map<std::string, WakeInterfaceKind> LinuxWakeEnvironmentPlatform::interfaceKinds() {
    std::map<std::string, WakeInterfaceKind> kinds;
    try {
        for (const SysfsNetworkInterface& interface : SysfsNetworkInterfaces(sysfsRoot_).list()) {
            // Loopback, bridges, veth, tunnels and ifb have no bus device.
            if (interface.type != kEthernetType || !interface.hasDevice) continue;
            const bool wireless = interface.hasWireless || interface.hasPhy80211;
            kinds.emplace(interface.name, wireless ? WakeInterfaceKind::wifi : WakeInterfaceKind::ethernet);
        }
    } catch (...) {
        kinds.clear();
    }
    return kinds;
}

std::optional<std::vector<InterfaceAddress>> LinuxWakeEnvironmentPlatform::interfaceAddresses() {
    return InterfaceAddressReader::read();
}

MagicPacketWake LinuxWakeEnvironmentPlatform::magicPacketWake(const std::string& interfaceName) {
    ifreq request{};
    if (interfaceName.empty() || interfaceName.size() >= sizeof request.ifr_name ||
        interfaceName.find('\0') != std::string::npos) {
        return MagicPacketWake::unavailable;
    }
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return MagicPacketWake::unavailable;
    ethtool_wolinfo wake{};
    wake.cmd = ETHTOOL_GWOL;
    std::memcpy(request.ifr_name, interfaceName.data(), interfaceName.size());
    request.ifr_data = reinterpret_cast<char*>(&wake);
    const int result = ::ioctl(descriptor, SIOCETHTOOL, &request);
    ::close(descriptor);
    if (result != 0) return MagicPacketWake::unavailable;
    return (wake.wolopts & WAKE_MAGIC) != 0 ? MagicPacketWake::enabled : MagicPacketWake::disabled;
}

} // namespace velorinth
