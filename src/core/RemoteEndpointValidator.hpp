#pragma once

#include "core/Error.hpp"
#include "core/Json.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velorinth {

enum class RemoteHostKind { dnsHostname, ipv4Literal, ipv6Literal };

// The private-network host name shown as an example in the ".local" refusal.
inline constexpr std::string_view kRemoteEndpointExampleHost = "my-mac.example-vpn.net";

class RemoteEndpointValidationError : public Error {
public:
    enum class Case {
        emptyHost,
        urlSchemeNotAllowed,
        unexpectedPathOrCredentials,
        invalidPort,
        bonjourLocalDomainNotRoutable,
        unspecifiedOrBroadcastAddress,
        multicastAddressNotAllowed,
        loopbackAddressNotAllowed,
        invalidIPv6Literal,
        invalidHostname,
    };

    explicit RemoteEndpointValidationError(Case kind);
    static std::string text(Case kind);

    Case kind;
};

// Decides whether a host and port may be saved or dialled as a remote Mac
// endpoint, and gives the host's canonical form.
class RemoteEndpointValidator {
public:
    struct Result {
        std::string host; // trimmed, unbracketed; names lower-case without a trailing dot
        std::uint16_t port = 0;
        RemoteHostKind kind = RemoteHostKind::dnsHostname;
        bool operator==(const Result&) const = default;
    };

    // Throws RemoteEndpointValidationError.
    static Result validate(std::string_view host, std::uint16_t port, bool allowLoopback);
};

namespace json {
template <>
struct EnumNames<RemoteHostKind> {
    static constexpr std::array<std::string_view, 3> names{"dnsHostname", "ipv4Literal", "ipv6Literal"};
};
} // namespace json

} // namespace velorinth
