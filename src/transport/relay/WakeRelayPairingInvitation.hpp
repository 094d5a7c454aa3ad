#pragma once

#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "core/RemoteEndpoint.hpp"
#include "core/Uuid.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace velorinth {

// What a relay hands a tablet so that it can pair: where the relay listens,
// the fingerprint it must carry, the Mac, and a one-time ticket. It travels
// as one line, "vlrelay1|host:port|FINGERPRINT|target|ticket|secret|expiry",
// the only form that carries the secret in the clear.
struct WakeRelayPairingInvitation {
    static constexpr std::string_view prefix = "vlrelay1";

    RemoteEndpoint endpoint;
    DeviceFingerprint relayFingerprint;
    Uuid targetMacDeviceID;
    Uuid ticketID;
    std::string secretHex; // 64 lower-case hexadecimal characters
    Date expiresAt;

    ~WakeRelayPairingInvitation();

    // Reads the text form (surrounding white space ignored). The endpoint
    // gets a new identifier, the current time and 51892 when the text names
    // no port. Throws WakeRelayClientError invalidInvitationFormat, or the
    // endpoint validator's own error. The expiry is not compared with the clock.
    static WakeRelayPairingInvitation fromEncodedString(std::string_view text, bool allowLoopback);

    // The text form. Throws WakeRelayClientError invalidInvitationFormat for
    // an expiry that is not finite or whose whole seconds since 1970 do not
    // fit a signed 64-bit number: such an invitation cannot be written.
    std::string encodedString() const;

    // The expiry as written: whole seconds since 1970, toward zero. Throws as encodedString.
    static std::int64_t expirySeconds(Date expiresAt);

    // Never the secret: "WakeRelayPairingInvitation(endpoint: …, relayFingerprint:
    // …, targetMac: …, secret: [REDACTED])".
    std::string description() const;

    bool operator==(const WakeRelayPairingInvitation&) const = default;
};

} // namespace velorinth
