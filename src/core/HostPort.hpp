#pragma once

#include <cstdint>
#include <string>

namespace velorinth {

// A host and a port: where a connection goes, and a discovered host's plain
// address. `host` is an IP literal (an IPv6 link-local one may carry
// "%interface") or a DNS name, resolved by whoever connects.
struct HostPort {
    std::string host;
    std::uint16_t port = 0;

    bool operator==(const HostPort&) const = default;
};

} // namespace velorinth
