#pragma once

#include "core/Bytes.hpp"
#include "core/IdentityModels.hpp"
#include "core/Uuid.hpp"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace velorinth {

// The outcome of a verified pairing exchange on one side: who the other side
// is, the code both users compare, and the key the session cipher starts from.
struct PairingVerification {
    Uuid pairingID;
    std::uint16_t negotiatedProtocolVersion = 0; // the response's version
    DevicePublicIdentity peerIdentity;           // the other side's identity
    std::string verificationCode;                // exactly six decimal digits
    SecretBytes sessionKey;                      // 32 bytes
    Bytes transcriptHash;                        // 32 bytes

    // Readable summary with the session key shown as "[REDACTED]".
    std::string description() const;

    bool operator==(const PairingVerification&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PairingVerification& verification);

} // namespace velorinth
