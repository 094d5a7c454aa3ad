#include "platform/tls/TLSSecurityError.hpp"

#include <string>

namespace velorinth {

TLSSecurityError::TLSSecurityError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view TLSSecurityError::text(Case kind) noexcept {
    switch (kind) {
    case Case::identityCreationFailed: return "Could not create a local TLS cryptographic identity.";
    case Case::missingTLSHandshakeMetadata: return "The connection did not complete a verified TLS 1.3 handshake.";
    case Case::unsupportedTLSVersion: return "The peer attempted to negotiate an unsupported TLS protocol version.";
    case Case::missingPeerCertificate: return "The remote device did not present an identity certificate.";
    case Case::invalidCertificateBinding:
        return "The remote device presented an invalid certificate or mismatched key binding.";
    case Case::pinnedFingerprintMismatch: return "The remote device certificate does not match the trusted identity.";
    case Case::exporterFailed: return "Failed to derive the TLS 1.3 channel binding secret.";
    }
    return "Could not create a local TLS cryptographic identity.";
}

} // namespace velorinth
