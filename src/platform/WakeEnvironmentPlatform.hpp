#pragma once

#include "core/WakeModels.hpp"
#include "platform/InterfaceAddress.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velorinth {

// What the network adapter says of waking on a magic packet.
enum class MagicPacketWake { enabled, disabled, unavailable };

// The facts of this machine that decide whether it can be woken over the
// network. Every operation answers (degraded when the system will not tell)
// and never throws; each call reads the system afresh.
class WakeEnvironmentPlatform {
public:
    virtual ~WakeEnvironmentPlatform() = default;

    // "AC Power" or "Battery Power"; none when it cannot be told.
    virtual std::optional<std::string> providingPowerSourceType() = 0;
    // Whether the main display is powered down; false when it cannot be told.
    virtual bool isMainDisplayAsleep() = 0;
    // The physical network interfaces that may carry a wake target, by name.
    virtual std::map<std::string, WakeInterfaceKind> interfaceKinds() = 0;
    // The system's interface address list; none when it cannot be read.
    virtual std::optional<std::vector<InterfaceAddress>> interfaceAddresses() = 0;
    // The adapter's Wake-on-LAN magic-packet setting for `interfaceName`.
    virtual MagicPacketWake magicPacketWake(const std::string& interfaceName) = 0;

    // The Linux back-end on /sys and $DISPLAY.
    static std::shared_ptr<WakeEnvironmentPlatform> create();
};

} // namespace velorinth
