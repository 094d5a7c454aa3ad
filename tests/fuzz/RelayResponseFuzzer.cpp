// Drives a wake relay's answers through the tablet's decoder and checks: the
// whole input read as a JSON response, and a response signed by a fixed relay
// whose request id, key, fingerprint, status, count, message, time and
// signature the input changes after signing, against a pin, a TLS peer and a
// binding it picks. Refusals are PairingProtocolError and
// CryptoError(invalidKey); what passes answers the request sent, comes from
// the pinned relay (also the TLS peer) and is signed by it over this
// connection's binding. A sound answer always passes.
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "transport/relay/WakeRelayCrypto.hpp"

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

const Bytes kExporter(32, 0x77);
const Uuid kRequestID = fixedUuid(9);

const Tally outcomes("verification", {"accepted", "pairingIdentifierMismatch", "invalidKey", "identityMismatch",
                                      "invalidCertificateBinding", "invalidSignature"});
const Tally documents("response documents", {"decoded", "refused"}, Tally::Need::informational);

struct Devices {
    std::shared_ptr<DeviceIdentityService> relay = fixedIdentity(1, "Relay");
    std::shared_ptr<DeviceIdentityService> stranger = fixedIdentity(0, "Stranger");
    DevicePublicIdentity relayIdentity = relay->publicIdentity(relay->loadOrCreateRecord());
};

bool verified(const WakeRelayResponse& response, const DeviceFingerprint& pin,
              const std::optional<TLSChannelContext>& context) {
    const std::string_view outcome =
        signatureCheckOutcome([&] { WakeRelayCrypto::verifyResponse(response, kRequestID, pin, context); });
    outcomes.count(outcome);
    if (outcome != "accepted") return false;
    const DevicePublicIdentity& relay = response.relayIdentity;
    require(response.requestID == kRequestID);
    require(DeviceFingerprint::fromPublicKey(relay.signingPublicKey) == pin && relay.fingerprint == pin);
    require(!context || (context->peerFingerprint == pin && context->peerSigningPublicKey == relay.signingPublicKey));
    const Bytes digest = WakeRelayCrypto::responseDigest(
        response.requestID, relay, response.status, response.datagramsSent, response.message,
        response.respondedAtEpochSeconds, context ? ByteView(context->exporterChannelBinding) : ByteView());
    require(P256PublicKey::fromX963(relay.signingPublicKey).isValidSignature(response.signature, digest));
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Devices devices;
    const DeviceFingerprint& relayFingerprint = devices.relayIdentity.fingerprint;

    // The input as an answer off the wire, on the pinned relay's connection.
    std::optional<WakeRelayResponse> decoded;
    if (accepts([&] { decoded = json::decodeFromBytes<WakeRelayResponse>(ByteView(data, size)); })) {
        documents.count("decoded");
        requireRoundTrip(*decoded);
        verified(*decoded, relayFingerprint,
                 TLSChannelContext{devices.relayIdentity.signingPublicKey, relayFingerprint, kExporter});
    } else {
        documents.count("refused");
    }

    // A signed answer, then changed.
    FuzzedDataProvider input(data, size);
    const auto context = tlsPeer(input, devices.relayIdentity, kExporter);
    const bool boundElsewhere = input.ConsumeBool();
    const Bytes binding = (context != std::nullopt) != boundElsewhere ? kExporter : Bytes{};
    const bool stranger = input.ConsumeBool();
    const auto status = static_cast<WakeRelayResponseStatus>(input.ConsumeIntegralInRange(0, 8));
    const auto count = input.ConsumeIntegral<std::int64_t>();
    const std::string message = input.ConsumeRandomLengthString(60);
    const auto respondedAt = input.ConsumeIntegral<std::int64_t>();
    const Uuid requestID = input.ConsumeBool() ? fixedUuid(input.ConsumeIntegral<std::uint8_t>()) : kRequestID;
    WakeRelayResponse response = WakeRelayCrypto::signResponse(requestID, status, count, message, respondedAt, binding,
                                                               stranger ? *devices.stranger : *devices.relay);
    const bool keptIdentity = !input.ConsumeBool();
    if (!keptIdentity) response.relayIdentity = presentedIdentity(input, devices.relayIdentity);
    const bool unchanged = !input.ConsumeBool();
    if (!unchanged) {
        switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: response.status = static_cast<WakeRelayResponseStatus>(input.ConsumeIntegralInRange(0, 8)); break;
        case 1: response.datagramsSent = input.ConsumeIntegral<std::int64_t>(); break;
        case 2: response.message = input.ConsumeRandomLengthString(60); break;
        default: response.respondedAtEpochSeconds = input.ConsumeIntegral<std::int64_t>(); break;
        }
    }
    const Bytes signature = response.signature;
    response.signature = validOrTaken(input, signature, 80);
    const DeviceFingerprint pin =
        input.ConsumeBool() ? DeviceFingerprint::fromPublicKey(takeBytes(input, 65)) : relayFingerprint;

    const bool passed = verified(response, pin, context);
    const bool sound =
        !boundElsewhere && !stranger && requestID == kRequestID && pin == relayFingerprint &&
        (keptIdentity || response.relayIdentity == devices.relayIdentity) &&
        (unchanged || (response.status == status && response.datagramsSent == count && response.message == message &&
                       response.respondedAtEpochSeconds == respondedAt)) &&
        response.signature == signature &&
        (!context || context->peerSigningPublicKey == devices.relayIdentity.signingPublicKey);
    require(passed || !sound);
    return 0;
}
