#pragma once

#include "core/ServiceEndpoint.hpp"

#include <asio/awaitable.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velorinth {

// One address a host name resolved to, as numeric text (IPv6 lower-case,
// without a scope).
struct ResolvedIPAddress {
    std::string address;
    bool isIPv6 = false;

    bool operator==(const ResolvedIPAddress&) const = default;
};

// The replaceable host-name lookup of saved endpoints and relays. It neither
// filters nor bounds its lookups: callers race it against their own limit.
class HostnameResolver {
public:
    virtual ~HostnameResolver() = default;

    // Both families in the system's order, each address once; never empty.
    // Fails with HostnameResolverError, or as a cancellation at once when the
    // awaiting task is cancelled.
    virtual asio::awaitable<std::vector<ResolvedIPAddress>> resolve(std::string host, std::uint16_t port) = 0;
};

} // namespace velorinth

template <>
struct std::hash<velorinth::ResolvedIPAddress> {
    std::size_t operator()(const velorinth::ResolvedIPAddress& value) const noexcept {
        std::size_t seed = std::hash<std::string>{}(value.address);
        velorinth::detail::combineHash(seed, value.isIPv6 ? 1 : 0);
        return seed;
    }
};
