#include "platform/SystemHostnameResolver.hpp"

#include "core/Error.hpp"
#include "core/Text.hpp"
#include "platform/HostnameLookup.hpp"
#include "platform/HostnameResolverError.hpp"

#include <asio/this_coro.hpp>

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace velorinth {

namespace {

// inet_ntop of the address bytes alone: Asio's to_string would add an IPv6
// scope, which is no part of the address.
std::optional<ResolvedIPAddress> text(const asio::ip::address& address) {
    std::array<char, 46> buffer{};
    if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        if (inet_ntop(AF_INET, bytes.data(), buffer.data(), 16) == nullptr) return std::nullopt;
        return ResolvedIPAddress{std::string(buffer.data()), false};
    }
    if (address.is_v6()) {
        const auto bytes = address.to_v6().to_bytes();
        if (inet_ntop(AF_INET6, bytes.data(), buffer.data(), buffer.size()) == nullptr) return std::nullopt;
        return ResolvedIPAddress{lowercased(buffer.data()), true};
    }
    return std::nullopt;
}

} // namespace

std::vector<ResolvedIPAddress> SystemHostnameResolver::convert(const std::string& host,
                                                               const std::vector<asio::ip::tcp::endpoint>& endpoints) {
    std::vector<ResolvedIPAddress> addresses;
    for (const auto& endpoint : endpoints) {
        const std::optional<ResolvedIPAddress> address = text(endpoint.address());
        if (!address || std::find(addresses.begin(), addresses.end(), *address) != addresses.end()) continue;
        addresses.push_back(*address);
    }
    if (addresses.empty()) throw HostnameResolverError::dnsResolutionFailed(host, kNoAddressesText);
    return addresses;
}

asio::awaitable<std::vector<ResolvedIPAddress>> SystemHostnameResolver::resolve(std::string host, std::uint16_t port) {
    const asio::any_io_executor executor = co_await asio::this_coro::executor;
    const std::string service = std::to_string(port);
    HostnameLookup lookup(executor, host, service, asio::ip::resolver_base::flags());
    const std::optional<HostnameLookup::Answer> answer = co_await lookup.wait();
    if (!answer) throw CancellationError();
    if (answer->addrinfoCode != 0) {
        throw HostnameResolverError::dnsResolutionFailed(host, HostnameLookup::addrinfoText(answer->addrinfoCode));
    }
    co_return convert(host, answer->endpoints);
}

} // namespace velorinth
