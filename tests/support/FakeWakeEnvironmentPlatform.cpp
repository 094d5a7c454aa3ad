#include "support/FakeWakeEnvironmentPlatform.hpp"

#include <arpa/inet.h>

#include <stdexcept>
#include <utility>

namespace velorinth::testing {

namespace {

Bytes ipv4Bytes(const std::string& text) {
    std::uint8_t bytes[4];
    if (::inet_pton(AF_INET, text.c_str(), bytes) != 1) throw std::invalid_argument("not an IPv4 address: " + text);
    return Bytes(bytes, bytes + 4);
}

} // namespace

InterfaceAddress FakeWakeEnvironmentPlatform::link(std::string name, Bytes hardwareAddress, unsigned flags) {
    InterfaceAddress entry;
    entry.name = std::move(name);
    entry.flags = flags;
    entry.family = InterfaceAddressFamily::link;
    entry.address = std::move(hardwareAddress);
    return entry;
}

InterfaceAddress FakeWakeEnvironmentPlatform::inet(std::string name, const std::string& address,
                                                   const std::optional<std::string>& mask, unsigned flags) {
    InterfaceAddress entry;
    entry.name = std::move(name);
    entry.flags = flags;
    entry.family = InterfaceAddressFamily::inet;
    entry.address = ipv4Bytes(address);
    if (mask) entry.netmask = InterfaceNetmask{InterfaceAddressFamily::inet, ipv4Bytes(*mask)};
    return entry;
}

} // namespace velorinth::testing
