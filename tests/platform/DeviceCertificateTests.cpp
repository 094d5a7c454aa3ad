#include "platform/crypto/P256SigningKey.hpp"
#include "platform/tls/DeviceCertificate.hpp"
#include "platform/tls/TLSDeviceIdentity.hpp"
#include "platform/tls/TLSSecurityError.hpp"
#include "support/LoopRunner.hpp"
#include "support/TLSTestIdentities.hpp"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/x509v3.h>

#include <ctime>

using namespace velorinth;

namespace {

X509Ptr parse(const Bytes& der) {
    const unsigned char* cursor = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    EXPECT_EQ(cursor, der.data() + der.size()) << "trailing bytes after the certificate";
    return certificate;
}

std::string nameEntry(X509_NAME* name, int nid) {
    char buffer[256] = {};
    X509_NAME_get_text_by_NID(name, nid, buffer, sizeof buffer);
    return buffer;
}

time_t secondsOf(const ASN1_TIME* time) {
    struct tm parsed {};
    EXPECT_EQ(ASN1_TIME_to_tm(time, &parsed), 1);
    return timegm(&parsed);
}

bool isCritical(X509* certificate, int nid) {
    const int index = X509_get_ext_by_NID(certificate, nid, -1);
    return index >= 0 && X509_EXTENSION_get_critical(X509_get_ext(certificate, index)) == 1;
}

} // namespace

TEST(DeviceCertificate, CarriesTheDeviceProfile) {
    P256SigningKey key = P256SigningKey::generate();
    const Uuid id = *Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    const auto publicIdentity = DevicePublicIdentity::fromPublicKey(id, "Desk", Uuid::random(), key.publicKeyX963());
    const auto now = std::chrono::system_clock::from_time_t(1'700'000'000);
    const TLSDeviceIdentity identity = TLSDeviceIdentity::create(publicIdentity, key, now);

    X509Ptr certificate = parse(identity.certificateDER);
    ASSERT_TRUE(certificate);
    X509* x = certificate.get();
    EXPECT_EQ(X509_get_version(x), X509_VERSION_3);
    EXPECT_EQ(X509_get_signature_nid(x), NID_ecdsa_with_SHA256);
    EXPECT_EQ(X509_verify(x, key.native()), 1);
    EXPECT_EQ(P256PublicKey::fromNative(X509_get0_pubkey(x)).x963Representation(), key.publicKeyX963());

    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr),
                                                       BN_free);
    EXPECT_EQ(BN_num_bytes(serial.get()), 16);
    EXPECT_LE(BN_num_bits(serial.get()), 127) << "top bit must be clear";
    EXPECT_FALSE(BN_is_negative(serial.get()));

    EXPECT_EQ(nameEntry(X509_get_subject_name(x), NID_commonName), "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    EXPECT_EQ(nameEntry(X509_get_subject_name(x), NID_organizationName), "Velorinth");
    EXPECT_EQ(X509_NAME_entry_count(X509_get_subject_name(x)), 2);
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(x), X509_get_issuer_name(x)), 0);

    EXPECT_EQ(secondsOf(X509_get0_notBefore(x)), 1'700'000'000 - 3600);
    ASN1_TIME* far = ASN1_TIME_new();
    ASSERT_EQ(ASN1_TIME_set_string_X509(far, "99991231235959Z"), 1);
    EXPECT_EQ(ASN1_TIME_compare(X509_get0_notAfter(x), far), 0);
    ASN1_TIME_free(far);

    EXPECT_TRUE(isCritical(x, NID_basic_constraints));
    EXPECT_TRUE(isCritical(x, NID_key_usage));
    EXPECT_EQ(X509_check_ca(x), 0);
    EXPECT_EQ(X509_get_key_usage(x), static_cast<std::uint32_t>(KU_DIGITAL_SIGNATURE));
    EXPECT_EQ(X509_get_extended_key_usage(x), static_cast<std::uint32_t>(XKU_SSL_SERVER | XKU_SSL_CLIENT));
    EXPECT_NE(X509_get0_subject_key_id(x), nullptr);
    EXPECT_FALSE(isCritical(x, NID_ext_key_usage));
}

TEST(DeviceCertificate, RefusesAnIdentityAnnouncingAnotherKey) {
    P256SigningKey key = P256SigningKey::generate();
    P256SigningKey other = P256SigningKey::generate();
    const auto publicIdentity =
        DevicePublicIdentity::fromPublicKey(Uuid::random(), "Desk", Uuid::random(), other.publicKeyX963());
    const auto refused = [&] { TLSDeviceIdentity::create(publicIdentity, key); };
    EXPECT_EQ(velorinth::testing::thrown<TLSSecurityError>(refused).kind,
              TLSSecurityError::Case::identityCreationFailed);
    EXPECT_THROW(DeviceCertificate::issue(nullptr, Uuid::random(), std::chrono::system_clock::now()),
                 TLSSecurityError);
}
