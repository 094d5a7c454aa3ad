#include "transport/relay/WakeRelayPairingInvitation.hpp"

#include "core/Constants.hpp"
#include "core/Text.hpp"
#include "transport/relay/WakeRelayClientError.hpp"

#include <charconv>
#include <cmath>
#include <vector>

namespace velorinth {

namespace {

constexpr std::size_t kFieldCount = 7;
constexpr std::size_t kHexLength = 64;

[[noreturn]] void malformed() { throw WakeRelayClientError::invalidInvitationFormat(); }

std::vector<std::string_view> pieces(std::string_view text) {
    std::vector<std::string_view> out;
    for (std::size_t start = 0;;) {
        const std::size_t bar = text.find('|', start);
        out.push_back(text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
        if (bar == std::string_view::npos || out.size() > kFieldCount) return out;
        start = bar + 1;
    }
}

Uuid uuidPiece(std::string_view piece) {
    const std::optional<Uuid> id = Uuid::fromString(piece);
    if (!id) malformed();
    return *id;
}

DeviceFingerprint fingerprintPiece(std::string_view piece) {
    if (piece.size() != kHexLength) malformed();
    const std::optional<Bytes> bytes = hexDecode(piece);
    if (!bytes) malformed();
    return DeviceFingerprint(*bytes);
}

std::string secretPiece(std::string_view piece) {
    if (piece.size() != kHexLength || !hexDecode(piece)) malformed();
    std::string secret(piece);
    for (char& c : secret) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return secret;
}

// A decimal Int64 with an optional sign and nothing else.
Date expiryPiece(std::string_view piece) {
    std::string_view digits = piece;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty() || digits.front() == '+' || (digits.front() == '-' && digits.size() != piece.size())) {
        malformed();
    }
    std::int64_t seconds = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
    if (error != std::errc() || end != digits.data() + digits.size()) malformed();
    return Date::fromUnixSeconds(static_cast<double>(seconds));
}

} // namespace

WakeRelayPairingInvitation::~WakeRelayPairingInvitation() { secureWipe(secretHex.data(), secretHex.size()); }

WakeRelayPairingInvitation WakeRelayPairingInvitation::fromEncodedString(std::string_view text, bool allowLoopback) {
    const std::vector<std::string_view> fields = pieces(trimmedWhitespace(text));
    if (fields.size() != kFieldCount || fields[0] != prefix) malformed();
    WakeRelayPairingInvitation invitation;
    invitation.endpoint =
        RemoteEndpoint::validating(fields[1], VelorinthService::defaultRelayPort, RemoteTransportKind::privateNetwork,
                                   std::nullopt, Uuid::random(), Date::now(), allowLoopback);
    invitation.relayFingerprint = fingerprintPiece(fields[2]);
    invitation.targetMacDeviceID = uuidPiece(fields[3]);
    invitation.ticketID = uuidPiece(fields[4]);
    invitation.secretHex = secretPiece(fields[5]);
    invitation.expiresAt = expiryPiece(fields[6]);
    return invitation;
}

std::int64_t WakeRelayPairingInvitation::expirySeconds(Date expiresAt) {
    const double seconds = std::trunc(expiresAt.timeIntervalSince1970());
    constexpr double kLimit = 9223372036854775808.0; // 2^63, exact as a double
    if (!std::isfinite(seconds) || seconds < -kLimit || seconds >= kLimit) malformed();
    return static_cast<std::int64_t>(seconds);
}

std::string WakeRelayPairingInvitation::encodedString() const {
    const std::string host =
        endpoint.hostKind == RemoteHostKind::ipv6Literal ? "[" + endpoint.host + "]" : endpoint.host;
    std::string secret = secretHex;
    for (char& c : secret) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::string text = std::string(prefix) + "|" + host + ":" + std::to_string(endpoint.port) + "|" +
                       hexEncodedString(relayFingerprint.bytes()) + "|" + targetMacDeviceID.lowercaseString() + "|" +
                       ticketID.lowercaseString() + "|" + secret + "|" + std::to_string(expirySeconds(expiresAt));
    secureWipe(secret.data(), secret.size());
    return text;
}

std::string WakeRelayPairingInvitation::description() const {
    return "WakeRelayPairingInvitation(endpoint: " + endpoint.displayAddress() +
           ", relayFingerprint: " + relayFingerprint.shortDisplayText() +
           ", targetMac: " + targetMacDeviceID.uuidString() + ", secret: [REDACTED])";
}

} // namespace velorinth
