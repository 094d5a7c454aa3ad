#include "platform/tls/TLSDeviceIdentity.hpp"

#include "platform/crypto/P256SigningKey.hpp"
#include "platform/tls/DeviceCertificate.hpp"
#include "platform/tls/TLSSecurityError.hpp"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace velorinth {

TLSCredential::TLSCredential(EVP_PKEY* privateKey, X509* certificate) {
    if (privateKey != nullptr && EVP_PKEY_up_ref(privateKey) == 1) {
        privateKey_ = std::shared_ptr<EVP_PKEY>(privateKey, EVP_PKEY_free);
    }
    if (certificate != nullptr && X509_up_ref(certificate) == 1) {
        certificate_ = std::shared_ptr<X509>(certificate, X509_free);
    }
}

bool TLSCredential::operator==(const TLSCredential& other) const noexcept {
    const bool sameKey = privateKey_ == other.privateKey_ ||
                         (privateKey_ && other.privateKey_ && EVP_PKEY_eq(privateKey_.get(), other.privateKey_.get()) == 1);
    const bool sameCertificate = certificate_ == other.certificate_ ||
                                 (certificate_ && other.certificate_ &&
                                  X509_cmp(certificate_.get(), other.certificate_.get()) == 0);
    return sameKey && sameCertificate;
}

TLSDeviceIdentity TLSDeviceIdentity::create(const DevicePublicIdentity& publicIdentity,
                                            const P256SigningKey& signingKey,
                                            std::chrono::system_clock::time_point now) {
    // A certificate over another key than the one the identity announces would
    // fail every peer's binding check later; refuse it here instead.
    if (publicIdentity.signingPublicKey != signingKey.publicKeyX963()) {
        throw TLSSecurityError(TLSSecurityError::Case::identityCreationFailed);
    }
    X509Ptr certificate = DeviceCertificate::issue(signingKey.native(), publicIdentity.id, now);
    Bytes der = DeviceCertificate::der(certificate.get());
    return TLSDeviceIdentity{publicIdentity, std::move(der), TLSCredential(signingKey.native(), certificate.get())};
}

} // namespace velorinth
