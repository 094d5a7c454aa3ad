#pragma once

#include "core/Bytes.hpp"
#include "core/Constants.hpp"
#include "core/Date.hpp"
#include "core/IdentityModels.hpp"
#include "platform/crypto/P256KeyAgreementKey.hpp"
#include "platform/tls/TLSChannelContext.hpp"
#include "transport/security/DeviceIdentityService.hpp"
#include "transport/security/HandshakeMessages.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/PairingTranscript.hpp"
#include "transport/security/PairingVerification.hpp"

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace velorinth {

// The tablet's side between sending the request and reading the response.
struct PairingInitiatorState {
    PairingRequest request;
    std::shared_ptr<DeviceIdentityService> identityService;
    P256KeyAgreementKey ephemeralPrivateKey;
};

// The host's side between sending the signed response and reading the confirmation.
struct PairingResponderState {
    PairingRequest request;
    PairingResponse response; // signed
    std::shared_ptr<DeviceIdentityService> identityService;
    P256KeyAgreementKey ephemeralPrivateKey;
    Bytes tlsChannelBinding; // the exporter value, or empty without TLS
};

// What the tablet sends back, and what it now knows. On a pairing the code is
// derived after the confirmation has gone (deriveVerificationCode), so the
// two memory-hard derivations run at the same time on the two devices.
struct PairingResponseOutcome {
    PairingConfirmation confirmation;
    PairingVerification verification; // its code empty until derived; always empty on a reconnection
    SecretBytes verificationSeed;     // empty on a reconnection
};

// The pairing exchange of both roles: request (tablet), signed response
// (host), signed confirmation (tablet); then each side derives the session key
// and, on a first pairing only, the verification code on its own. The code is
// only for a person to compare: a reconnection never pays for it, so an
// untrusted peer cannot make the host run the memory-hard derivation.
//
// Each side signs label ‖ transcript hash, and the transcript carries the TLS
// exporter value, so a proof made on one TLS session is worthless on another.
// Checks, signatures and key agreement run on the calling executor; the
// memory-hard code derivation runs on the KDF worker, and the coroutine
// resumes on the calling executor with its result. Failures are
// PairingProtocolError unless stated otherwise.
class SecurePairingProtocol {
public:
    static constexpr std::size_t kNonceSize = 32;
    // Largest accepted distance between a request's creation time and the host's clock.
    static constexpr std::int64_t kRequestAgeWindowSeconds = 120;
    static constexpr std::string_view kResponderProofLabel = "Velorinth pairing responder proof v1";
    static constexpr std::string_view kInitiatorProofLabel = "Velorinth pairing initiator proof v1";

    // The worker must outlive every pairing in flight.
    explicit SecurePairingProtocol(asio::thread_pool& kdfWorker);

    // ---- helpers -----------------------------------------------------------
    static void appendField(ByteView field, Bytes& buffer) { PairingTranscript::appendField(field, buffer); }
    // Throws randomGenerationFailed.
    static Bytes randomBytes(std::size_t count);
    // SHA-256 of the transcript; the response's signature is not part of it.
    static Bytes transcriptHash(const PairingRequest& request, const PairingResponse& response,
                                ByteView channelBinding);
    static ByteView responderProofLabel();
    static ByteView initiatorProofLabel();
    static Bytes concatenate(ByteView first, ByteView second);
    // Whole seconds since 1970, truncated toward zero; clamped to the Int64 range.
    static std::int64_t epochSeconds(Date date);
    // |a − b| without overflow: the distance of any two Int64 values fits a UInt64.
    static std::uint64_t distance(std::int64_t a, std::int64_t b) noexcept;

    // ---- initiator (tablet) ------------------------------------------------
    // A request from this device's identity with a fresh ephemeral key and
    // nonce. An empty `supportedProtocolVersions` offers `protocolVersion` alone.
    // Throws the identity service's errors, randomGenerationFailed, or
    // CryptoError(keyGenerationFailed).
    static PairingInitiatorState createRequest(std::shared_ptr<DeviceIdentityService> identityService,
                                               HandshakePurpose purpose, Date now,
                                               std::uint16_t protocolVersion = ProtocolVersion::current,
                                               std::vector<std::uint16_t> supportedProtocolVersions = {});

    // Checks the response in this order: pairingIdentifierMismatch,
    // unsupportedProtocol, malformedMessage (nonce), identityMismatch (key,
    // fingerprint, pin), invalidCertificateBinding (TLS peer), invalidSignature,
    // keyAgreementFailed; then signs the confirmation with the state's identity.
    // The verification's code is left to deriveVerificationCode.
    static PairingResponseOutcome acceptResponse(const PairingInitiatorState& state, const PairingResponse& response,
                                                 const std::optional<TLSChannelContext>& context,
                                                 const std::optional<DeviceFingerprint>& pin);
    // Fills the outcome's code on a pairing; a reconnection has none to derive.
    asio::awaitable<void> deriveVerificationCode(PairingResponseOutcome& outcome);
    // acceptResponse, then deriveVerificationCode.
    asio::awaitable<PairingResponseOutcome> handleResponse(PairingInitiatorState state, PairingResponse response,
                                                           std::optional<TLSChannelContext> context,
                                                           std::optional<DeviceFingerprint> pin);

    // ---- responder (host) --------------------------------------------------
    // The negotiated version. Checks in this order: unsupportedProtocol,
    // malformedMessage (nonce, ephemeral key), timedOut (age window of
    // ±120 s, inclusive, against `now` in whole seconds), malformedMessage or
    // identityMismatch (initiator key and fingerprint), invalidCertificateBinding
    // (TLS peer).
    static std::uint16_t validateRequest(const PairingRequest& request, const std::optional<TLSChannelContext>& context,
                                         Date now);

    // The signed response to a validated request, with the state to keep.
    // Throws the identity service's errors, randomGenerationFailed, or
    // CryptoError(keyGenerationFailed).
    static PairingResponderState createResponse(const PairingRequest& request, std::uint16_t negotiatedVersion,
                                                const std::optional<TLSChannelContext>& context,
                                                std::shared_ptr<DeviceIdentityService> identityService);

    // Checks the confirmation in this order: pairingIdentifierMismatch,
    // transcriptMismatch, identityMismatch (pin, when given), invalidSignature,
    // keyAgreementFailed; then derives the verification, with its code only
    // when the request's purpose is a pairing.
    asio::awaitable<PairingVerification> handleConfirmation(PairingResponderState state,
                                                            PairingConfirmation confirmation,
                                                            std::optional<DeviceFingerprint> pin = std::nullopt);

    // ---- the handlers' checks ----------------------------------------------
    // The checks and the cheap derivations; the code is left to the worker.
    // Callable alone, so hostile messages can be driven through them without
    // paying for the memory-hard derivation.
    struct CheckedConfirmation {
        PairingVerification verification; // without its code
        SecretBytes verificationSeed;
    };

    static CheckedConfirmation checkConfirmation(const PairingResponderState& state,
                                                 const PairingConfirmation& confirmation,
                                                 const std::optional<DeviceFingerprint>& pin);

private:
    struct AgreedKeys {
        SecretBytes sessionKey;
        SecretBytes verificationSeed;
    };

    static AgreedKeys agree(const P256KeyAgreementKey& ownKey, ByteView peerEphemeralKey, ByteView transcriptHash);
    asio::awaitable<std::string> deriveCodeOnWorker(SecretBytes seed);

    asio::thread_pool::executor_type kdfExecutor_;
};

} // namespace velorinth
