#include "transport/security/SecurePairingProtocol.hpp"

#include "core/WorkerCall.hpp"

#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "transport/security/PairingKeyDerivation.hpp"

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace velorinth {

namespace {

using Case = PairingProtocolError::Case;

[[noreturn]] void fail(Case kind) { throw PairingProtocolError(kind); }

ByteView viewOf(std::string_view text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// The versions a request offers: its list, or its own version when the list is empty.
std::vector<std::uint16_t> offeredVersions(const PairingRequest& request) {
    if (request.supportedProtocolVersions.empty()) return {request.protocolVersion};
    return request.supportedProtocolVersions;
}

std::optional<P256PublicKey> publicKeyOrNone(ByteView x963) {
    try {
        return P256PublicKey::fromX963(x963);
    } catch (const CryptoError&) {
        return std::nullopt;
    }
}

// Throws identityMismatch unless `identity`'s fingerprint is its key's
// (and the pin, when given); returns the key.
P256PublicKey requireConsistentIdentity(const DevicePublicIdentity& identity,
                                        const std::optional<DeviceFingerprint>& pin) {
    std::optional<P256PublicKey> key = publicKeyOrNone(identity.signingPublicKey);
    if (!key || DeviceFingerprint::fromPublicKey(key->x963Representation()) != identity.fingerprint) {
        fail(Case::identityMismatch);
    }
    if (pin && *pin != identity.fingerprint) fail(Case::identityMismatch);
    return *key;
}

// Throws invalidCertificateBinding unless the TLS peer is `identity`.
void requireTLSPeer(const std::optional<TLSChannelContext>& context, const DevicePublicIdentity& identity) {
    if (context && (context->peerFingerprint != identity.fingerprint ||
                    context->peerSigningPublicKey != identity.signingPublicKey)) {
        fail(Case::invalidCertificateBinding);
    }
}

Bytes channelBindingOf(const std::optional<TLSChannelContext>& context) {
    return context ? context->exporterChannelBinding : Bytes{};
}

DevicePublicIdentity ownPublicIdentity(DeviceIdentityService& service) {
    return service.publicIdentity(service.loadOrCreateRecord());
}

} // namespace

SecurePairingProtocol::SecurePairingProtocol(asio::thread_pool& kdfWorker) : kdfExecutor_(kdfWorker.get_executor()) {}

// ---- helpers -------------------------------------------------------------------

Bytes SecurePairingProtocol::randomBytes(std::size_t count) {
    try {
        return velorinth::randomBytes(count);
    } catch (const CryptoError&) {
        fail(Case::randomGenerationFailed);
    }
}

Bytes SecurePairingProtocol::transcriptHash(const PairingRequest& request, const PairingResponse& response,
                                            ByteView channelBinding) {
    return PairingTranscript::hash(request, response, channelBinding);
}

ByteView SecurePairingProtocol::responderProofLabel() { return viewOf(kResponderProofLabel); }
ByteView SecurePairingProtocol::initiatorProofLabel() { return viewOf(kInitiatorProofLabel); }

Bytes SecurePairingProtocol::concatenate(ByteView first, ByteView second) {
    Bytes out;
    out.reserve(first.size() + second.size());
    out.insert(out.end(), first.begin(), first.end());
    out.insert(out.end(), second.begin(), second.end());
    return out;
}

std::uint64_t SecurePairingProtocol::distance(std::int64_t a, std::int64_t b) noexcept {
    const auto ua = static_cast<std::uint64_t>(a);
    const auto ub = static_cast<std::uint64_t>(b);
    return a >= b ? ua - ub : ub - ua;
}

std::int64_t SecurePairingProtocol::epochSeconds(Date date) {
    const double seconds = std::trunc(date.timeIntervalSince1970());
    // 2^63 is exact as a double; NaN fails the first test and lands at the minimum.
    constexpr double kLimit = 9223372036854775808.0;
    if (!(seconds > -kLimit)) return std::numeric_limits<std::int64_t>::min();
    if (seconds >= kLimit) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(seconds);
}

// ---- initiator ---------------------------------------------------------------------

PairingInitiatorState SecurePairingProtocol::createRequest(std::shared_ptr<DeviceIdentityService> identityService,
                                                           HandshakePurpose purpose, Date now,
                                                           std::uint16_t protocolVersion,
                                                           std::vector<std::uint16_t> supportedProtocolVersions) {
    if (supportedProtocolVersions.empty()) supportedProtocolVersions = {protocolVersion};
    DevicePublicIdentity identity = ownPublicIdentity(*identityService);
    P256KeyAgreementKey ephemeralKey = P256KeyAgreementKey::generate();
    PairingRequest request{
        Uuid::random(),
        protocolVersion,
        std::move(supportedProtocolVersions),
        std::move(identity),
        ephemeralKey.publicKeyX963(),
        randomBytes(kNonceSize),
        epochSeconds(now),
        purpose,
    };
    return PairingInitiatorState{std::move(request), std::move(identityService), std::move(ephemeralKey)};
}

PairingResponseOutcome SecurePairingProtocol::acceptResponse(const PairingInitiatorState& state,
                                                                           const PairingResponse& response,
                                                                           const std::optional<TLSChannelContext>& context,
                                                                           const std::optional<DeviceFingerprint>& pin) {
    const PairingRequest& request = state.request;
    if (response.pairingID != request.pairingID) fail(Case::pairingIdentifierMismatch);

    const std::vector<std::uint16_t> offered = offeredVersions(request);
    if (std::find(offered.begin(), offered.end(), response.protocolVersion) == offered.end() ||
        !ProtocolVersion::supportedRange.contains(response.protocolVersion)) {
        fail(Case::unsupportedProtocol);
    }
    if (response.nonce.size() != kNonceSize) fail(Case::malformedMessage);

    const P256PublicKey responderKey = requireConsistentIdentity(response.responderIdentity, pin);
    requireTLSPeer(context, response.responderIdentity);

    Bytes hash = transcriptHash(request, response, channelBindingOf(context));
    if (!responderKey.isValidSignature(response.transcriptSignature, concatenate(responderProofLabel(), hash))) {
        fail(Case::invalidSignature);
    }
    AgreedKeys keys = agree(state.ephemeralPrivateKey, response.ephemeralPublicKey, hash);

    PairingConfirmation confirmation{
        request.pairingID,
        hash,
        state.identityService->sign(concatenate(initiatorProofLabel(), hash)),
    };
    PairingVerification verification{
        request.pairingID, response.protocolVersion, response.responderIdentity, std::string(),
        std::move(keys.sessionKey), std::move(hash),
    };
    SecretBytes seed = request.purpose == HandshakePurpose::pair ? std::move(keys.verificationSeed) : SecretBytes{};
    return PairingResponseOutcome{std::move(confirmation), std::move(verification), std::move(seed)};
}

asio::awaitable<void> SecurePairingProtocol::deriveVerificationCode(PairingResponseOutcome& outcome) {
    if (outcome.verificationSeed.empty()) co_return;
    outcome.verification.verificationCode = co_await deriveCodeOnWorker(std::move(outcome.verificationSeed));
    outcome.verificationSeed = SecretBytes{};
}

asio::awaitable<PairingResponseOutcome> SecurePairingProtocol::handleResponse(
    PairingInitiatorState state, PairingResponse response, std::optional<TLSChannelContext> context,
    std::optional<DeviceFingerprint> pin) {
    PairingResponseOutcome outcome = acceptResponse(state, response, context, pin);
    co_await deriveVerificationCode(outcome);
    co_return outcome;
}

// ---- responder -----------------------------------------------------------------------

std::uint16_t SecurePairingProtocol::validateRequest(const PairingRequest& request,
                                                     const std::optional<TLSChannelContext>& context, Date now) {
    std::optional<std::uint16_t> negotiated;
    for (std::uint16_t version : offeredVersions(request)) {
        if (ProtocolVersion::supportedRange.contains(version) && (!negotiated || version > *negotiated)) {
            negotiated = version;
        }
    }
    if (!negotiated) fail(Case::unsupportedProtocol);

    if (request.nonce.size() != kNonceSize || !publicKeyOrNone(request.ephemeralPublicKey)) {
        fail(Case::malformedMessage);
    }
    if (distance(epochSeconds(now), request.createdAtEpochSeconds) >
        static_cast<std::uint64_t>(kRequestAgeWindowSeconds)) {
        fail(Case::timedOut);
    }

    const DevicePublicIdentity& initiator = request.initiatorIdentity;
    std::optional<P256PublicKey> initiatorKey = publicKeyOrNone(initiator.signingPublicKey);
    if (!initiatorKey) fail(Case::malformedMessage);
    if (DeviceFingerprint::fromPublicKey(initiatorKey->x963Representation()) != initiator.fingerprint) {
        fail(Case::identityMismatch);
    }
    requireTLSPeer(context, initiator);
    return *negotiated;
}

PairingResponderState SecurePairingProtocol::createResponse(const PairingRequest& request,
                                                            std::uint16_t negotiatedVersion,
                                                            const std::optional<TLSChannelContext>& context,
                                                            std::shared_ptr<DeviceIdentityService> identityService) {
    DevicePublicIdentity identity = ownPublicIdentity(*identityService);
    P256KeyAgreementKey ephemeralKey = P256KeyAgreementKey::generate();
    PairingResponse response{
        request.pairingID, negotiatedVersion, std::move(identity), ephemeralKey.publicKeyX963(),
        randomBytes(kNonceSize), Bytes{},
    };
    Bytes binding = channelBindingOf(context);
    const Bytes hash = transcriptHash(request, response, binding);
    response.transcriptSignature = identityService->sign(concatenate(responderProofLabel(), hash));
    return PairingResponderState{request, std::move(response), std::move(identityService), std::move(ephemeralKey),
                                 std::move(binding)};
}

SecurePairingProtocol::CheckedConfirmation SecurePairingProtocol::checkConfirmation(
    const PairingResponderState& state, const PairingConfirmation& confirmation,
    const std::optional<DeviceFingerprint>& pin) {
    const PairingRequest& request = state.request;
    if (confirmation.pairingID != request.pairingID) fail(Case::pairingIdentifierMismatch);

    Bytes hash = transcriptHash(request, state.response, state.tlsChannelBinding);
    if (!constantTimeEqual(hash, confirmation.transcriptHash)) fail(Case::transcriptMismatch);

    const DevicePublicIdentity& initiator = request.initiatorIdentity;
    std::optional<P256PublicKey> initiatorKey = publicKeyOrNone(initiator.signingPublicKey);
    // The pin is held against the key itself as well as the fingerprint it
    // claims, so a request that skipped validation cannot borrow a pinned name.
    if (pin && (*pin != initiator.fingerprint || !initiatorKey ||
                DeviceFingerprint::fromPublicKey(initiatorKey->x963Representation()) != *pin)) {
        fail(Case::identityMismatch);
    }
    if (!initiatorKey ||
        !initiatorKey->isValidSignature(confirmation.transcriptSignature, concatenate(initiatorProofLabel(), hash))) {
        fail(Case::invalidSignature);
    }
    AgreedKeys keys = agree(state.ephemeralPrivateKey, request.ephemeralPublicKey, hash);
    PairingVerification verification{
        request.pairingID, state.response.protocolVersion, initiator, std::string(), std::move(keys.sessionKey),
        std::move(hash),
    };
    return CheckedConfirmation{std::move(verification), std::move(keys.verificationSeed)};
}

asio::awaitable<PairingVerification> SecurePairingProtocol::handleConfirmation(
    PairingResponderState state, PairingConfirmation confirmation, std::optional<DeviceFingerprint> pin) {
    CheckedConfirmation checked = checkConfirmation(state, confirmation, pin);
    if (state.request.purpose == HandshakePurpose::pair) {
        checked.verification.verificationCode = co_await deriveCodeOnWorker(std::move(checked.verificationSeed));
    }
    co_return std::move(checked.verification);
}

// ---- key schedule ------------------------------------------------------------------------

SecurePairingProtocol::AgreedKeys SecurePairingProtocol::agree(const P256KeyAgreementKey& ownKey,
                                                               ByteView peerEphemeralKey, ByteView transcriptHash) {
    try {
        // Z is wiped when it goes out of scope; only the derived values leave.
        const SecretBytes sharedSecret = ownKey.sharedSecret(peerEphemeralKey);
        return AgreedKeys{PairingKeyDerivation::sessionKey(sharedSecret.view(), transcriptHash),
                          PairingKeyDerivation::verificationSeed(sharedSecret.view(), transcriptHash)};
    } catch (const CryptoError&) {
        fail(Case::keyAgreementFailed);
    }
}

asio::awaitable<std::string> SecurePairingProtocol::deriveCodeOnWorker(SecretBytes seed) {
    auto derive = [seed = std::move(seed)] {
        try {
            return PairingKeyDerivation::verificationCodeFromSeed(seed.view());
        } catch (const CryptoError&) {
            fail(Case::keyAgreementFailed);
        }
    };
    std::string code = co_await callOnWorker(kdfExecutor_, std::move(derive));
    co_return code;
}

} // namespace velorinth
