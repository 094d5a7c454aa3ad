#pragma once

#include <asio/ip/address.hpp>

namespace velorinth {

// The source a connection is counted against: its IPv4 address, or the /64
// of its IPv6 address, since a network hands out a /64 to one interface and
// its owner may use any address in it. A dual-stack socket's mapped IPv4
// peer counts as that IPv4 address.
inline asio::ip::address connectionSource(const asio::ip::address& peer) {
    if (peer.is_v4()) return peer;
    const asio::ip::address_v6 v6 = peer.to_v6();
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6);
    asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
    for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
    return asio::ip::address_v6(bytes);
}

} // namespace velorinth
