// Drives hostile pairing messages through both sides' checks after decoding:
// the host's validation of the request and check of the confirmation, the
// tablet's check of the response. Each starts from a sound exchange under
// fixed keys; the input changes versions, keys (as points), fingerprints,
// nonces, DER signatures, the clock against the age window, the TLS peer and
// the pin. Refusals are PairingProtocolError; an accepted signature verifies,
// a sound exchange passes, and two sides that pass agree on the session key.
#include "FuzzSupport.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "transport/security/SecurePairingProtocol.hpp"

#include <algorithm>
#include <bit>

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

using Protocol = SecurePairingProtocol;
constexpr Date kNow(800'000'000.0);
const Bytes kExporter(32, 0x77);

struct Sides {
    std::shared_ptr<DeviceIdentityService> tablet = fixedIdentity(0, "Tablet");
    std::shared_ptr<DeviceIdentityService> host = fixedIdentity(1, "Host");
    DevicePublicIdentity tabletIdentity = tablet->publicIdentity(tablet->loadOrCreateRecord());
    DevicePublicIdentity hostIdentity = host->publicIdentity(host->loadOrCreateRecord());
    P256KeyAgreementKey tabletEphemeral = P256KeyAgreementKey::fromX963(fixedPrivateKey(1));
};

std::optional<DeviceFingerprint> pin(FuzzedDataProvider& input, const DevicePublicIdentity& peer) {
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0: return std::nullopt;
    case 1: return peer.fingerprint;
    default: return DeviceFingerprint::fromPublicKey(takeBytes(input, 65));
    }
}

Bytes signature(FuzzedDataProvider& input, DeviceIdentityService& signer, ByteView label, ByteView hash) {
    return validOrTaken(input, signer.sign(Protocol::concatenate(label, hash)), 80);
}

bool verifies(ByteView key, ByteView signature, ByteView label, ByteView hash) {
    return P256PublicKey::fromX963(key).isValidSignature(signature, Protocol::concatenate(label, hash));
}

// Seconds either side of the age window's edges; none when the input is spent.
std::int64_t clockSkew(FuzzedDataProvider& input) {
    const auto skew = input.ConsumeIntegralInRange<std::int64_t>(0, 260);
    return skew <= 130 ? skew : 130 - skew;
}

PairingRequest request(FuzzedDataProvider& input, const Sides& sides) {
    PairingRequest request{fixedUuid(9), ProtocolVersion::current, {}, presentedIdentity(input, sides.tabletIdentity),
                           validOrTaken(input, sides.tabletEphemeral.publicKeyX963()),
                           validOrTaken(input, Bytes(Protocol::kNonceSize, 0x11), 40),
                           Protocol::epochSeconds(kNow) + clockSkew(input),
                           input.ConsumeBool() ? HandshakePurpose::reconnect : HandshakePurpose::pair};
    if (input.ConsumeBool()) request.protocolVersion = input.ConsumeIntegral<std::uint16_t>();
    if (input.ConsumeBool()) request.createdAtEpochSeconds = input.ConsumeIntegral<std::int64_t>();
    for (int count = input.ConsumeIntegralInRange(0, 4); count > 0; --count) {
        request.supportedProtocolVersions.push_back(input.ConsumeIntegralInRange<std::uint16_t>(0, 3));
    }
    return request;
}

bool withinWindow(std::int64_t createdAt, Date now) {
    const std::int64_t seconds = Protocol::epochSeconds(now);
    const auto gap = seconds >= createdAt ? static_cast<std::uint64_t>(seconds) - static_cast<std::uint64_t>(createdAt)
                                          : static_cast<std::uint64_t>(createdAt) - static_cast<std::uint64_t>(seconds);
    return gap <= static_cast<std::uint64_t>(Protocol::kRequestAgeWindowSeconds);
}

// The host's view of the request; returns the negotiated version, if any.
std::optional<std::uint16_t> validated(const PairingRequest& request, const std::optional<TLSChannelContext>& peer,
                                       Date now) {
    std::uint16_t version = 0;
    if (!accepts<PairingProtocolError>([&] { version = Protocol::validateRequest(request, peer, now); })) {
        return std::nullopt;
    }
    const auto& offered = request.supportedProtocolVersions;
    require(ProtocolVersion::supportedRange.contains(version));
    require(offered.empty() ? version == request.protocolVersion
                            : std::find(offered.begin(), offered.end(), version) != offered.end());
    require(withinWindow(request.createdAtEpochSeconds, now));
    return version;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Sides sides;
    FuzzedDataProvider input(data, size);

    // The host reads the request.
    const PairingRequest request = ::request(input, sides);
    const auto hostTLS = tlsPeer(input, sides.tabletIdentity, kExporter);
    const Date now = input.ConsumeBool() ? Date(std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>())) : kNow;
    const auto negotiated = validated(request, hostTLS, now);
    const bool soundRequest = request.initiatorIdentity == sides.tabletIdentity &&
                              request.ephemeralPublicKey == sides.tabletEphemeral.publicKeyX963() &&
                              request.nonce.size() == Protocol::kNonceSize && request.protocolVersion == 1 &&
                              request.supportedProtocolVersions.empty() && now == kNow &&
                              withinWindow(request.createdAtEpochSeconds, now) &&
                              (!hostTLS || hostTLS->peerSigningPublicKey == sides.tabletIdentity.signingPublicKey);
    require(negotiated || !soundRequest);
    const PairingResponderState state =
        Protocol::createResponse(request, negotiated.value_or(ProtocolVersion::current), hostTLS, sides.host);

    // The tablet checks the response as it arrives.
    PairingResponse response = state.response;
    response.responderIdentity = presentedIdentity(input, response.responderIdentity);
    response.ephemeralPublicKey = validOrTaken(input, response.ephemeralPublicKey);
    response.nonce = validOrTaken(input, response.nonce, 40);
    if (input.ConsumeBool()) response.protocolVersion = input.ConsumeIntegral<std::uint16_t>();
    const auto tabletTLS = tlsPeer(input, sides.hostIdentity, kExporter);
    const Bytes binding = tabletTLS ? kExporter : Bytes{};
    response.transcriptSignature = signature(input, *sides.host, Protocol::responderProofLabel(),
                                             Protocol::transcriptHash(request, response, binding));
    const PairingInitiatorState initiator{request, sides.tablet, sides.tabletEphemeral};
    std::optional<PairingResponseOutcome> checkedResponse;
    accepts<PairingProtocolError>(
        [&] { checkedResponse = Protocol::acceptResponse(initiator, response, tabletTLS, pin(input, sides.hostIdentity)); });
    if (checkedResponse) {
        const Bytes& hash = checkedResponse->confirmation.transcriptHash;
        require(hash == Protocol::transcriptHash(request, response, binding));
        require(verifies(response.responderIdentity.signingPublicKey, response.transcriptSignature,
                         Protocol::responderProofLabel(), hash));
    }

    // The host checks the confirmation: the tablet's own, or one made up, then changed.
    const Bytes hostHash = Protocol::transcriptHash(request, state.response, state.tlsChannelBinding);
    PairingConfirmation sent = checkedResponse ? checkedResponse->confirmation
                                               : PairingConfirmation{request.pairingID, hostHash, Bytes{}};
    const bool untouched = !input.ConsumeBool();
    PairingConfirmation confirmation = sent;
    if (!untouched) {
        if (input.ConsumeBool()) confirmation.pairingID = fixedUuid(10);
        confirmation.transcriptHash = validOrTaken(input, sent.transcriptHash, 40);
        confirmation.transcriptSignature =
            signature(input, *sides.tablet, Protocol::initiatorProofLabel(), confirmation.transcriptHash);
    }
    const auto hostPin = pin(input, sides.tabletIdentity);
    std::optional<Protocol::CheckedConfirmation> checkedConfirmation;
    accepts<PairingProtocolError>(
        [&] { checkedConfirmation = Protocol::checkConfirmation(state, confirmation, hostPin); });
    if (checkedConfirmation) {
        require(confirmation.pairingID == request.pairingID && confirmation.transcriptHash == hostHash);
        require(verifies(request.initiatorIdentity.signingPublicKey, confirmation.transcriptSignature,
                         Protocol::initiatorProofLabel(), hostHash));
        require(!hostPin || *hostPin == DeviceFingerprint::fromPublicKey(request.initiatorIdentity.signingPublicKey));
    }
    if (checkedResponse && untouched) {
        // The tablet's own confirmation of what the host sent: both or neither agree.
        const Bytes& tabletKey = sides.tabletIdentity.signingPublicKey;
        const bool sameExchange =
            checkedResponse->confirmation.transcriptHash == hostHash &&
            request.initiatorIdentity.signingPublicKey == tabletKey &&
            request.ephemeralPublicKey == sides.tabletEphemeral.publicKeyX963() &&
            (!hostPin || (*hostPin == request.initiatorIdentity.fingerprint &&
                          *hostPin == DeviceFingerprint::fromPublicKey(tabletKey)));
        if (sameExchange) require(checkedConfirmation.has_value());
        if (checkedConfirmation) {
            require(checkedConfirmation->verification.sessionKey == checkedResponse->verification.sessionKey);
            // A reconnection derives no code, so the tablet keeps no seed.
            require(checkedResponse->verificationSeed.empty() ||
                    checkedConfirmation->verificationSeed == checkedResponse->verificationSeed);
        }
    }
    return 0;
}
