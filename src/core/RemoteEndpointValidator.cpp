#include "core/RemoteEndpointValidator.hpp"

#include "core/Text.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace velorinth {

namespace {

using Case = RemoteEndpointValidationError::Case;

[[noreturn]] void fail(Case kind) { throw RemoteEndpointValidationError(kind); }

constexpr std::size_t kMaxHostnameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

RemoteEndpointValidator::Result validateIPv6(std::string_view host, std::uint16_t port, bool allowLoopback) {
    // inet_pton reads a C string, so anything outside the literal's alphabet
    // (a "%zone", an embedded NUL) is refused before it gets there.
    if (host.size() > INET6_ADDRSTRLEN ||
        !std::all_of(host.begin(), host.end(), [](char c) { return isHexDigit(c) || c == ':' || c == '.'; })) {
        fail(Case::invalidIPv6Literal);
    }
    const std::string text(host);
    std::array<std::uint8_t, 16> a{};
    if (inet_pton(AF_INET6, text.c_str(), a.data()) != 1) fail(Case::invalidIPv6Literal);

    const auto zeroPrefix = [&](std::size_t n) { return std::all_of(a.begin(), a.begin() + n, [](auto b) { return b == 0; }); };
    if (zeroPrefix(16)) fail(Case::unspecifiedOrBroadcastAddress);
    if (a[0] == 0xFF) fail(Case::multicastAddressNotAllowed);
    const bool isLoopback = zeroPrefix(15) && a[15] == 1;
    const bool isMappedIPv4Loopback = zeroPrefix(10) && a[10] == 0xFF && a[11] == 0xFF && a[12] == 127;
    if ((isLoopback || isMappedIPv4Loopback) && !allowLoopback) fail(Case::loopbackAddressNotAllowed);

    std::array<char, INET6_ADDRSTRLEN> out{};
    if (inet_ntop(AF_INET6, a.data(), out.data(), out.size()) == nullptr) fail(Case::invalidIPv6Literal);
    std::string canonical(out.data());
    std::transform(canonical.begin(), canonical.end(), canonical.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return {std::move(canonical), port, RemoteHostKind::ipv6Literal};
}

RemoteEndpointValidator::Result validateIPv4(std::string_view host, std::uint16_t port, bool allowLoopback) {
    std::array<unsigned, 4> octets{};
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = host.find('.', start);
        const std::string_view part = host.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        // Leading zeros are refused: the system resolver reads "010" as octal,
        // which would dial another address than the one checked here.
        if (count == 4 || part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) {
            fail(Case::invalidHostname);
        }
        unsigned value = 0;
        for (char c : part) value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 255) fail(Case::invalidHostname);
        octets[count++] = value;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (count != 4) fail(Case::invalidHostname);

    const bool allZero = octets == std::array<unsigned, 4>{0, 0, 0, 0};
    const bool allOnes = octets == std::array<unsigned, 4>{255, 255, 255, 255};
    if (allZero || allOnes) fail(Case::unspecifiedOrBroadcastAddress);
    if (octets[0] >= 224 && octets[0] <= 239) fail(Case::multicastAddressNotAllowed);
    if (octets[0] == 127 && !allowLoopback) fail(Case::loopbackAddressNotAllowed);
    return {std::string(host), port, RemoteHostKind::ipv4Literal};
}

RemoteEndpointValidator::Result validateHostname(std::string_view host, std::uint16_t port, bool allowLoopback) {
    std::string name(host);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    if (!name.empty() && name.back() == '.') name.pop_back();

    if ((name == "localhost" || endsWith(name, ".localhost")) && !allowLoopback) fail(Case::loopbackAddressNotAllowed);
    if (name == "local" || endsWith(name, ".local")) fail(Case::bonjourLocalDomainNotRoutable);
    if (name.size() > kMaxHostnameLength) fail(Case::invalidHostname);

    std::size_t start = 0;
    while (true) {
        const std::size_t dot = name.find('.', start);
        const std::string_view label =
            std::string_view(name).substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > kMaxLabelLength || label.front() == '-' || label.back() == '-') {
            fail(Case::invalidHostname);
        }
        for (char c : label) {
            if (!((c >= 'a' && c <= 'z') || isDigit(c) || c == '-')) fail(Case::invalidHostname);
        }
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return {std::move(name), port, RemoteHostKind::dnsHostname};
}

} // namespace

RemoteEndpointValidationError::RemoteEndpointValidationError(Case kind) : Error(text(kind)), kind(kind) {}

std::string RemoteEndpointValidationError::text(Case kind) {
    switch (kind) {
    case Case::emptyHost: return "Enter a private-network hostname or IP address for your Mac.";
    case Case::urlSchemeNotAllowed:
        return "Enter only the hostname or IP address without a URL scheme such as http:// or https://.";
    case Case::unexpectedPathOrCredentials:
        return "Endpoint host cannot contain paths, query strings, spaces, or @ credentials.";
    case Case::invalidPort: return "Port must be between 1 and 65535.";
    case Case::bonjourLocalDomainNotRoutable:
        return "Bonjour \u201C.local\u201D names only work on the same Wi-Fi/Ethernet subnet. Enter your "
               "private-network hostname (for example, " +
               std::string(kRemoteEndpointExampleHost) + ") or private IP address instead.";
    case Case::unspecifiedOrBroadcastAddress:
        return "Unspecified (0.0.0.0 / ::) and broadcast addresses cannot be used as a Mac endpoint.";
    case Case::multicastAddressNotAllowed: return "Multicast addresses cannot be used as a Mac endpoint.";
    case Case::loopbackAddressNotAllowed:
        return "Loopback addresses (127.0.0.1 / ::1 / localhost) point to this iPad rather than your remote Mac.";
    case Case::invalidIPv6Literal:
        return "Malformed IPv6 address. For IPv6 with a custom port, use [fd7a:115c:a1e0::1]:51891.";
    case Case::invalidHostname: return "Enter a valid DNS hostname, IPv4 address, or IPv6 address.";
    }
    return {};
}

RemoteEndpointValidator::Result RemoteEndpointValidator::validate(std::string_view rawHost, std::uint16_t port,
                                                                  bool allowLoopback) {
    if (port == 0) fail(Case::invalidPort);
    std::string_view host = trimmedAsciiWhitespace(rawHost);
    if (host.empty()) fail(Case::emptyHost);
    if (host.find("://") != std::string_view::npos) fail(Case::urlSchemeNotAllowed);
    if (std::any_of(host.begin(), host.end(),
                    [](char c) { return c == '/' || c == '?' || c == '#' || c == '@' || isAsciiWhitespace(c); })) {
        fail(Case::unexpectedPathOrCredentials);
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) fail(Case::emptyHost);

    if (host.find(':') != std::string_view::npos) return validateIPv6(host, port, allowLoopback);
    if (std::all_of(host.begin(), host.end(), [](char c) { return isDigit(c) || c == '.'; })) {
        return validateIPv4(host, port, allowLoopback);
    }
    return validateHostname(host, port, allowLoopback);
}

} // namespace velorinth
