#include "transport/discovery/LocalNetworkAddressScanner.hpp"

#include "platform/LocalInterfaces.hpp"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace velorinth {

std::vector<std::string> LocalNetworkAddressScanner::currentIPv4Addresses() {
    const auto addresses = LocalInterfaces::addresses();
    if (!addresses) return {};
    std::vector<Entry> entries;
    std::map<std::string, bool, std::less<>> physical; // one sysfs look-up per interface
    for (const InterfaceAddress& address : *addresses) {
        auto known = physical.find(address.name);
        if (known == physical.end()) {
            known = physical.emplace(address.name, LocalInterfaces::isPhysical(address.name)).first;
        }
        entries.push_back(Entry{address, known->second});
    }
    return orderedIPv4Addresses(entries);
}

std::vector<std::string> LocalNetworkAddressScanner::orderedIPv4Addresses(const std::vector<Entry>& entries) {
    std::vector<std::string> result;
    for (const Entry& entry : entries) {
        const InterfaceAddress& address = entry.address;
        const bool usable = (address.flags & IFF_UP) != 0 && (address.flags & IFF_RUNNING) != 0 &&
                            (address.flags & IFF_LOOPBACK) == 0;
        if (!usable || address.family != InterfaceAddressFamily::inet || address.address.size() != 4) continue;
        in_addr raw{};
        std::memcpy(&raw, address.address.data(), 4);
        char text[16] = {};
        if (::inet_ntop(AF_INET, &raw, text, sizeof text) == nullptr) continue;
        const std::string dotted(text);
        if (dotted.starts_with("127.") || dotted == "0.0.0.0" ||
            std::find(result.begin(), result.end(), dotted) != result.end()) {
            continue;
        }
        if (entry.physical) {
            result.insert(result.begin(), dotted);
        } else {
            result.push_back(dotted);
        }
    }
    return result;
}

} // namespace velorinth
