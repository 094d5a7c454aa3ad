#pragma once

#include "core/Error.hpp"

#include <string_view>

namespace velorinth {

// Failures of the TLS identity, the peer verification and the channel binding.
class TLSSecurityError : public Error {
public:
    enum class Case {
        identityCreationFailed,
        missingTLSHandshakeMetadata,
        unsupportedTLSVersion,
        missingPeerCertificate,
        invalidCertificateBinding,
        pinnedFingerprintMismatch,
        exporterFailed,
    };

    explicit TLSSecurityError(Case kind);
    static std::string_view text(Case kind) noexcept;

    bool operator==(const TLSSecurityError& other) const noexcept { return kind == other.kind; }

    Case kind;
};

} // namespace velorinth
