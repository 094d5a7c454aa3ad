#include "platform/tls/TLSTransportSecurity.hpp"
#include "support/LoopRunner.hpp"
#include "support/TLSTestIdentities.hpp"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <vector>

using namespace velorinth;
using namespace velorinth::testing;
using Case = TLSSecurityError::Case;

TEST(TLSTransportSecurity, VerifyPeerAcceptsASelfSignedDeviceCertificateRepeatedly) {
    const TLSDeviceIdentity identity = makeTestIdentity();
    X509* leaf = identity.secIdentity.certificate();
    TLSVerificationBox box;
    EXPECT_TRUE(TLSTransportSecurity::verifyPeer(leaf, std::nullopt, &box));
    EXPECT_TRUE(TLSTransportSecurity::verifyPeer(leaf, identity.publicIdentity.fingerprint, &box));
    EXPECT_FALSE(box.failure());
    // The box keeps the first failure only.
    box.record(Case::pinnedFingerprintMismatch);
    box.record(Case::invalidCertificateBinding);
    EXPECT_EQ(box.failure(), Case::pinnedFingerprintMismatch);
}

TEST(TLSTransportSecurity, VerifyPeerRefusesEachBrokenBindingWithItsReason) {
    const TLSDeviceIdentity identity = makeTestIdentity();
    EvpPkeyPtr p256 = generateECKey("P-256");
    EvpPkeyPtr p384 = generateECKey("P-384");
    X509Ptr signedByOther = makeCertificate(identity.secIdentity.privateKey(), p256.get(), EVP_sha256());
    X509Ptr wrongDigest = makeCertificate(p256.get(), p256.get(), EVP_sha384());
    X509Ptr wrongCurve = makeCertificate(p384.get(), p384.get(), EVP_sha256());
    X509Ptr selfSignedOther = makeCertificate(p256.get(), p256.get(), EVP_sha256());
    const DeviceFingerprint otherPin = makeTestIdentity().publicIdentity.fingerprint;

    struct Row {
        const char* name;
        X509* leaf;
        std::optional<DeviceFingerprint> pin;
        Case reason;
    };
    const std::vector<Row> rows = {
        {"no certificate", nullptr, std::nullopt, Case::missingPeerCertificate},
        {"signed by another key", signedByOther.get(), std::nullopt, Case::invalidCertificateBinding},
        {"ecdsa-with-SHA384", wrongDigest.get(), std::nullopt, Case::invalidCertificateBinding},
        {"P-384 key", wrongCurve.get(), std::nullopt, Case::invalidCertificateBinding},
        {"binding checked before the pin", signedByOther.get(), otherPin, Case::invalidCertificateBinding},
        {"pin of another device", identity.secIdentity.certificate(), otherPin, Case::pinnedFingerprintMismatch},
        {"valid but not the pinned one", selfSignedOther.get(), identity.publicIdentity.fingerprint,
         Case::pinnedFingerprintMismatch},
    };
    for (const Row& row : rows) {
        TLSVerificationBox box;
        EXPECT_FALSE(TLSTransportSecurity::verifyPeer(row.leaf, row.pin, &box)) << row.name;
        EXPECT_EQ(box.failure(), row.reason) << row.name;
        EXPECT_FALSE(TLSTransportSecurity::verifyPeer(row.leaf, row.pin, nullptr)) << row.name;
    }
    // Valid leaves for other devices pass without a pin: trust is the pairing's business.
    EXPECT_TRUE(TLSTransportSecurity::verifyPeer(selfSignedOther.get(), std::nullopt, nullptr));
}

TEST(TLSTransportSecurity, MakeContextRefusesAnUnusableCredential) {
    const TLSDeviceIdentity identity = makeTestIdentity();
    const TLSDeviceIdentity stranger = makeTestIdentity();
    TLSDeviceIdentity noKey = identity;
    noKey.secIdentity = TLSCredential(nullptr, identity.secIdentity.certificate());
    TLSDeviceIdentity foreignKey = identity;
    foreignKey.secIdentity = TLSCredential(stranger.secIdentity.privateKey(), identity.secIdentity.certificate());

    for (const TLSDeviceIdentity* broken : {&noKey, &foreignKey}) {
        for (TLSRole role : {TLSRole::client, TLSRole::server}) {
            EXPECT_EQ(thrown<TLSSecurityError>([&] { TLSTransportSecurity::makeContext(role, *broken, "velorinth/1"); })
                          .kind,
                      Case::identityCreationFailed);
        }
    }
    EXPECT_THROW(TLSTransportSecurity::makeContext(TLSRole::client, identity, ""), TLSSecurityError);
}

TEST(TLSTransportSecurity, NothingIsCapturedFromAnUnfinishedHandshake) {
    const TLSDeviceIdentity identity = makeTestIdentity();
    auto context = TLSTransportSecurity::makeContext(TLSRole::client, identity, "velorinth/1");
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context->native_handle()), SSL_free);
    ASSERT_TRUE(ssl);
    EXPECT_EQ(thrown<TLSSecurityError>([&] { TLSTransportSecurity::captureChannelContext(ssl.get()); }).kind,
              Case::missingTLSHandshakeMetadata);
    EXPECT_FALSE(TLSTransportSecurity::hasNegotiatedApplicationProtocol(ssl.get()));
    EXPECT_EQ(thrown<TLSSecurityError>([&] { TLSTransportSecurity::exportChannelBinding(ssl.get()); }).kind,
              Case::exporterFailed);
}
