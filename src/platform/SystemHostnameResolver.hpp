#pragma once

#include "platform/HostnameResolver.hpp"

#include <asio/ip/tcp.hpp>

namespace velorinth {

// getaddrinfo through Asio's asynchronous resolver on the awaiting
// coroutine's loop (flags 0, either family, stream, TCP, the port as
// service). A cancelled resolve returns at once; the lookup itself is
// abandoned and its late answer ignored. Holds no state.
class SystemHostnameResolver final : public HostnameResolver {
public:
    static constexpr const char* kNoAddressesText = "No IPv4 or IPv6 address records returned.";

    asio::awaitable<std::vector<ResolvedIPAddress>> resolve(std::string host, std::uint16_t port) override;

    // The addresses of a lookup's answer as text, in order and each once;
    // entries that are neither IPv4 nor IPv6 are skipped. Fails with
    // dnsResolutionFailed(host, kNoAddressesText) when none is left.
    static std::vector<ResolvedIPAddress> convert(const std::string& host,
                                                  const std::vector<asio::ip::tcp::endpoint>& endpoints);
};

} // namespace velorinth
