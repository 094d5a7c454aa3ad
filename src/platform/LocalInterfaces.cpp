#include "platform/LocalInterfaces.hpp"

#include "platform/linux/InterfaceAddressReader.hpp"
#include "platform/linux/SysfsNetworkInterfaces.hpp"

namespace velorinth {

std::optional<std::vector<InterfaceAddress>> LocalInterfaces::addresses() noexcept {
    return InterfaceAddressReader::read();
}

bool LocalInterfaces::isPhysical(std::string_view name) noexcept {
    try {
        const auto interface = SysfsNetworkInterfaces().find(name.substr(0, name.find(':')));
        return interface && interface->hasDevice;
    } catch (...) {
        return false;
    }
}

} // namespace velorinth
