#include "platform/tls/DeviceCertificate.hpp"

#include "core/Error.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "platform/tls/TLSSecurityError.hpp"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

namespace velorinth {

namespace {

constexpr int kSerialSize = 16;
constexpr long kBackdateSeconds = 3600; // tolerate peers whose clock is a little behind
constexpr const char* kNotAfter = "99991231235959Z";
constexpr const char* kOrganization = "Velorinth";

[[noreturn]] void fail() { throw TLSSecurityError(TLSSecurityError::Case::identityCreationFailed); }

void require(bool ok) {
    if (!ok) fail();
}

void setSerial(X509* certificate) {
    Bytes serial;
    try {
        serial = randomBytes(kSerialSize);
    } catch (const Error&) {
        fail();
    }
    serial[0] &= 0x7F; // a positive INTEGER in exactly the bytes drawn
    if (serial[0] == 0) serial[0] = 0x01; // and never shorter, nor zero
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_bin2bn(serial.data(), kSerialSize, nullptr), BN_free);
    require(number != nullptr);
    require(BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate)) != nullptr);
}

void setName(X509* certificate, const Uuid& deviceID) {
    std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(X509_NAME_new(), X509_NAME_free);
    require(name != nullptr);
    const std::string commonName = deviceID.lowercaseString();
    require(X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1);
    require(X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(kOrganization), -1, -1, 0) == 1);
    require(X509_set_subject_name(certificate, name.get()) == 1);
    require(X509_set_issuer_name(certificate, name.get()) == 1);
}

void addExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_nconf_nid(nullptr, context, nid, value);
    require(extension != nullptr);
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    require(added == 1);
}

} // namespace

void X509Deleter::operator()(X509* certificate) const noexcept { X509_free(certificate); }

X509Ptr DeviceCertificate::issue(EVP_PKEY* identityKey, const Uuid& deviceID,
                                 std::chrono::system_clock::time_point now) {
    require(identityKey != nullptr && EVP_PKEY_is_a(identityKey, "EC") == 1);
    X509Ptr certificate(X509_new());
    require(certificate != nullptr);
    X509* x = certificate.get();
    require(X509_set_version(x, X509_VERSION_3) == 1);
    setSerial(x);
    setName(x, deviceID);

    const std::time_t notBefore = std::chrono::system_clock::to_time_t(now) - kBackdateSeconds;
    require(ASN1_TIME_set(X509_getm_notBefore(x), notBefore) != nullptr);
    require(ASN1_TIME_set_string_X509(X509_getm_notAfter(x), kNotAfter) == 1);
    require(X509_set_pubkey(x, identityKey) == 1);

    X509V3_CTX context;
    X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
    addExtension(x, &context, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(x, &context, NID_key_usage, "critical,digitalSignature");
    addExtension(x, &context, NID_ext_key_usage, "serverAuth,clientAuth");
    addExtension(x, &context, NID_subject_key_identifier, "hash");

    require(X509_sign(x, identityKey, EVP_sha256()) > 0);
    return certificate;
}

Bytes DeviceCertificate::der(X509* certificate) {
    require(certificate != nullptr);
    const int length = i2d_X509(certificate, nullptr);
    require(length > 0);
    Bytes out(static_cast<std::size_t>(length));
    unsigned char* cursor = out.data();
    require(i2d_X509(certificate, &cursor) == length);
    return out;
}

} // namespace velorinth
