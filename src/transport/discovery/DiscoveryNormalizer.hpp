#pragma once

#include "core/Uuid.hpp"
#include "platform/BonjourBrowsing.hpp"
#include "transport/discovery/DiscoveredService.hpp"
#include "transport/discovery/ListenerStatus.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

// Turns raw browse results into a clean list of hosts. Pure; any thread.
struct DiscoveryNormalizer {
    // What a kept TXT record says.
    struct TXTFields {
        std::optional<Uuid> discoveryInstanceID;
        std::optional<std::uint16_t> protocolVersion;
        bool operator==(const TXTFields&) const = default;
    };

    // The DNS-SD code of a refused Local Network permission.
    static constexpr int kPolicyDeniedCode = -65570;

    // The values of "v", "id" and "role" in a TXT record's entries: keys match
    // without regard to case (DNS-SD), the first occurrence wins, and a key
    // without "=" reads as empty.
    static std::map<std::string, std::string> txtMap(const std::vector<std::string>& entries);

    // A browse result as a host; none for a result that is not a service, or
    // whose TXT record drops it.
    static std::optional<DiscoveredService> service(const BonjourBrowsing::Result& result);

    // None: drop the result (a "role" other than exactly "host"). Otherwise
    // the "id" parsed as a UUID and the "v" as an unsigned 16-bit decimal,
    // each absent when missing or malformed.
    static std::optional<TXTFields> parseTXT(const std::map<std::string, std::string>& txt);

    // Digits with an optional "+", or a "-" before digits that amount to zero;
    // none for anything else or a value above 65535.
    static std::optional<std::uint16_t> parseProtocolVersion(std::string_view text);

    // One service per `id` (a later one replaces an earlier one), sorted by
    // name without regard to case (code points after Unicode lower-casing),
    // then by `id`.
    static std::vector<DiscoveredService> normalize(const std::vector<DiscoveredService>& services);

    static std::string endpointKey(const ServiceEndpoint& endpoint) { return endpoint.key(); }

    // A refused permission is permissionDenied; any other error failed with its text.
    static DiscoveryStatus discoveryStatus(const BonjourBrowsing::BrowseError& error);
};

// The current list of hosts with the browse status. It keeps its list only
// while searching or ready.
struct DiscoveryCatalog {
    std::vector<DiscoveredService> services;
    DiscoveryStatus status = DiscoveryStatus::idle();

    void setServices(const std::vector<DiscoveredService>& list) { services = DiscoveryNormalizer::normalize(list); }
    void setStatus(const DiscoveryStatus& newStatus);

    bool operator==(const DiscoveryCatalog&) const = default;
};

} // namespace velorinth
