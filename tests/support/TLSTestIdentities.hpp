#pragma once

// Device identities for TLS tests, and certificates broken on purpose.

#include "core/IdentityModels.hpp"
#include "core/TrustedDevice.hpp"
#include "core/Uuid.hpp"
#include "platform/crypto/OpenSslHandles.hpp"
#include "platform/crypto/P256SigningKey.hpp"
#include "platform/tls/DeviceCertificate.hpp"
#include "platform/tls/TLSDeviceIdentity.hpp"
#include "platform/tls/TLSTransportSecurity.hpp"

#include <asio/ssl/context.hpp>
#include <openssl/ssl.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace velorinth::testing {

inline TLSDeviceIdentity makeTestIdentity(const std::string& name = "Test Device") {
    P256SigningKey key = P256SigningKey::generate();
    DevicePublicIdentity publicIdentity =
        DevicePublicIdentity::fromPublicKey(Uuid::random(), name, Uuid::random(), key.publicKeyX963());
    return TLSDeviceIdentity::create(publicIdentity, key);
}

// The trust record of a device paired at `pairedAt` with `permissions`.
inline TrustedDevice trustedRecord(const DevicePublicIdentity& identity,
                                   DevicePermissions permissions = DevicePermissions::all, Date pairedAt = Date()) {
    TrustedDevice record;
    record.identity = identity;
    record.id = identity.id;
    record.pairedAt = pairedAt;
    record.permissions = permissions;
    return record;
}

inline EvpPkeyPtr generateECKey(const char* curve) {
    EvpPkeyPtr key(EVP_EC_gen(curve));
    if (!key) throw std::runtime_error("EC key generation failed");
    return key;
}

// A minimal certificate over `subjectKey`, signed by `signer` with `digest`.
inline X509Ptr makeCertificate(EVP_PKEY* subjectKey, EVP_PKEY* signer, const EVP_MD* digest) {
    X509Ptr certificate(X509_new());
    X509* x = certificate.get();
    bool ok = x != nullptr && X509_set_version(x, X509_VERSION_3) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(x), 7) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(x), 3600) != nullptr && X509_set_pubkey(x, subjectKey) == 1;
    X509_NAME* name = X509_get_subject_name(x);
    ok = ok && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>("test"), -1, -1, 0) == 1 &&
         X509_set_issuer_name(x, name) == 1 && X509_sign(x, signer, digest) > 0;
    if (!ok) throw std::runtime_error("test certificate creation failed");
    return certificate;
}

// An identity whose certificate carries its own key but was signed by another.
inline TLSDeviceIdentity makeMisboundIdentity() {
    TLSDeviceIdentity identity = makeTestIdentity("Misbound");
    EvpPkeyPtr other = generateECKey("P-256");
    X509Ptr forged = makeCertificate(identity.secIdentity.privateKey(), other.get(), EVP_sha256());
    identity.certificateDER = DeviceCertificate::der(forged.get());
    identity.secIdentity = TLSCredential(identity.secIdentity.privateKey(), forged.get());
    return identity;
}

// A TLS context configured by hand, for peers our own policy would never build.
struct RawContextOptions {
    const TLSDeviceIdentity* identity = nullptr; // no certificate when null
    int maxVersion = TLS1_3_VERSION;
    const char* offeredProtocol = nullptr;       // client side ALPN
};

inline std::unique_ptr<asio::ssl::context> makeRawContext(TLSRole role, const RawContextOptions& options) {
    auto context = std::make_unique<asio::ssl::context>(role == TLSRole::server ? asio::ssl::context::tls_server
                                                                                 : asio::ssl::context::tls_client);
    SSL_CTX* ctx = context->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, options.maxVersion);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    if (options.identity != nullptr) {
        SSL_CTX_use_certificate(ctx, options.identity->secIdentity.certificate());
        SSL_CTX_use_PrivateKey(ctx, options.identity->secIdentity.privateKey());
    }
    if (options.offeredProtocol != nullptr) {
        std::basic_string<unsigned char> wire;
        wire.push_back(static_cast<unsigned char>(std::strlen(options.offeredProtocol)));
        wire.append(options.offeredProtocol, options.offeredProtocol + std::strlen(options.offeredProtocol));
        SSL_CTX_set_alpn_protos(ctx, wire.data(), static_cast<unsigned int>(wire.size()));
    }
    return context;
}

} // namespace velorinth::testing
