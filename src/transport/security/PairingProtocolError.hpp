#pragma once

#include "core/Error.hpp"

#include <string_view>

namespace velorinth {

// Every way a pairing or reconnection handshake can fail in the protocol
// itself; the timeout race and the relay reuse some of the cases.
class PairingProtocolError : public Error {
public:
    enum class Case {
        unsupportedProtocol,
        malformedMessage,
        timedOut,
        pairingIdentifierMismatch,
        identityMismatch,
        invalidCertificateBinding,
        transcriptMismatch,
        invalidSignature,
        keyAgreementFailed,
        randomGenerationFailed,
        verificationCodeMismatch,
        rejected,
        cancelled,
        replayedHandshake,
    };

    explicit PairingProtocolError(Case kind);
    static std::string_view text(Case kind);
    // `cancelled` is what the timeout race throws for a cancelled task.
    bool isCancellation() const noexcept override { return kind == Case::cancelled; }

    Case kind;
};

// The handshake's timed steps fail with these (AsyncTimeout's error policy).
struct PairingTimeoutErrors {
    static PairingProtocolError timedOut() { return PairingProtocolError(PairingProtocolError::Case::timedOut); }
    static PairingProtocolError cancelled() { return PairingProtocolError(PairingProtocolError::Case::cancelled); }
};

} // namespace velorinth
