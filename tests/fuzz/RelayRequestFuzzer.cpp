// Drives requests to a wake relay through its decoder and its checks: the
// whole input read as a JSON request, and a request signed by a fixed tablet
// whose version, nonce, timestamp, key, fingerprint, signed fields and
// signature the input changes after signing, against a TLS peer and a clock
// it picks. Refusals are PairingProtocolError and CryptoError(invalidKey);
// what passes is of this version, fresh, signed by its claimed key over this
// connection's binding, and is named in the ledger by a lower-case key of its
// client, request and nonce. A sound request always passes.
#include "FuzzSupport.hpp"
#include "FuzzTally.hpp"
#include "core/Constants.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "transport/relay/WakeRelayCrypto.hpp"
#include "transport/relay/WakeRelayServer.hpp"
#include "transport/security/SecurePairingProtocol.hpp"

#include <bit>
#include <cctype>

using namespace velorinth;
using namespace velorinth::fuzz;

namespace {

constexpr Date kNow(800'000'000.0);
const Bytes kExporter(32, 0x77);
const Bytes kNonce(WakeRelayCrypto::kNonceSize, 0x11);
const std::string kSecret(64, 'a');

const Tally outcomes("verification",
                     {"accepted", "unsupportedProtocol", "malformedMessage", "replayedHandshake", "invalidKey",
                      "identityMismatch", "invalidCertificateBinding", "invalidSignature"});
const Tally documents("request documents", {"decoded", "refused"}, Tally::Need::informational);

struct Devices {
    std::shared_ptr<DeviceIdentityService> tablet = fixedIdentity(0, "Tablet");
    std::shared_ptr<DeviceIdentityService> stranger = fixedIdentity(1, "Stranger");
    DevicePublicIdentity tabletIdentity = tablet->publicIdentity(tablet->loadOrCreateRecord());
};

// The field changed after signing, if any; a secret's letter case is not signed.
enum class Change { none, requestID, action, secretCase, target, timestamp, nonce, count };

void change(WakeRelayRequest& request, Change what) {
    switch (what) {
    case Change::requestID: request.requestID = fixedUuid(20); break;
    case Change::action:
        request.action = request.action.pairing() ? WakeRelayAction::sendWakeSignal()
                                                  : WakeRelayAction::pairClient(fixedUuid(7), kSecret);
        break;
    case Change::secretCase:
        if (const auto* pairing = request.action.pairing()) {
            std::string upper = pairing->secretHex;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            request.action = WakeRelayAction::pairClient(pairing->ticketID, upper);
        }
        break;
    case Change::target: request.targetMacDeviceID = fixedUuid(21); break;
    case Change::timestamp: ++request.timestampEpochSeconds; break;
    case Change::nonce:
        if (!request.nonce.empty()) request.nonce.back() ^= 0x01;
        break;
    default: break;
    }
}

// Verifies, counts the outcome and checks what passed.
bool verified(const WakeRelayRequest& request, const std::optional<TLSChannelContext>& context, Date now) {
    const std::string_view outcome =
        signatureCheckOutcome([&] { WakeRelayCrypto::verifyRequest(request, context, now); });
    outcomes.count(outcome);
    if (outcome != "accepted") return false;
    const DevicePublicIdentity& client = request.clientIdentity;
    require(ProtocolVersion::supportedRange.contains(request.protocolVersion));
    require(request.nonce.size() == WakeRelayCrypto::kNonceSize);
    require(SecurePairingProtocol::distance(SecurePairingProtocol::epochSeconds(now), request.timestampEpochSeconds) <=
            static_cast<std::uint64_t>(WakeRelayCrypto::requestWindowSeconds));
    require(DeviceFingerprint::fromPublicKey(client.signingPublicKey) == client.fingerprint);
    require(!context || (context->peerSigningPublicKey == client.signingPublicKey &&
                         context->peerFingerprint == client.fingerprint));
    const Bytes digest = WakeRelayCrypto::requestDigest(
        request.requestID, request.protocolVersion, request.action, client, request.targetMacDeviceID,
        request.timestampEpochSeconds, request.nonce, context ? ByteView(context->exporterChannelBinding) : ByteView());
    require(P256PublicKey::fromX963(client.signingPublicKey).isValidSignature(request.signature, digest));

    const std::string key = WakeRelayServer::requestKey(request);
    for (const char c : key) require(!std::isupper(static_cast<unsigned char>(c)));
    const std::size_t first = key.find(':');
    const std::size_t second = key.find(':', first + 1);
    require(first != std::string::npos && second != std::string::npos &&
            key.find(':', second + 1) == std::string::npos);
    require(hexDecode(key.substr(second + 1)) == request.nonce);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Devices devices;

    // The input as a document off the wire, checked on the tablet's connection.
    std::optional<WakeRelayRequest> decoded;
    if (accepts([&] { decoded = json::decodeFromBytes<WakeRelayRequest>(ByteView(data, size)); })) {
        documents.count("decoded");
        requireRoundTrip(*decoded);
        verified(
            *decoded,
            TLSChannelContext{devices.tabletIdentity.signingPublicKey, devices.tabletIdentity.fingerprint, kExporter},
            kNow);
    } else {
        documents.count("refused");
    }

    // A signed request, then changed.
    FuzzedDataProvider input(data, size);
    const auto context = tlsPeer(input, devices.tabletIdentity, kExporter);
    const bool boundElsewhere = input.ConsumeBool();
    const Bytes binding = (context != std::nullopt) != boundElsewhere ? kExporter : Bytes{};
    const bool stranger = input.ConsumeBool();
    const auto version = input.ConsumeBool() ? input.ConsumeIntegral<std::uint16_t>() : std::uint16_t{1};
    const auto action =
        input.ConsumeBool() ? WakeRelayAction::pairClient(fixedUuid(7), kSecret) : WakeRelayAction::sendWakeSignal();
    const std::int64_t skew = input.ConsumeIntegralInRange<std::int64_t>(-130, 130);
    const std::int64_t timestamp =
        input.ConsumeBool() ? input.ConsumeIntegral<std::int64_t>() : SecurePairingProtocol::epochSeconds(kNow) + skew;
    const Bytes nonce = validOrTaken(input, kNonce, 40);
    WakeRelayRequest request =
        WakeRelayCrypto::signedRequest(fixedUuid(9), version, action, fixedUuid(8), timestamp, nonce, binding,
                                       stranger ? *devices.stranger : *devices.tablet);
    const bool keptIdentity = !input.ConsumeBool();
    if (!keptIdentity) request.clientIdentity = presentedIdentity(input, devices.tabletIdentity);
    const auto changed = static_cast<Change>(input.ConsumeIntegralInRange(0, static_cast<int>(Change::count) - 1));
    change(request, changed);
    const Bytes signature = request.signature;
    request.signature = validOrTaken(input, signature, 80);
    const Date now = input.ConsumeBool() ? Date(std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>())) : kNow;

    const bool passed = verified(request, context, now);
    const bool sound = !boundElsewhere && !stranger && version == 1 && nonce.size() == WakeRelayCrypto::kNonceSize &&
                       (keptIdentity || request.clientIdentity == devices.tabletIdentity) &&
                       (changed == Change::none || changed == Change::secretCase) && request.signature == signature &&
                       now == kNow &&
                       SecurePairingProtocol::distance(SecurePairingProtocol::epochSeconds(now), timestamp) <= 60 &&
                       (!context || context->peerSigningPublicKey == devices.tabletIdentity.signingPublicKey);
    require(passed || !sound);
    return 0;
}
