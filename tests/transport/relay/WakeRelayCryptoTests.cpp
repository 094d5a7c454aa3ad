// The relay's digests against bytes written by hand, its signature
// convention against OpenSSL's command line, and every check of a request
// and a response, each attacked on its own.

#include "support/ScriptedRelayPeer.hpp"

#include "core/Digest.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/OpenSslHandles.hpp"
#include "platform/crypto/P256PublicKey.hpp"
#include "transport/relay/WakeRelayCrypto.hpp"
#include "transport/security/PairingProtocolError.hpp"
#include "transport/security/SecurePairingProtocol.hpp"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <functional>
#include <limits>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Case = PairingProtocolError::Case;

Bytes hex(std::string_view text) { return *hexDecode(text); }
Uuid uuid(std::string_view text) { return *Uuid::fromString(text); }

// Every field here is shorter than 256 bytes: three zero bytes, then the length.
Bytes field(ByteView bytes) {
    Bytes out(4 + bytes.size(), 0);
    out[3] = static_cast<std::uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), out.begin() + 4);
    return out;
}
Bytes field(std::string_view text) { return field(bytesOf(text)); }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A P-256 key made once with the openssl command line, for these tests only:
//   openssl ecparam -name prime256v1 -genkey -noout -out key.pem
//   openssl ec -in key.pem -text -noout                  (kFixturePrivate: priv, kFixturePublic: pub)
//   openssl ec -in key.pem -pubout                       (kFixturePublicPem)
//   openssl dgst -sha256 -sign key.pem -out sig.der digest.bin   (kFixtureSignature)
// where digest.bin holds the 32 bytes of kWakeDigest, the digest of the
// request below; `openssl dgst -sha256 -verify pub.pem -signature sig.der
// digest.bin` says "Verified OK".
const Bytes kFixturePublic = hex("043dc52ffd48cac64903fb6ad606b298320b607098fd9c4895e49b17882917e3f5a915d42dedd225"
                                 "462b5e09fb01c95a51f96115c6b3b1d562a328f078a9a98d81");
const Bytes kFixturePrivate = hex("dff5b2d05bfb303326616505702d6c40087ce1b8d5304d5adfa763dd57458daf");
constexpr const char* kFixturePublicPem = "-----BEGIN PUBLIC KEY-----\n"
                                          "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEPcUv/UjKxkkD+2rWBrKYMgtgcJj9\n"
                                          "nEiV5JsXiCkX4/WpFdQt7dIlRiteCfsByVpR+WEVxrOx1WKjKPB4qamNgQ==\n"
                                          "-----END PUBLIC KEY-----\n";
const Bytes kFixtureSignature = hex("30450220682ff678853b7c7d2b3cf158c121814cfa8da4117155d1fb9590371a9bd8ecc4022100b2"
                                    "c321aa86710aded97217147f0f3bc400ad23eb58c9fe36d7d76d1ecac2f332");

const Uuid kRequestID = uuid("01234567-89AB-CDEF-0123-456789ABCDEF");
const Uuid kTarget = uuid("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
const Uuid kTicket = uuid("99999999-8888-4777-8666-555555555555");
constexpr std::int64_t kTimestamp = 1'700'000'000;
const Date kNow = Date::fromUnixSeconds(1'700'000'000.5);
const Bytes kNonce = [] {
    Bytes nonce(32);
    for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<std::uint8_t>(i);
    return nonce;
}();
constexpr const char* kSecret = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
// SHA-256 of the hand-written inputs below, computed apart from this code.
const Bytes kWakeDigest = hex("74bba0310de3c191b0f52490af81f23605f2a29f50ed4352a9b27972ae166b29");
const Bytes kPairDigest = hex("519ab2b0d0e16d3b5619679fa0778b4e39615b1512608c3326a1329ce69e05c8");
const Bytes kResponseDigest = hex("e47cc61c3239463aec438d4b5e7fdcaaae6239e85a0a72d9252dd8af658c8035");
const Bytes kBoundWakeDigest = hex("f9218fa72c1e726ed5b6cd9b62619e969b007f54d6793f8aefbd56fcdb1a1718");

DevicePublicIdentity fixtureIdentity(std::string_view id) {
    return DevicePublicIdentity::fromPublicKey(uuid(id), "Fixture", Uuid::random(), kFixturePublic);
}

// The fixture key as a device's stored identity.
std::shared_ptr<DeviceIdentityService> fixtureService() {
    auto store = std::make_shared<InMemorySecureStore>();
    const DeviceIdentity record{uuid("11111111-2222-4333-8444-555555555555"), Uuid::random(), "Fixture",
                                SecretBytes(kFixturePublic + kFixturePrivate), Date(0)};
    store->setItem(json::encodeToBytes(record), DeviceIdentityService::service(), DeviceIdentityService::kAccount);
    return std::make_shared<DeviceIdentityService>(store, nullptr);
}

TEST(WakeRelayCryptoDigests, MatchTheFieldTablesWrittenByHand) {
    const DevicePublicIdentity client = fixtureIdentity("11111111-2222-4333-8444-555555555555");
    const Bytes common = field("11111111-2222-4333-8444-555555555555") + field(kFixturePublic) +
                         field("aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee") + field(hex("000000006553f100")) + field(kNonce);
    const Bytes head = bytesOf("Velorinth wake relay request v1") + field("01234567-89ab-cdef-0123-456789abcdef") +
                       field(hex("0001"));
    const Bytes wake = head + field("wake") + common + Bytes{0, 0, 0, 0};
    ASSERT_EQ(wake.size(), 286u);
    EXPECT_EQ(sha256(wake), kWakeDigest);
    EXPECT_EQ(WakeRelayCrypto::requestDigest(kRequestID, 1, WakeRelayAction::sendWakeSignal(), client, kTarget,
                                             kTimestamp, kNonce, {}),
              kWakeDigest);

    const Bytes pair = head + field("pair") + field("99999999-8888-4777-8666-555555555555") + field(kSecret) + common +
                       Bytes{0, 0, 0, 0};
    EXPECT_EQ(sha256(pair), kPairDigest);
    // The secret's letter case does not change what is signed.
    std::string upper = kSecret;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& secret : {std::string(kSecret), upper}) {
        EXPECT_EQ(WakeRelayCrypto::requestDigest(kRequestID, 1, WakeRelayAction::pairClient(kTicket, secret), client,
                                                 kTarget, kTimestamp, kNonce, {}),
                  kPairDigest);
    }

    const Bytes response = bytesOf("Velorinth wake relay response v1") + field("01234567-89ab-cdef-0123-456789abcdef") +
                           field("22222222-3333-4444-8555-666666666666") + field(kFixturePublic) +
                           field("wakePacketSent") + field(hex("0000000000000003")) +
                           field("Wake request authenticated and local wake packet sent.") +
                           field(hex("000000006553f105")) + Bytes{0, 0, 0, 0};
    EXPECT_EQ(sha256(response), kResponseDigest);
    EXPECT_EQ(WakeRelayCrypto::responseDigest(kRequestID, fixtureIdentity("22222222-3333-4444-8555-666666666666"),
                                              WakeRelayResponseStatus::wakePacketSent, 3,
                                              "Wake request authenticated and local wake packet sent.",
                                              kTimestamp + 5, {}),
              kResponseDigest);

    // A 32-byte binding adds 32 bytes and makes another digest.
    const Bytes binding(32, 0xB1);
    const Bytes bound = head + field("wake") + common + field(binding);
    ASSERT_EQ(bound.size(), 318u);
    EXPECT_EQ(sha256(bound), kBoundWakeDigest);
    EXPECT_EQ(WakeRelayCrypto::requestDigest(kRequestID, 1, WakeRelayAction::sendWakeSignal(), client, kTarget,
                                             kTimestamp, kNonce, binding),
              kBoundWakeDigest);
}

TEST(WakeRelayCryptoDigests, TheSignatureConventionIsOpenSSLsOwn) {
    // Theirs verifies with ours, as a request the relay accepts.
    EXPECT_TRUE(P256PublicKey::fromX963(kFixturePublic).isValidSignature(kFixtureSignature, kWakeDigest));
    WakeRelayRequest request{kRequestID, 1, WakeRelayAction::sendWakeSignal(),
                             fixtureIdentity("11111111-2222-4333-8444-555555555555"), kTarget, kTimestamp, kNonce,
                             kFixtureSignature};
    EXPECT_NO_THROW(WakeRelayCrypto::verifyRequest(request, std::nullopt, kNow));

    // Ours verifies with theirs: what `openssl dgst -sha256 -verify` does.
    const auto service = fixtureService();
    const WakeRelayRequest ours = WakeRelayCrypto::signedRequest(
        kRequestID, 1, WakeRelayAction::sendWakeSignal(), kTarget, kTimestamp, kNonce, {}, *service);
    EXPECT_EQ(ours.clientIdentity.signingPublicKey, kFixturePublic);
    OpenSslPtr<BIO, BIO_free_all> pem(BIO_new_mem_buf(kFixturePublicPem, -1));
    EvpPkeyPtr key(PEM_read_bio_PUBKEY(pem.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(key);
    EvpMdCtxPtr verify(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(verify.get(), nullptr, EVP_sha256(), nullptr, key.get()), 1);
    EXPECT_EQ(EVP_DigestVerify(verify.get(), ours.signature.data(), ours.signature.size(), kWakeDigest.data(),
                               kWakeDigest.size()),
              1);
}

// The check a request fails, or none.
struct Verdict {
    std::optional<Case> refusal;
    bool invalidKey = false;
    bool operator==(const Verdict&) const = default;
};
constexpr Verdict kPasses{};
Verdict refused(Case kind) { return {kind, false}; }

Verdict verdictOf(const std::function<void()>& verify) {
    try {
        verify();
        return kPasses;
    } catch (const PairingProtocolError& error) {
        return refused(error.kind);
    } catch (const CryptoError& error) {
        return {std::nullopt, error.kind == CryptoError::Case::invalidKey};
    }
}

struct RequestRow {
    const char* name;
    ScriptedRelayPeer::Edit beforeSigning;
    ScriptedRelayPeer::Edit afterSigning;
    Verdict expected;
    bool overTLS = true;
};

TEST(WakeRelayCryptoRequests, EachCheckRefusesInItsOrder) {
    asio::io_context io;
    ScriptedRelayPeer tablet(io.get_executor(), "Tablet");
    ScriptedRelayPeer other(io.get_executor(), "Other");
    const DevicePublicIdentity me = tablet.publicIdentity();
    const TLSChannelContext context{me.signingPublicKey, me.fingerprint, Bytes(32, 0xC5)};
    const auto stale = [](std::int64_t by) { return [by](WakeRelayRequest& r) { r.timestampEpochSeconds += by; }; };
    const auto nonceOf = [](std::size_t size) { return [size](WakeRelayRequest& r) { r.nonce.resize(size, 7); }; };
    const std::vector<RequestRow> rows = {
        {"sound", {}, {}, kPasses},
        {"sound without TLS", {}, {}, kPasses, false},
        {"version 0 with a bad nonce", [](auto& r) { r.protocolVersion = 0; r.nonce.resize(31); }, {},
         refused(Case::unsupportedProtocol)},
        {"version 2 with a bad nonce", [](auto& r) { r.protocolVersion = 2; r.nonce.resize(33); }, {},
         refused(Case::unsupportedProtocol)},
        {"31-byte nonce, stale", [&](auto& r) { nonceOf(31)(r); stale(-500)(r); }, {}, refused(Case::malformedMessage)},
        {"33-byte nonce, stale", [&](auto& r) { nonceOf(33)(r); stale(500)(r); }, {}, refused(Case::malformedMessage)},
        {"60 s old", stale(-60), {}, kPasses},
        {"60 s ahead", stale(60), {}, kPasses},
        {"61 s old", stale(-61), {}, refused(Case::replayedHandshake)},
        {"61 s ahead", stale(61), {}, refused(Case::replayedHandshake)},
        {"INT64_MIN", [](auto& r) { r.timestampEpochSeconds = std::numeric_limits<std::int64_t>::min(); }, {},
         refused(Case::replayedHandshake)},
        {"INT64_MAX", [](auto& r) { r.timestampEpochSeconds = std::numeric_limits<std::int64_t>::max(); }, {},
         refused(Case::replayedHandshake)},
        {"no P-256 point", {}, [](auto& r) { r.clientIdentity.signingPublicKey[64] ^= 1; },
         Verdict{std::nullopt, true}},
        {"fingerprint of another key, signature valid",
         [&](auto& r) { r.clientIdentity.fingerprint = other.publicIdentity().fingerprint; }, {},
         refused(Case::identityMismatch)},
        {"signed by a device other than the TLS peer", [&](auto& r) { r.clientIdentity = other.publicIdentity(); }, {},
         refused(Case::invalidCertificateBinding)},
        {"request id", {}, [](auto& r) { r.requestID = Uuid::random(); }, refused(Case::invalidSignature)},
        {"action", {}, [](auto& r) { r.action = WakeRelayAction::pairClient(Uuid(), kSecret); },
         refused(Case::invalidSignature)},
        {"client id", {}, [](auto& r) { r.clientIdentity.id = Uuid::random(); }, refused(Case::invalidSignature)},
        {"target", {}, [](auto& r) { r.targetMacDeviceID = Uuid::random(); }, refused(Case::invalidSignature)},
        {"timestamp inside the window", {}, stale(1), refused(Case::invalidSignature)},
        {"nonce", {}, [](auto& r) { r.nonce[0] ^= 1; }, refused(Case::invalidSignature)},
        {"empty DER", {}, [](auto& r) { r.signature.clear(); }, refused(Case::invalidSignature)},
        {"malformed DER", {}, [](auto& r) { r.signature = {0x30, 0x02, 0x02}; }, refused(Case::invalidSignature)},
        {"trailing byte", {}, [](auto& r) { r.signature.push_back(0); }, refused(Case::invalidSignature)},
        {"another display name", {}, [](auto& r) { r.clientIdentity.displayName = "Renamed"; }, kPasses},
        {"another discovery id", {}, [](auto& r) { r.clientIdentity.discoveryInstanceID = Uuid::random(); }, kPasses},
    };
    for (const RequestRow& row : rows) {
        const std::optional<TLSChannelContext> seen = row.overTLS ? std::optional(context) : std::nullopt;
        const Bytes binding = seen ? seen->exporterChannelBinding : Bytes{};
        WakeRelayRequest request =
            tablet.request(kTarget, WakeRelayAction::sendWakeSignal(), kNow, binding, row.beforeSigning);
        if (row.afterSigning) row.afterSigning(request);
        EXPECT_EQ(verdictOf([&] { WakeRelayCrypto::verifyRequest(request, seen, kNow); }), row.expected) << row.name;
    }

    // The binding is this connection's: the same request fails on another, and without TLS.
    const WakeRelayRequest bound =
        tablet.request(kTarget, WakeRelayAction::sendWakeSignal(), kNow, context.exporterChannelBinding);
    TLSChannelContext elsewhere = context;
    elsewhere.exporterChannelBinding[0] ^= 1;
    EXPECT_EQ(verdictOf([&] { WakeRelayCrypto::verifyRequest(bound, elsewhere, kNow); }),
              refused(Case::invalidSignature));
    EXPECT_EQ(verdictOf([&] { WakeRelayCrypto::verifyRequest(bound, std::nullopt, kNow); }),
              refused(Case::invalidSignature));
    TLSChannelContext otherFingerprint = context;
    otherFingerprint.peerFingerprint = other.publicIdentity().fingerprint;
    EXPECT_EQ(verdictOf([&] { WakeRelayCrypto::verifyRequest(bound, otherFingerprint, kNow); }),
              refused(Case::invalidCertificateBinding));
}

TEST(WakeRelayCryptoRequests, ThePairingFieldsAreSignedButTheirLetterCaseIsNot) {
    asio::io_context io;
    ScriptedRelayPeer tablet(io.get_executor(), "Tablet");
    const auto pairing = [&](const ScriptedRelayPeer::Edit& afterSigning) {
        WakeRelayRequest request = tablet.request(kTarget, WakeRelayAction::pairClient(kTicket, kSecret), kNow, {});
        afterSigning(request);
        return verdictOf([&] { WakeRelayCrypto::verifyRequest(request, std::nullopt, kNow); });
    };
    EXPECT_EQ(pairing([](auto& r) { r.action = WakeRelayAction::pairClient(Uuid::random(), kSecret); }),
              refused(Case::invalidSignature));
    EXPECT_EQ(pairing([](auto& r) { r.action = WakeRelayAction::pairClient(kTicket, std::string(64, 'a')); }),
              refused(Case::invalidSignature));
    EXPECT_EQ(pairing([](auto& r) {
                  std::string upper = kSecret;
                  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                  r.action = WakeRelayAction::pairClient(kTicket, upper);
              }),
              kPasses);
    // UUIDs read from upper- or lower-case JSON text sign alike.
    const WakeRelayRequest request = tablet.request(kTarget, WakeRelayAction::sendWakeSignal(), kNow, {});
    std::string text = json::encodeToString(request);
    const std::string upper = request.requestID.uuidString();
    text.replace(text.find(upper), upper.size(), request.requestID.lowercaseString());
    const auto lowered = json::decodeFromString<WakeRelayRequest>(text);
    EXPECT_EQ(verdictOf([&] { WakeRelayCrypto::verifyRequest(lowered, std::nullopt, kNow); }), kPasses);
}

TEST(WakeRelayCryptoResponses, EachCheckRefusesInItsOrder) {
    asio::io_context io;
    auto relay = memoryIdentity("Relay");
    auto stranger = memoryIdentity("Stranger");
    const DevicePublicIdentity relayIdentity = relay->publicIdentity(relay->loadOrCreateRecord());
    const TLSChannelContext context{relayIdentity.signingPublicKey, relayIdentity.fingerprint, Bytes(32, 0x5C)};
    const auto respond = [&](DeviceIdentityService& signer, const Bytes& binding) {
        return WakeRelayCrypto::signResponse(kRequestID, WakeRelayResponseStatus::wakePacketSent, 3, "Sent.",
                                             kTimestamp, binding, signer);
    };
    const auto verdict = [&](const WakeRelayResponse& response, const std::optional<TLSChannelContext>& seen,
                             const Uuid& sent = kRequestID) {
        return verdictOf([&] { WakeRelayCrypto::verifyResponse(response, sent, relayIdentity.fingerprint, seen); });
    };
    const WakeRelayResponse sound = respond(*relay, context.exporterChannelBinding);
    EXPECT_EQ(verdict(sound, context), kPasses);
    EXPECT_EQ(verdict(respond(*relay, {}), std::nullopt), kPasses);
    EXPECT_EQ(verdict(sound, context, Uuid::random()), refused(Case::pairingIdentifierMismatch));
    EXPECT_EQ(verdict(respond(*stranger, context.exporterChannelBinding), context), refused(Case::identityMismatch));
    WakeRelayResponse claimed = sound;
    claimed.relayIdentity.fingerprint = stranger->publicIdentity(stranger->loadOrCreateRecord()).fingerprint;
    EXPECT_EQ(verdict(claimed, context), refused(Case::identityMismatch));
    TLSChannelContext otherPeer = context;
    otherPeer.peerFingerprint = claimed.relayIdentity.fingerprint;
    EXPECT_EQ(verdict(sound, otherPeer), refused(Case::invalidCertificateBinding));
    TLSChannelContext otherKey = context;
    otherKey.peerSigningPublicKey = stranger->publicIdentity(stranger->loadOrCreateRecord()).signingPublicKey;
    EXPECT_EQ(verdict(sound, otherKey), refused(Case::invalidCertificateBinding));

    const std::vector<std::pair<const char*, std::function<void(WakeRelayResponse&)>>> tampered = {
        {"status", [](auto& r) { r.status = WakeRelayResponseStatus::paired; }},
        {"count", [](auto& r) { r.datagramsSent = 4; }},
        {"message", [](auto& r) { r.message += " "; }},
        {"time", [](auto& r) { r.respondedAtEpochSeconds += 1; }},
        {"signature", [](auto& r) { r.signature.clear(); }},
    };
    for (const auto& [name, edit] : tampered) {
        WakeRelayResponse response = sound;
        edit(response);
        EXPECT_EQ(verdict(response, context), refused(Case::invalidSignature)) << name;
    }
    TLSChannelContext otherBinding = context;
    otherBinding.exporterChannelBinding[31] ^= 1;
    EXPECT_EQ(verdict(sound, otherBinding), refused(Case::invalidSignature));
}

TEST(WakeRelayCryptoHelpers, ConstantTimeEqualityAndRandomBytes) {
    EXPECT_TRUE(WakeRelayCrypto::constantTimeEquals({}, {}));
    EXPECT_FALSE(WakeRelayCrypto::constantTimeEquals(Bytes(31, 1), Bytes(32, 1)));
    EXPECT_TRUE(WakeRelayCrypto::constantTimeEquals(Bytes(32, 1), Bytes(32, 1)));
    Bytes last(32, 1);
    last[31] = 2;
    EXPECT_FALSE(WakeRelayCrypto::constantTimeEquals(Bytes(32, 1), last));
    const Bytes a = WakeRelayCrypto::randomBytes(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, WakeRelayCrypto::randomBytes(32));
    EXPECT_EQ(WakeRelayCrypto::requestLabel().size(), 31u);
    EXPECT_EQ(WakeRelayCrypto::responseLabel().size(), 32u);
}

} // namespace
