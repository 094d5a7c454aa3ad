#pragma once

#include "core/HostPort.hpp"

#include <cstddef>
#include <functional>
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

    std::variant<BonjourService, HostPort> value;

    // For a service, "name.type.domain", each part lower-cased letter by
    // letter (a domain ending in "." keeps it); otherwise the debugging
    // description.
    std::string key() const;
    // "name.type.domain" (with "%interface" when bound to one) or "host:port",
    // an IPv6 literal in brackets.
    std::string debugDescription() const;

    bool operator==(const ServiceEndpoint&) const = default;
};

namespace detail {
inline void combineHash(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}
} // namespace detail

} // namespace velorinth

template <>
struct std::hash<velorinth::ServiceEndpoint> {
    std::size_t operator()(const velorinth::ServiceEndpoint& endpoint) const noexcept;
};
