#include "transport/security/PairingProtocolError.hpp"

#include <string>

namespace velorinth {

PairingProtocolError::PairingProtocolError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view PairingProtocolError::text(Case kind) {
    switch (kind) {
    case Case::unsupportedProtocol: return "This device uses an incompatible Velorinth protocol version.";
    case Case::malformedMessage: return "Received a malformed pairing or authentication message.";
    case Case::timedOut:
        return "The secure handshake timed out. Ensure both devices remain open and on the same local network.";
    case Case::pairingIdentifierMismatch: return "The handshake session identifier did not match.";
    case Case::identityMismatch:
        return "The remote device identity does not match the trusted identity. Connection blocked.";
    case Case::invalidCertificateBinding:
        return "The remote device TLS certificate did not match its cryptographic identity. Connection blocked.";
    case Case::transcriptMismatch:
        return "The handshake transcript failed integrity verification. Connection blocked.";
    case Case::invalidSignature: return "The remote device could not prove possession of its private identity key.";
    case Case::keyAgreementFailed: return "Ephemeral session key agreement failed.";
    case Case::randomGenerationFailed: return "Secure random number generation failed.";
    case Case::verificationCodeMismatch: return "Verification codes did not match. Pairing was cancelled.";
    case Case::rejected: return "Pairing was rejected on the Mac.";
    case Case::cancelled: return "The operation was cancelled.";
    case Case::replayedHandshake: return "A replayed handshake attempt was detected and blocked.";
    }
    return {};
}

} // namespace velorinth
