#pragma once

#include "core/ControlProtocol.hpp"
#include "core/Uuid.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace velorinth {

// Where a discovered host can be reached: a DNS-SD service instance, or a
// plain host and port.
struct ServiceEndpoint {
    struct BonjourService {
        std::string name;
        std::string type;
        std::string domain;
        std::string interfaceName; // empty when any interface will do
        bool operator==(const BonjourService&) const = default;
    };
    struct HostPort {
        std::string host;
        std::uint16_t port = 0;
        bool operator==(const HostPort&) const = default;
    };

    std::variant<BonjourService, HostPort> value;

    // For a service, "name.type.domain" lower-cased (a domain ending in "."
    // keeps it); otherwise the debugging description.
    std::string key() const;
    // "name.type.domain" (with "%interface" when bound to one) or "host:port",
    // an IPv6 literal in brackets.
    std::string debugDescription() const;

    bool operator==(const ServiceEndpoint&) const = default;
};

// One host found by browsing, de-duplicated by `id`: the lower-case discovery
// instance identifier when the host published one, else the endpoint key.
struct DiscoveredService {
    std::string id;
    std::string name;
    ServiceEndpoint endpoint;
    std::optional<Uuid> discoveryInstanceID;
    std::optional<std::uint16_t> protocolVersion;

    static constexpr const char* kUnknownName = "Unknown Mac";

    // Trims white space and line breaks from `rawName` ("Unknown Mac" when
    // nothing is left) and derives `id`.
    static DiscoveredService make(const std::string& rawName, ServiceEndpoint endpoint,
                                  std::optional<Uuid> discoveryInstanceID,
                                  std::optional<std::uint16_t> protocolVersion);

    // Its endpoint description is always the endpoint key, even when `id` is
    // the identifier text.
    DiscoveredHost discoveredHost() const;

    bool operator==(const DiscoveredService&) const = default;
};

} // namespace velorinth

template <>
struct std::hash<velorinth::ServiceEndpoint> {
    std::size_t operator()(const velorinth::ServiceEndpoint& endpoint) const noexcept;
};

template <>
struct std::hash<velorinth::DiscoveredService> {
    std::size_t operator()(const velorinth::DiscoveredService& service) const noexcept;
};
