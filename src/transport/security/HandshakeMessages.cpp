#include "transport/security/HandshakeMessages.hpp"

namespace velorinth {

std::string_view handshakeRejectionText(HandshakeRejectionCode code) {
    switch (code) {
    case HandshakeRejectionCode::userRejected: return "Pairing was rejected on the Mac.";
    case HandshakeRejectionCode::untrustedDevice: return "This iPad is not paired with the Mac.";
    case HandshakeRejectionCode::revokedDevice: return "Access for this iPad was revoked on the Mac.";
    case HandshakeRejectionCode::permissionDenied: return "This iPad is not permitted to open a session.";
    case HandshakeRejectionCode::approvalTimedOut: return "Pairing approval timed out on the Mac.";
    case HandshakeRejectionCode::unsupportedProtocol: return "Incompatible Velorinth protocol version.";
    case HandshakeRejectionCode::pairingBusy: return "The Mac is already displaying another pairing request.";
    case HandshakeRejectionCode::rateLimited: return "Too many pairing attempts. Wait a minute and try again.";
    case HandshakeRejectionCode::malformedMessage: return "Malformed handshake request.";
    }
    return {};
}

} // namespace velorinth
