#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

// The raw sysfs facts of one network interface; each user classifies.
struct SysfsNetworkInterface {
    std::string name;
    std::optional<unsigned> type;       // ARPHRD_* value of "type" (1: Ethernet-like, 772: loopback)
    bool hasDevice = false;             // a "device" entry: backed by a bus device, not virtual
    bool hasWireless = false;           // a "wireless" entry
    bool hasPhy80211 = false;           // a "phy80211" entry
    std::optional<std::string> devType; // DEVTYPE= of "uevent" ("wlan", "bridge", "vlan", …)
    std::optional<unsigned> tunFlags;   // "tun_flags" of tun/tap devices

    bool operator==(const SysfsNetworkInterface&) const = default;
};

// Reads <root>/class/net. Inside a thread that joined another network
// namespace, /sys still shows the namespace that mounted it: hence the root.
// Unreadable, malformed or oversized files count as absent; never throws.
class SysfsNetworkInterfaces {
public:
    // More entries than this are not read: a real machine has a few dozen.
    static constexpr std::size_t kMaximumInterfaces = 4096;

    explicit SysfsNetworkInterfaces(std::filesystem::path sysfsRoot = "/sys");

    // Every interface listed, by name.
    std::vector<SysfsNetworkInterface> list() const;
    // One interface; none when `name` is not a listed interface.
    std::optional<SysfsNetworkInterface> find(std::string_view name) const;

private:
    SysfsNetworkInterface read(const std::string& name) const;

    std::filesystem::path directory_;
};

} // namespace velorinth
