#pragma once

#include "core/ControlProtocol.hpp"
#include "core/ServiceEndpoint.hpp"
#include "core/Uuid.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace velorinth {

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
struct std::hash<velorinth::DiscoveredService> {
    std::size_t operator()(const velorinth::DiscoveredService& service) const noexcept;
};
