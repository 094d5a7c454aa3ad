#include "transport/security/SecurePairingProtocol.hpp"

#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "transport/security/PairingKeyDerivation.hpp"

#include "support/LoopRunner.hpp"
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <thread>

namespace velorinth {
namespace {

using Case = PairingProtocolError::Case;
using Protocol = SecurePairingProtocol;

constexpr std::int64_t kCreatedAt = 1'750'000'000;
const Date kNow = Date::fromUnixSeconds(kCreatedAt);

// Runs the loop dry: the KDF worker's hand-back must land before the loop goes.
template <class T>
T runOnLoop(asio::awaitable<T> operation) {
    asio::io_context loop;
    std::future<T> result = velorinth::testing::spawn(loop, std::move(operation));
    loop.run();
    return result.get();
}

void expectError(Case kind, const std::function<void()>& operation) {
    EXPECT_EQ(velorinth::testing::thrown<PairingProtocolError>(operation).kind, kind);
}

struct Device {
    std::shared_ptr<DeviceIdentityService> service;
    DevicePublicIdentity identity;
};

Device makeDevice(const std::string& name) {
    auto service =
        std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(), [name] { return name; });
    return Device{service, service->publicIdentity(service->loadOrCreateRecord())};
}

TLSChannelContext contextFor(const DevicePublicIdentity& peer, Bytes binding) {
    return TLSChannelContext{peer.signingPublicKey, peer.fingerprint, std::move(binding)};
}

Bytes flipped(Bytes bytes, std::size_t index = 0) {
    bytes.at(index) ^= 0x01;
    return bytes;
}

Bytes offCurvePoint() {
    Bytes point(65, 0x11);
    point[0] = 0x04;
    return point;
}

template <class T>
T changed(T value, const std::function<void(T&)>& change) {
    change(value);
    return value;
}

// One honest pairing for the whole suite: its messages are the starting point
// of every tampering case, which all fail before the costly code derivation.
struct Exchange {
    asio::thread_pool kdfWorker{1};
    Protocol protocol{kdfWorker};
    Device tablet = makeDevice("Drawing Tablet");
    Device host = makeDevice("Studio Desktop");
    Device other = makeDevice("Impostor");
    Bytes binding = randomBytes(32);
    TLSChannelContext tabletView = contextFor(host.identity, binding); // the tablet's TLS peer is the host
    TLSChannelContext hostView = contextFor(tablet.identity, binding);
    PairingInitiatorState initiator =
        Protocol::createRequest(tablet.service, HandshakePurpose::pair, Date::fromUnixSeconds(kCreatedAt + 0.75));
    PairingResponderState responder =
        Protocol::createResponse(initiator.request, Protocol::validateRequest(initiator.request, hostView, kNow),
                                 hostView, host.service);
    std::optional<PairingResponseOutcome> tabletOutcome;
    std::optional<PairingVerification> hostVerification;
    bool resumedOnLoopThread = true;
    bool loopRanWhileDeriving = false;

    asio::awaitable<void> run() {
        const auto loopThread = std::this_thread::get_id();
        bool otherWorkRan = false;
        asio::post(co_await asio::this_coro::executor, [&] { otherWorkRan = true; });
        tabletOutcome = co_await protocol.handleResponse(initiator, responder.response, tabletView,
                                                         host.identity.fingerprint);
        resumedOnLoopThread = std::this_thread::get_id() == loopThread;
        loopRanWhileDeriving = otherWorkRan;
        hostVerification = co_await protocol.handleConfirmation(responder, tabletOutcome->confirmation);
        resumedOnLoopThread = resumedOnLoopThread && std::this_thread::get_id() == loopThread;
    }

    const PairingRequest& request() const { return initiator.request; }
    const PairingResponse& response() const { return responder.response; }
    const PairingConfirmation& confirmation() const { return tabletOutcome->confirmation; }

    void expectResponseError(Case kind, const PairingResponse& response,
                             std::optional<TLSChannelContext> context, std::optional<DeviceFingerprint> pin = {}) {
        expectError(kind, [&] { runOnLoop(protocol.handleResponse(initiator, response, context, pin)); });
    }
    void expectConfirmationError(Case kind, const PairingConfirmation& confirmation,
                                 std::optional<DeviceFingerprint> pin = {}, const PairingResponderState* state = {}) {
        const PairingResponderState& used = state ? *state : responder;
        expectError(kind, [&] { runOnLoop(protocol.handleConfirmation(used, confirmation, pin)); });
    }
    PairingConfirmation signedConfirmation(const Device& device, ByteView label, const Bytes& hash) const {
        return changed<PairingConfirmation>(confirmation(), [&](PairingConfirmation& c) {
            c.transcriptHash = hash;
            c.transcriptSignature = device.service->sign(Protocol::concatenate(label, hash));
        });
    }
};

class SecurePairingProtocolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        exchange = new Exchange();
        runOnLoop(exchange->run());
    }
    static void TearDownTestSuite() {
        delete exchange;
        exchange = nullptr;
    }
    static Exchange* exchange;
};

Exchange* SecurePairingProtocolTest::exchange = nullptr;

TEST_F(SecurePairingProtocolTest, BothSidesDeriveTheSameCodeAndKey) {
    const Exchange& x = *exchange;
    const PairingVerification& tablet = x.tabletOutcome->verification;
    const PairingVerification& host = *x.hostVerification;
    EXPECT_EQ(tablet.verificationCode, host.verificationCode);
    ASSERT_EQ(tablet.verificationCode.size(), 6u);
    EXPECT_EQ(tablet.verificationCode.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(tablet.sessionKey, host.sessionKey);
    EXPECT_EQ(tablet.sessionKey.size(), 32u);
    EXPECT_EQ(tablet.transcriptHash, host.transcriptHash);
    EXPECT_EQ(x.confirmation().transcriptHash, host.transcriptHash);
    EXPECT_EQ(tablet.peerIdentity, x.host.identity);
    EXPECT_EQ(host.peerIdentity, x.tablet.identity);
    EXPECT_EQ(x.request().createdAtEpochSeconds, kCreatedAt); // truncated, not rounded
    // The derivation ran off the loop, and each side resumed on it.
    EXPECT_TRUE(x.loopRanWhileDeriving);
    EXPECT_TRUE(x.resumedOnLoopThread);

    const std::string description = tablet.description();
    EXPECT_NE(description.find("[REDACTED]"), std::string::npos);
    EXPECT_EQ(description.find(hexEncodedString(tablet.sessionKey.view())), std::string::npos);
}

TEST_F(SecurePairingProtocolTest, NegotiatesTheHighestCommonVersionFirst) {
    const std::vector<std::tuple<std::uint16_t, std::vector<std::uint16_t>, std::optional<std::uint16_t>>> rows{
        {1, {}, 1}, {2, {3, 1, 2}, 1}, {2, {2}, std::nullopt}, {1, {0, 2}, std::nullopt}, {0, {}, std::nullopt},
    };
    for (const auto& [version, supported, negotiated] : rows) {
        PairingRequest request = exchange->request();
        request.protocolVersion = version;
        request.supportedProtocolVersions = supported;
        if (negotiated) {
            EXPECT_EQ(Protocol::validateRequest(request, std::nullopt, kNow), *negotiated);
        } else {
            request.nonce.clear(); // unsupported is reported before anything else
            expectError(Case::unsupportedProtocol, [&] { Protocol::validateRequest(request, std::nullopt, kNow); });
        }
    }
}

TEST_F(SecurePairingProtocolTest, ValidateRequestRefusesEachFaultInOrder) {
    const Exchange& x = *exchange;
    auto expectInvalid = [&](Case kind, const std::function<void(PairingRequest&)>& tamper,
                             std::optional<TLSChannelContext> context = std::nullopt) {
        const PairingRequest request = changed(x.request(), tamper);
        expectError(kind, [&] { Protocol::validateRequest(request, context, kNow); });
    };
    const Bytes otherKey = x.other.identity.signingPublicKey;

    expectInvalid(Case::malformedMessage, [](PairingRequest& r) { r.nonce.resize(31); });
    expectInvalid(Case::malformedMessage, [](PairingRequest& r) { r.nonce.resize(33); });
    expectInvalid(Case::malformedMessage, [](PairingRequest& r) { r.ephemeralPublicKey = offCurvePoint(); });
    expectInvalid(Case::malformedMessage, [](PairingRequest& r) {
        r.ephemeralPublicKey.resize(33); // a compressed form is not accepted
        r.createdAtEpochSeconds = 0;     // and the nonce check comes before the age
    });
    expectInvalid(Case::timedOut, [](PairingRequest& r) {
        r.createdAtEpochSeconds -= 121;
        r.initiatorIdentity.signingPublicKey = offCurvePoint(); // the age comes before the identity
    });
    expectInvalid(Case::malformedMessage,
                  [](PairingRequest& r) { r.initiatorIdentity.signingPublicKey = offCurvePoint(); });
    expectInvalid(Case::identityMismatch, [&](PairingRequest& r) { r.initiatorIdentity.signingPublicKey = otherKey; });
    expectInvalid(
        Case::identityMismatch,
        [&](PairingRequest& r) { r.initiatorIdentity.fingerprint = DeviceFingerprint::fromPublicKey(otherKey); },
        x.hostView); // before the TLS peer check
    // The TLS peer must be the device the request names.
    expectInvalid(Case::invalidCertificateBinding, [](PairingRequest&) {}, contextFor(x.host.identity, x.binding));
    TLSChannelContext sameFingerprintOtherKey = x.hostView;
    sameFingerprintOtherKey.peerSigningPublicKey = otherKey;
    expectInvalid(Case::invalidCertificateBinding, [](PairingRequest&) {}, sameFingerprintOtherKey);
}

TEST_F(SecurePairingProtocolTest, RequestAgeWindowIsInclusiveAt120Seconds) {
    auto validateAt = [](std::int64_t createdAt, double now) {
        PairingRequest request = exchange->request();
        request.createdAtEpochSeconds = createdAt;
        return [request, now] { Protocol::validateRequest(request, std::nullopt, Date::fromUnixSeconds(now)); };
    };
    EXPECT_NO_THROW(validateAt(kCreatedAt, kCreatedAt + 120)());
    EXPECT_NO_THROW(validateAt(kCreatedAt, kCreatedAt + 120.999)()); // the host's clock counts whole seconds
    EXPECT_NO_THROW(validateAt(kCreatedAt, kCreatedAt - 120)());
    expectError(Case::timedOut, validateAt(kCreatedAt, kCreatedAt + 121));
    expectError(Case::timedOut, validateAt(kCreatedAt, kCreatedAt - 121));
    expectError(Case::timedOut, validateAt(std::numeric_limits<std::int64_t>::min(), kCreatedAt));
    expectError(Case::timedOut, validateAt(std::numeric_limits<std::int64_t>::max(), kCreatedAt));
    EXPECT_EQ(Protocol::epochSeconds(Date::fromUnixSeconds(-1.5)), -1);
    EXPECT_EQ(Protocol::epochSeconds(Date(std::nan(""))), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Protocol::epochSeconds(Date(1e300)), std::numeric_limits<std::int64_t>::max());
}

TEST_F(SecurePairingProtocolTest, HandleResponseRefusesEachTamperedField) {
    Exchange& x = *exchange;
    const PairingResponse& good = x.response();
    using Change = std::function<void(PairingResponse&)>;
    auto expect = [&](Case kind, const Change& change, std::optional<TLSChannelContext> context,
                      std::optional<DeviceFingerprint> pin = {}) {
        x.expectResponseError(kind, changed(good, change), std::move(context), std::move(pin));
    };
    const Change none = [](PairingResponse&) {};
    const DevicePublicIdentity impostor = x.other.identity;

    expect(Case::pairingIdentifierMismatch, [](auto& r) { r.pairingID = Uuid::random(); r.protocolVersion = 9; },
           x.tabletView);
    expect(Case::unsupportedProtocol, [](auto& r) { r.protocolVersion = 2; r.nonce.clear(); }, x.tabletView);
    expect(Case::malformedMessage, [](auto& r) { r.nonce.resize(31); }, x.tabletView);
    // Identity key vs fingerprint, and the pin.
    expect(Case::identityMismatch, [&](auto& r) { r.responderIdentity.fingerprint = impostor.fingerprint; },
           x.tabletView);
    expect(Case::identityMismatch, [](auto& r) { r.responderIdentity.signingPublicKey = offCurvePoint(); },
           x.tabletView);
    expect(Case::identityMismatch, none, x.tabletView, impostor.fingerprint);
    // A consistent identity that is not the TLS peer.
    expect(Case::invalidCertificateBinding, [&](auto& r) { r.responderIdentity = impostor; }, x.tabletView);
    expect(Case::invalidCertificateBinding, none, contextFor(impostor, x.binding));
    // The proof is bound to the TLS session and to every field.
    expect(Case::invalidSignature, none, contextFor(x.host.identity, randomBytes(32)));
    expect(Case::invalidSignature, [](auto& r) { r.transcriptSignature = flipped(r.transcriptSignature, 10); },
           x.tabletView);
    expect(Case::invalidSignature, [](auto& r) { r.responderIdentity.displayName = "Evil Twin"; }, x.tabletView);
    expect(Case::invalidSignature, [](auto& r) { r.nonce = flipped(r.nonce); }, x.tabletView);
    expect(Case::invalidSignature, [](auto& r) { r.ephemeralPublicKey = offCurvePoint(); }, x.tabletView);
    // A well-signed response whose ephemeral key is not a point.
    expect(Case::keyAgreementFailed, [&](PairingResponse& r) {
        r.ephemeralPublicKey = offCurvePoint();
        const Bytes hash = Protocol::transcriptHash(x.request(), r, x.binding);
        r.transcriptSignature = x.host.service->sign(Protocol::concatenate(Protocol::responderProofLabel(), hash));
    }, x.tabletView);
}

TEST_F(SecurePairingProtocolTest, HandleConfirmationRefusesEachTamperedField) {
    Exchange& x = *exchange;
    const PairingConfirmation& good = x.confirmation();
    using Change = std::function<void(PairingConfirmation&)>;
    auto expect = [&](Case kind, const Change& change, std::optional<DeviceFingerprint> pin = {}) {
        x.expectConfirmationError(kind, changed(good, change), std::move(pin));
    };
    const DeviceFingerprint otherPin = x.other.identity.fingerprint;

    expect(Case::pairingIdentifierMismatch, [](auto& c) { c.pairingID = Uuid::random(); c.transcriptHash.clear(); });
    expect(Case::transcriptMismatch, [](auto& c) { c.transcriptHash = flipped(c.transcriptHash, 31); }, otherPin);
    expect(Case::transcriptMismatch, [](auto& c) { c.transcriptHash.resize(16); });
    PairingResponderState otherSession = x.responder; // the host's TLS session differs from the tablet's
    otherSession.tlsChannelBinding = randomBytes(32);
    x.expectConfirmationError(Case::transcriptMismatch, good, std::nullopt, &otherSession);
    expect(Case::identityMismatch, [](auto& c) { c.transcriptSignature.clear(); }, otherPin);
    expect(Case::invalidSignature, [](auto& c) { c.transcriptSignature = flipped(c.transcriptSignature, 12); });
    x.expectConfirmationError(Case::invalidSignature,
                              x.signedConfirmation(x.other, Protocol::initiatorProofLabel(), good.transcriptHash));
    // The responder's label cannot stand in for the initiator's.
    x.expectConfirmationError(Case::invalidSignature,
                              x.signedConfirmation(x.tablet, Protocol::responderProofLabel(), good.transcriptHash));

    PairingResponderState badPoint = x.responder;
    badPoint.request.ephemeralPublicKey = offCurvePoint();
    const Bytes badPointHash =
        Protocol::transcriptHash(badPoint.request, badPoint.response, badPoint.tlsChannelBinding);
    x.expectConfirmationError(Case::keyAgreementFailed,
                              x.signedConfirmation(x.tablet, Protocol::initiatorProofLabel(), badPointHash),
                              std::nullopt, &badPoint);
}

TEST_F(SecurePairingProtocolTest, CodeChangesWithEveryNonceKeyAndBinding) {
    const Exchange& x = *exchange;
    const PairingVerification& honest = x.tabletOutcome->verification;
    auto expectChanged = [&](const char* name, const P256KeyAgreementKey& initiatorKey,
                             const P256KeyAgreementKey& responderKey,
                             const std::function<void(PairingRequest&)>& onRequest,
                             const std::function<void(PairingResponse&)>& onResponse, const Bytes& binding) {
        SCOPED_TRACE(name);
        PairingRequest request = changed(x.request(), onRequest);
        PairingResponse response = changed(x.response(), onResponse);
        const Bytes hash = Protocol::transcriptHash(request, response, binding);
        const SecretBytes z = initiatorKey.sharedSecret(response.ephemeralPublicKey);
        EXPECT_EQ(z, responderKey.sharedSecret(request.ephemeralPublicKey));
        EXPECT_NE(PairingKeyDerivation::verificationCode(z.view(), hash), honest.verificationCode);
        EXPECT_NE(PairingKeyDerivation::sessionKey(z.view(), hash), honest.sessionKey);
    };
    const auto& ownKey = x.initiator.ephemeralPrivateKey;
    const auto& hostKey = x.responder.ephemeralPrivateKey;
    const auto newKey = P256KeyAgreementKey::generate();
    const auto keep = [](auto&) {};
    expectChanged("request nonce", ownKey, hostKey, [](auto& r) { r.nonce = randomBytes(32); }, keep, x.binding);
    expectChanged("response nonce", ownKey, hostKey, keep, [](auto& r) { r.nonce = randomBytes(32); }, x.binding);
    expectChanged("initiator key", newKey, hostKey, [&](auto& r) { r.ephemeralPublicKey = newKey.publicKeyX963(); },
                  keep, x.binding);
    expectChanged("responder key", ownKey, newKey, keep,
                  [&](auto& r) { r.ephemeralPublicKey = newKey.publicKeyX963(); }, x.binding);
    expectChanged("channel binding", ownKey, hostKey, keep, keep, randomBytes(32));
}

TEST(PairingKeyDerivation, MatchesTheOpenSSLCommandLineAndFormatsSixDigits) {
    // Computed outside this code with OpenSSL 3.0's `openssl kdf`: HKDF-SHA256 (key Z, salt the hash, info
    // "Velorinth SAS v1" for the seed and "Velorinth session key v1" for the key), then SCRYPT (pass the seed,
    // salt "Velorinth SAS v1", N 32768, r 8, p 1, 8 bytes) -> 1F90D1F774774276 = 2274548672563200630.
    const Bytes z = hexDecode("a0407c8706a0968bbe9c630068351a6fd37ec2f55dffa2a499c8ee33a2dab0c1").value();
    const Bytes hash = hexDecode("a11460c7baf2334901f758bb94fb6e477c2a164fecea94b04871e79c882f998b").value();
    const SecretBytes seed = PairingKeyDerivation::verificationSeed(z, hash);
    EXPECT_EQ(hexEncodedString(seed.view()), "D93583A9F028DBFCA0BA7C29C1326CD08D7DC8CFC08FAAE28849E3F41EC68D9D");
    EXPECT_EQ(hexEncodedString(PairingKeyDerivation::sessionKey(z, hash).view()),
              "C20B5DD700D802ED7F2B61D5107047B60819412192C0E1DB4C6238F51B15A667");
    EXPECT_EQ(PairingKeyDerivation::verificationCodeFromSeed(seed.view()), "200630");

    for (const auto& [hex, code] : std::vector<std::pair<const char*, const char*>>{
             {"0000000000000000", "000000"}, {"00000000000F423F", "999999"}, {"FFFFFFFFFFFFFFFF", "551615"}}) {
        EXPECT_EQ(PairingKeyDerivation::codeFromBytes(hexDecode(hex).value()), code) << hex;
    }
    EXPECT_THROW(PairingKeyDerivation::codeFromBytes(Bytes(7)), CryptoError);
}

TEST_F(SecurePairingProtocolTest, TranscriptEncodesEveryFieldWithItsLength) {
    const Exchange& x = *exchange;
    const Bytes encoded = PairingTranscript::encode(x.request(), x.response(), x.binding);
    const std::size_t names = x.tablet.identity.displayName.size() + x.host.identity.displayName.size();
    // 31-byte label, 21 length-prefixed fields (hand-counted).
    EXPECT_EQ(encoded.size(), 733 + names);
    Bytes expectedStart = bytesOf("Velorinth pairing transcript v1");
    expectedStart.insert(expectedStart.end(), {0, 0, 0, 0x24});
    const Bytes id = bytesOf(x.request().pairingID.lowercaseString());
    expectedStart.insert(expectedStart.end(), id.begin(), id.end());
    expectedStart.insert(expectedStart.end(), {0, 0, 0, 2, 0, 1, 0, 0, 0, 2, 0, 1, 0, 0, 0, 4, 'p', 'a', 'i', 'r'});
    EXPECT_TRUE(std::equal(expectedStart.begin(), expectedStart.end(), encoded.begin()));
    EXPECT_TRUE(std::equal(x.binding.rbegin(), x.binding.rend(), encoded.rbegin()));

    PairingResponse unsigned_ = x.response();
    unsigned_.transcriptSignature.clear();
    EXPECT_EQ(Protocol::transcriptHash(x.request(), unsigned_, x.binding), x.confirmation().transcriptHash);

    Bytes fields;
    PairingTranscript::appendUInt16Field(0x0102, fields);
    PairingTranscript::appendInt64Field(-2, fields);
    Protocol::appendField({}, fields);
    EXPECT_EQ(hexEncodedString(fields), "000000020102" "00000008FFFFFFFFFFFFFFFE" "00000000");
}

} // namespace
} // namespace velorinth
