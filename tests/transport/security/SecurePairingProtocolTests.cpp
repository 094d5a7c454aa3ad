#include "transport/security/SecurePairingProtocol.hpp"

#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "transport/security/PairingKeyDerivation.hpp"
#include "transport/security/SessionCipher.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
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

template <class T>
T runOnLoop(asio::awaitable<T> operation) {
    asio::io_context loop;
    std::future<T> result = asio::co_spawn(loop, std::move(operation), asio::use_future);
    loop.run();
    return result.get();
}

void expectError(Case kind, const std::function<void()>& operation) {
    try {
        operation();
        ADD_FAILURE() << "expected " << PairingProtocolError::text(kind);
    } catch (const PairingProtocolError& e) {
        EXPECT_EQ(e.kind, kind) << e.what();
        EXPECT_EQ(e.what(), PairingProtocolError::text(kind));
    }
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

// One honest pairing, run once for the whole suite: its messages are the
// starting point of every tampering case, which all fail before the costly
// code derivation.
struct Exchange {
    asio::thread_pool kdfWorker{1};
    Protocol protocol{kdfWorker};
    Device tablet = makeDevice("Drawing Tablet");
    Device host = makeDevice("Studio Desktop");
    Bytes binding = randomBytes(32);
    TLSChannelContext tabletView = contextFor(host.identity, binding); // the tablet's TLS peer is the host
    TLSChannelContext hostView = contextFor(tablet.identity, binding);
    PairingInitiatorState initiator =
        Protocol::createRequest(tablet.service, HandshakePurpose::pair, Date::fromUnixSeconds(kCreatedAt + 0.75));
    std::uint16_t negotiated = Protocol::validateRequest(initiator.request, hostView, Date::fromUnixSeconds(kCreatedAt));
    PairingResponderState responder = Protocol::createResponse(initiator.request, negotiated, hostView, host.service);
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

    PairingResponse signedByHost(PairingResponse response, ByteView channelBinding) const {
        const Bytes hash = Protocol::transcriptHash(request(), response, channelBinding);
        response.transcriptSignature = host.service->sign(Protocol::concatenate(Protocol::responderProofLabel(), hash));
        return response;
    }

    void expectResponseError(Case kind, const PairingResponse& response,
                             std::optional<TLSChannelContext> context, std::optional<DeviceFingerprint> pin = {}) {
        expectError(kind, [&] { runOnLoop(protocol.handleResponse(initiator, response, context, pin)); });
    }
    void expectConfirmationError(Case kind, const PairingResponderState& state,
                                 const PairingConfirmation& confirmation, std::optional<DeviceFingerprint> pin = {}) {
        expectError(kind, [&] { runOnLoop(protocol.handleConfirmation(state, confirmation, pin)); });
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
    EXPECT_EQ(tablet.pairingID, x.request().pairingID);
    EXPECT_EQ(host.pairingID, x.request().pairingID);
    EXPECT_EQ(tablet.negotiatedProtocolVersion, 1);
    EXPECT_EQ(host.negotiatedProtocolVersion, 1);
    EXPECT_EQ(tablet.peerIdentity, x.host.identity);
    EXPECT_EQ(host.peerIdentity, x.tablet.identity);

    // The derivation ran off the loop, and each side resumed on it.
    EXPECT_TRUE(x.loopRanWhileDeriving);
    EXPECT_TRUE(x.resumedOnLoopThread);

    // The key drives the session cipher in both directions.
    SessionCipher tabletCipher(tablet.sessionKey.view(), SessionRole::initiator);
    SessionCipher hostCipher(host.sessionKey.view(), SessionRole::responder);
    const auto sealed = hostCipher.seal(bytesOf("decision"), host.transcriptHash);
    EXPECT_EQ(tabletCipher.open(sealed.sequence, sealed.ciphertext, tablet.transcriptHash), bytesOf("decision"));

    const std::string description = tablet.description();
    EXPECT_NE(description.find("[REDACTED]"), std::string::npos);
    EXPECT_EQ(description.find(hexEncodedString(tablet.sessionKey.view())), std::string::npos);
}

TEST_F(SecurePairingProtocolTest, CreatesRequestsFromTheDeviceIdentity) {
    const PairingRequest& request = exchange->request();
    EXPECT_EQ(request.createdAtEpochSeconds, kCreatedAt); // truncated, not rounded
    EXPECT_EQ(request.protocolVersion, 1);
    EXPECT_EQ(request.supportedProtocolVersions, std::vector<std::uint16_t>{1});
    EXPECT_EQ(request.initiatorIdentity, exchange->tablet.identity);
    EXPECT_EQ(request.nonce.size(), 32u);
    EXPECT_EQ(request.ephemeralPublicKey, exchange->initiator.ephemeralPrivateKey.publicKeyX963());
    EXPECT_EQ(request.purpose, HandshakePurpose::pair);
    EXPECT_EQ(exchange->responder.tlsChannelBinding, exchange->binding);

    const auto other = Protocol::createRequest(exchange->tablet.service, HandshakePurpose::reconnect, Date::now(), 1,
                                               {1, 2});
    EXPECT_EQ(other.request.supportedProtocolVersions, (std::vector<std::uint16_t>{1, 2}));
    EXPECT_NE(other.request.pairingID, request.pairingID);
    EXPECT_NE(other.request.nonce, request.nonce);

    EXPECT_EQ(Protocol::epochSeconds(Date::fromUnixSeconds(-1.5)), -1);
    EXPECT_EQ(Protocol::epochSeconds(Date(std::nan(""))), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(Protocol::epochSeconds(Date(1e300)), std::numeric_limits<std::int64_t>::max());
}

TEST_F(SecurePairingProtocolTest, NegotiatesTheHighestCommonVersion) {
    struct Row {
        std::uint16_t version;
        std::vector<std::uint16_t> supported;
        std::optional<std::uint16_t> negotiated;
    };
    const std::vector<Row> rows{
        {1, {}, 1}, {2, {3, 1, 2}, 1}, {2, {2}, std::nullopt}, {1, {0, 2}, std::nullopt}, {2, {}, std::nullopt},
        {0, {}, std::nullopt},
    };
    for (const Row& row : rows) {
        PairingRequest request = exchange->request();
        request.protocolVersion = row.version;
        request.supportedProtocolVersions = row.supported;
        request.nonce.clear(); // unsupported is reported before anything else
        if (row.negotiated) {
            request.nonce = exchange->request().nonce;
            EXPECT_EQ(Protocol::validateRequest(request, std::nullopt, Date::fromUnixSeconds(kCreatedAt)),
                      *row.negotiated);
        } else {
            expectError(Case::unsupportedProtocol, [&] {
                Protocol::validateRequest(request, std::nullopt, Date::fromUnixSeconds(kCreatedAt));
            });
        }
    }
}

TEST_F(SecurePairingProtocolTest, ValidateRequestRefusesEachFaultInOrder) {
    const Exchange& x = *exchange;
    const Date now = Date::fromUnixSeconds(kCreatedAt);
    auto expectInvalid = [&](Case kind, const std::function<void(PairingRequest&)>& tamper,
                             std::optional<TLSChannelContext> context = std::nullopt) {
        PairingRequest request = x.request();
        tamper(request);
        expectError(kind, [&] { Protocol::validateRequest(request, context, now); });
    };
    const Bytes otherKey = makeDevice("Other").identity.signingPublicKey;

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
    EXPECT_EQ(Protocol::validateRequest(x.request(), x.hostView, now), 1);
}

TEST_F(SecurePairingProtocolTest, RequestAgeWindowIsInclusiveAt120Seconds) {
    const PairingRequest& request = exchange->request();
    auto at = [&](double unixSeconds) {
        return [&request, unixSeconds] {
            Protocol::validateRequest(request, std::nullopt, Date::fromUnixSeconds(unixSeconds));
        };
    };
    EXPECT_NO_THROW(at(kCreatedAt + 120)());
    EXPECT_NO_THROW(at(kCreatedAt + 120.999)()); // the host's clock counts whole seconds
    EXPECT_NO_THROW(at(kCreatedAt - 120)());
    expectError(Case::timedOut, at(kCreatedAt + 121));
    expectError(Case::timedOut, at(kCreatedAt - 121));

    for (std::int64_t extreme : {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
        PairingRequest far = request;
        far.createdAtEpochSeconds = extreme;
        expectError(Case::timedOut, [&] { Protocol::validateRequest(far, std::nullopt, Date::fromUnixSeconds(kCreatedAt)); });
    }
}

TEST_F(SecurePairingProtocolTest, HandleResponseRefusesEachTamperedField) {
    Exchange& x = *exchange;
    const PairingResponse& good = x.response();
    const Device other = makeDevice("Impostor");
    auto tampered = [&](const std::function<void(PairingResponse&)>& change) {
        PairingResponse response = good;
        change(response);
        return response;
    };

    x.expectResponseError(Case::pairingIdentifierMismatch, tampered([](PairingResponse& r) {
                              r.pairingID = Uuid::random();
                              r.protocolVersion = 9;
                          }),
                          x.tabletView);
    x.expectResponseError(Case::unsupportedProtocol, tampered([](PairingResponse& r) {
                              r.protocolVersion = 2;
                              r.nonce.clear();
                          }),
                          x.tabletView);
    x.expectResponseError(Case::malformedMessage, tampered([](PairingResponse& r) { r.nonce.resize(31); }),
                          x.tabletView);
    // Identity key vs fingerprint, and the pin.
    x.expectResponseError(Case::identityMismatch, tampered([&](PairingResponse& r) {
                              r.responderIdentity.fingerprint = other.identity.fingerprint;
                          }),
                          x.tabletView);
    x.expectResponseError(Case::identityMismatch,
                          tampered([](PairingResponse& r) { r.responderIdentity.signingPublicKey = offCurvePoint(); }),
                          x.tabletView);
    x.expectResponseError(Case::identityMismatch, good, x.tabletView, other.identity.fingerprint);
    // A consistent identity that is not the TLS peer.
    x.expectResponseError(Case::invalidCertificateBinding,
                          tampered([&](PairingResponse& r) { r.responderIdentity = other.identity; }), x.tabletView);
    x.expectResponseError(Case::invalidCertificateBinding, good, contextFor(other.identity, x.binding));
    // The proof is bound to the TLS session and to every field.
    x.expectResponseError(Case::invalidSignature, good, contextFor(x.host.identity, randomBytes(32)));
    x.expectResponseError(Case::invalidSignature, good, std::nullopt);
    x.expectResponseError(Case::invalidSignature,
                          tampered([](PairingResponse& r) { r.transcriptSignature = flipped(r.transcriptSignature, 10); }),
                          x.tabletView);
    x.expectResponseError(Case::invalidSignature, tampered([](PairingResponse& r) { r.transcriptSignature.clear(); }),
                          x.tabletView);
    x.expectResponseError(Case::invalidSignature,
                          tampered([](PairingResponse& r) { r.responderIdentity.displayName = "Evil Twin"; }),
                          x.tabletView);
    x.expectResponseError(Case::invalidSignature, tampered([](PairingResponse& r) { r.nonce = flipped(r.nonce); }),
                          x.tabletView);
    x.expectResponseError(Case::invalidSignature,
                          tampered([](PairingResponse& r) { r.ephemeralPublicKey = offCurvePoint(); }), x.tabletView);
    // A well-signed response whose ephemeral key is not a point.
    x.expectResponseError(Case::keyAgreementFailed,
                          x.signedByHost(tampered([](PairingResponse& r) { r.ephemeralPublicKey = offCurvePoint(); }),
                                         x.binding),
                          x.tabletView);
}

TEST_F(SecurePairingProtocolTest, HandleConfirmationRefusesEachTamperedField) {
    Exchange& x = *exchange;
    const PairingConfirmation& good = x.confirmation();
    const Device other = makeDevice("Impostor");
    auto tampered = [&](const std::function<void(PairingConfirmation&)>& change) {
        PairingConfirmation confirmation = good;
        change(confirmation);
        return confirmation;
    };
    auto signedBy = [&](const Device& device, ByteView label, const Bytes& hash) {
        return tampered([&](PairingConfirmation& c) {
            c.transcriptHash = hash;
            c.transcriptSignature = device.service->sign(Protocol::concatenate(label, hash));
        });
    };

    x.expectConfirmationError(Case::pairingIdentifierMismatch, x.responder, tampered([](PairingConfirmation& c) {
                                  c.pairingID = Uuid::random();
                                  c.transcriptHash.clear();
                              }));
    x.expectConfirmationError(Case::transcriptMismatch, x.responder,
                              tampered([](PairingConfirmation& c) { c.transcriptHash = flipped(c.transcriptHash, 31); }),
                              other.identity.fingerprint);
    x.expectConfirmationError(Case::transcriptMismatch, x.responder,
                              tampered([](PairingConfirmation& c) { c.transcriptHash.resize(16); }));
    // The host's TLS session differs from the tablet's.
    PairingResponderState otherSession = x.responder;
    otherSession.tlsChannelBinding = randomBytes(32);
    x.expectConfirmationError(Case::transcriptMismatch, otherSession, good);

    x.expectConfirmationError(Case::identityMismatch, x.responder, tampered([](PairingConfirmation& c) {
                                  c.transcriptSignature.clear();
                              }),
                              other.identity.fingerprint);

    x.expectConfirmationError(Case::invalidSignature, x.responder, tampered([](PairingConfirmation& c) {
                                  c.transcriptSignature = flipped(c.transcriptSignature, 12);
                              }));
    x.expectConfirmationError(Case::invalidSignature, x.responder,
                              tampered([](PairingConfirmation& c) { c.transcriptSignature = bytesOf("not DER"); }));
    x.expectConfirmationError(Case::invalidSignature, x.responder,
                              signedBy(other, Protocol::initiatorProofLabel(), good.transcriptHash));
    // The responder's label cannot stand in for the initiator's.
    x.expectConfirmationError(Case::invalidSignature, x.responder,
                              signedBy(x.tablet, Protocol::responderProofLabel(), good.transcriptHash));

    PairingResponderState badPoint = x.responder;
    badPoint.request.ephemeralPublicKey = offCurvePoint();
    const Bytes badPointHash = Protocol::transcriptHash(badPoint.request, badPoint.response, badPoint.tlsChannelBinding);
    x.expectConfirmationError(Case::keyAgreementFailed, badPoint,
                              signedBy(x.tablet, Protocol::initiatorProofLabel(), badPointHash));
}

TEST_F(SecurePairingProtocolTest, CodeChangesWithEveryNonceKeyAndBinding) {
    const Exchange& x = *exchange;
    const std::string& honestCode = x.tabletOutcome->verification.verificationCode;
    const SecretBytes& honestKey = x.tabletOutcome->verification.sessionKey;
    struct Variant {
        const char* name;
        PairingRequest request;
        PairingResponse response;
        P256KeyAgreementKey initiatorKey;
        P256KeyAgreementKey responderKey;
        Bytes binding;
    };
    const Variant base{"base", x.request(), x.response(), x.initiator.ephemeralPrivateKey,
                       x.responder.ephemeralPrivateKey, x.binding};
    std::vector<Variant> variants(5, base);
    variants[0].name = "request nonce";
    variants[0].request.nonce = randomBytes(32);
    variants[1].name = "response nonce";
    variants[1].response.nonce = randomBytes(32);
    variants[2].name = "initiator ephemeral key";
    variants[2].initiatorKey = P256KeyAgreementKey::generate();
    variants[2].request.ephemeralPublicKey = variants[2].initiatorKey.publicKeyX963();
    variants[3].name = "responder ephemeral key";
    variants[3].responderKey = P256KeyAgreementKey::generate();
    variants[3].response.ephemeralPublicKey = variants[3].responderKey.publicKeyX963();
    variants[4].name = "channel binding";
    variants[4].binding = randomBytes(32);

    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        const Bytes hash = Protocol::transcriptHash(v.request, v.response, v.binding);
        const SecretBytes z = v.initiatorKey.sharedSecret(v.response.ephemeralPublicKey);
        EXPECT_EQ(z, v.responderKey.sharedSecret(v.request.ephemeralPublicKey));
        EXPECT_NE(PairingKeyDerivation::verificationCode(z.view(), hash), honestCode);
        EXPECT_NE(PairingKeyDerivation::sessionKey(z.view(), hash), honestKey);
    }
}

TEST(PairingKeyDerivation, MatchesTheOpenSSLCommandLine) {
    // Expected values computed once, outside this code, with OpenSSL 3.0:
    //   openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt hexkey:<Z> -kdfopt hexsalt:<hash>
    //       -kdfopt info:"Velorinth SAS v1" HKDF                       -> seed
    //   openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt hexkey:<Z> -kdfopt hexsalt:<hash>
    //       -kdfopt info:"Velorinth session key v1" HKDF               -> session key
    //   openssl kdf -keylen 8 -kdfopt hexpass:<seed> -kdfopt salt:"Velorinth SAS v1"
    //       -kdfopt n:32768 -kdfopt r:8 -kdfopt p:1 SCRYPT              -> 1F:90:D1:F7:74:77:42:76
    // 0x1F90D1F774774276 = 2274548672563200630, which is 200630 modulo 10^6.
    const Bytes z = hexDecode("a0407c8706a0968bbe9c630068351a6fd37ec2f55dffa2a499c8ee33a2dab0c1").value();
    const Bytes hash = hexDecode("a11460c7baf2334901f758bb94fb6e477c2a164fecea94b04871e79c882f998b").value();

    const SecretBytes seed = PairingKeyDerivation::verificationSeed(z, hash);
    EXPECT_EQ(hexEncodedString(seed.view()), "D93583A9F028DBFCA0BA7C29C1326CD08D7DC8CFC08FAAE28849E3F41EC68D9D");
    EXPECT_EQ(hexEncodedString(PairingKeyDerivation::sessionKey(z, hash).view()),
              "C20B5DD700D802ED7F2B61D5107047B60819412192C0E1DB4C6238F51B15A667");
    EXPECT_EQ(PairingKeyDerivation::verificationCodeFromSeed(seed.view()), "200630");
}

TEST(PairingKeyDerivation, FormatsExactlySixDigits) {
    const std::vector<std::pair<const char*, const char*>> rows{
        {"0000000000000000", "000000"}, {"00000000000F423F", "999999"}, {"00000000000F426A", "000042"},
        {"FFFFFFFFFFFFFFFF", "551615"}, {"8000000000000000", "775808"},
    };
    for (const auto& [hex, code] : rows) {
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

    const Bytes unbound = PairingTranscript::encode(x.request(), x.response(), {});
    EXPECT_EQ(unbound.size(), 701 + names);
    EXPECT_EQ(Bytes(unbound.end() - 4, unbound.end()), Bytes(4, 0));

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
