#include "transport/security/PairingVerification.hpp"

#include <ostream>

namespace velorinth {

std::string PairingVerification::description() const {
    return "PairingVerification(pairingID: " + pairingID.uuidString() +
           ", negotiatedProtocolVersion: " + std::to_string(negotiatedProtocolVersion) + ", peerIdentity: " +
           peerIdentity.id.uuidString() + " \"" + peerIdentity.displayName + "\" " +
           peerIdentity.fingerprint.shortDisplayText() + ", verificationCode: " + verificationCode +
           ", sessionKey: [REDACTED], transcriptHash: " + hexEncodedString(transcriptHash) + ")";
}

std::ostream& operator<<(std::ostream& out, const PairingVerification& verification) {
    return out << verification.description();
}

} // namespace velorinth
