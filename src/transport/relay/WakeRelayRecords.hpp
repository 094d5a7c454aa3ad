#pragma once

// What a wake relay keeps: the Macs it may wake, the tablets it answers, its
// outstanding pairing tickets and its audit lines.

#include "core/Bytes.hpp"
#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/Json.hpp"
#include "core/Uuid.hpp"
#include "core/WakeModels.hpp"
#include "transport/relay/WakeRelayMessages.hpp"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velorinth {

// A Mac this relay may wake. Made by `validate` or decoded (a decoded record
// is not checked again).
struct WakeRelayTargetRecord {
    static constexpr std::string_view kDefaultDisplayName = "Paired Mac";

    Uuid macDeviceID;
    std::string displayName;
    std::vector<WakeNetworkInterfaceTarget> interfaces;
    std::optional<std::uint16_t> bonjourServicePort;
    bool sleepProxyEligible = false;
    Date createdAt;

    // At least one interface, each with a private or link-local IPv4
    // destination (loopback with `allowLoopback`); the name trimmed, empty
    // becoming "Paired Mac"; the interfaces kept exactly as given. Throws
    // LocalWakeError, or WakeModelError for an unparsable unicast address.
    static WakeRelayTargetRecord validate(Uuid macDeviceID, std::string_view displayName,
                                          std::vector<WakeNetworkInterfaceTarget> interfaces,
                                          std::optional<std::uint16_t> bonjourServicePort, bool sleepProxyEligible,
                                          Date createdAt, bool allowLoopback);

    // What the local wake service dispatches from: these interfaces, verified
    // wake for network access, updated `now`.
    SavedWakeConfiguration wakeConfiguration(Date now) const;

    bool operator==(const WakeRelayTargetRecord&) const = default;
};

// A tablet that may ask this relay to wake the Macs in its set.
struct WakeRelayClientAuthorization {
    DevicePublicIdentity clientIdentity;
    std::set<Uuid> allowedTargetMacIDs;
    DeviceAuthorization authorization = DeviceAuthorization::authorized;
    Date pairedAt;

    bool operator==(const WakeRelayClientAuthorization&) const = default;
};

// A one-time pairing ticket as the relay keeps it: the digest of its secret,
// never the secret.
struct WakeRelayTicketRecord {
    Uuid ticketID;
    Bytes secretSHA256; // SHA-256 of the secret's 64 lower-case hex characters
    Uuid targetMacDeviceID;
    Date expiresAt;

    bool operator==(const WakeRelayTicketRecord&) const = default;
};

// One decision of the relay, for its operator.
struct WakeRelayAuditEntry {
    Date timestamp;
    std::string clientFingerprintShort;
    std::optional<Uuid> targetMacDeviceID;
    WakeRelayResponseStatus status = WakeRelayResponseStatus::malformedRequest;
    std::string detail;

    bool operator==(const WakeRelayAuditEntry&) const = default;
};

namespace json {

template <>
struct JsonFields<WakeRelayTargetRecord> {
    static constexpr auto fields = std::make_tuple(
        member("macDeviceID", &WakeRelayTargetRecord::macDeviceID),
        member("displayName", &WakeRelayTargetRecord::displayName),
        member("interfaces", &WakeRelayTargetRecord::interfaces),
        member("bonjourServicePort", &WakeRelayTargetRecord::bonjourServicePort),
        member("sleepProxyEligible", &WakeRelayTargetRecord::sleepProxyEligible),
        member("createdAt", &WakeRelayTargetRecord::createdAt));
};

template <>
struct JsonFields<WakeRelayClientAuthorization> {
    static constexpr auto fields = std::make_tuple(
        member("clientIdentity", &WakeRelayClientAuthorization::clientIdentity),
        member("allowedTargetMacIDs", &WakeRelayClientAuthorization::allowedTargetMacIDs),
        member("authorization", &WakeRelayClientAuthorization::authorization),
        member("pairedAt", &WakeRelayClientAuthorization::pairedAt));
};

template <>
struct JsonFields<WakeRelayTicketRecord> {
    static constexpr auto fields = std::make_tuple(
        member("ticketID", &WakeRelayTicketRecord::ticketID),
        member("secretSHA256", &WakeRelayTicketRecord::secretSHA256),
        member("targetMacDeviceID", &WakeRelayTicketRecord::targetMacDeviceID),
        member("expiresAt", &WakeRelayTicketRecord::expiresAt));
};

template <>
struct JsonFields<WakeRelayAuditEntry> {
    static constexpr auto fields = std::make_tuple(
        member("timestamp", &WakeRelayAuditEntry::timestamp),
        member("clientFingerprintShort", &WakeRelayAuditEntry::clientFingerprintShort),
        member("targetMacDeviceID", &WakeRelayAuditEntry::targetMacDeviceID),
        member("status", &WakeRelayAuditEntry::status),
        member("detail", &WakeRelayAuditEntry::detail));
};

} // namespace json
} // namespace velorinth
