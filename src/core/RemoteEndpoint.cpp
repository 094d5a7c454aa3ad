#include "core/RemoteEndpoint.hpp"

#include "core/Text.hpp"

#include <algorithm>

namespace velorinth {

namespace {

using Case = RemoteEndpointValidationError::Case;


// 1 to 5 digits with a value of 1-65535.
std::uint16_t parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) throw RemoteEndpointValidationError(Case::invalidPort);
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') throw RemoteEndpointValidationError(Case::invalidPort);
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value < 1 || value > 65535) throw RemoteEndpointValidationError(Case::invalidPort);
    return static_cast<std::uint16_t>(value);
}

} // namespace

RemoteEndpoint RemoteEndpoint::validating(std::string_view rawText, std::uint16_t defaultPort,
                                          RemoteTransportKind transport, std::optional<std::string> label, Uuid id,
                                          Date addedAt, bool allowLoopback) {
    const std::string_view text = trimmedAsciiWhitespace(rawText);
    // A scheme, path or credentials would otherwise be split at their ":" and
    // reported as a bad port; the host's own wording is clearer.
    if (text.find("://") != std::string_view::npos) throw RemoteEndpointValidationError(Case::urlSchemeNotAllowed);
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return c == '/' || c == '?' || c == '#' || c == '@' || isAsciiWhitespace(c); })) {
        throw RemoteEndpointValidationError(Case::unexpectedPathOrCredentials);
    }

    std::string_view host = text;
    std::uint16_t port = defaultPort;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) throw RemoteEndpointValidationError(Case::invalidIPv6Literal);
        host = text.substr(0, close + 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') throw RemoteEndpointValidationError(Case::invalidIPv6Literal);
            port = parsePort(rest.substr(1));
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        port = parsePort(text.substr(colon + 1));
    }
    // Two or more ":" without brackets: a bare IPv6 literal on the default port.

    auto validated = RemoteEndpointValidator::validate(host, port, allowLoopback);

    std::optional<std::string> cleanLabel;
    if (label) {
        const std::string_view trimmedLabel = trimmedWhitespace(*label); // typed by a person
        if (!trimmedLabel.empty()) cleanLabel = std::string(trimmedLabel);
    }
    return RemoteEndpoint{
        id, std::move(validated.host), validated.port, validated.kind, transport, std::move(cleanLabel), addedAt,
        std::nullopt, std::nullopt,
    };
}

std::string RemoteEndpoint::displayAddress() const {
    const bool bracket = hostKind == RemoteHostKind::ipv6Literal || host.find(':') != std::string::npos;
    return (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace json {

} // namespace json
} // namespace velorinth
