#include "platform/linux/InterfaceAddressReader.hpp"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace velorinth {

namespace {

// Socket addresses are copied out rather than cast: the list gives no alignment promise.
template <class Address>
Address copied(const sockaddr* address) {
    Address out{};
    std::memcpy(&out, address, sizeof out);
    return out;
}

Bytes bytesOf(const void* data, std::size_t size) {
    const auto* begin = static_cast<const std::uint8_t*>(data);
    return Bytes(begin, begin + size);
}

std::optional<InterfaceNetmask> netmaskOf(const sockaddr* mask) {
    if (mask == nullptr) return std::nullopt;
    if (mask->sa_family == AF_INET) {
        const auto value = copied<sockaddr_in>(mask);
        return InterfaceNetmask{InterfaceAddressFamily::inet, bytesOf(&value.sin_addr, 4)};
    }
    if (mask->sa_family == AF_INET6) {
        const auto value = copied<sockaddr_in6>(mask);
        return InterfaceNetmask{InterfaceAddressFamily::inet6, bytesOf(&value.sin6_addr, 16)};
    }
    return InterfaceNetmask{};
}

InterfaceAddress entryOf(const ifaddrs& entry) {
    InterfaceAddress out;
    out.name = entry.ifa_name != nullptr ? entry.ifa_name : "";
    out.flags = entry.ifa_flags;
    switch (entry.ifa_addr->sa_family) {
    case AF_PACKET: {
        const auto link = copied<sockaddr_ll>(entry.ifa_addr);
        out.family = InterfaceAddressFamily::link;
        out.address = bytesOf(link.sll_addr, std::min<std::size_t>(link.sll_halen, sizeof link.sll_addr));
        break;
    }
    case AF_INET: {
        const auto inet = copied<sockaddr_in>(entry.ifa_addr);
        out.family = InterfaceAddressFamily::inet;
        out.address = bytesOf(&inet.sin_addr, 4);
        out.netmask = netmaskOf(entry.ifa_netmask);
        break;
    }
    case AF_INET6: {
        const auto inet6 = copied<sockaddr_in6>(entry.ifa_addr);
        out.family = InterfaceAddressFamily::inet6;
        out.address = bytesOf(&inet6.sin6_addr, 16);
        out.netmask = netmaskOf(entry.ifa_netmask);
        out.scopeId = inet6.sin6_scope_id;
        break;
    }
    default: break;
    }
    return out;
}

} // namespace

std::optional<std::vector<InterfaceAddress>> InterfaceAddressReader::read() noexcept {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    try {
        std::vector<InterfaceAddress> entries;
        for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr) continue;
            entries.push_back(entryOf(*entry));
        }
        return entries;
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace velorinth
