#include "platform/tls/TLSTransportSecurity.hpp"

#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/P256PublicKey.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <string>

namespace velorinth {

namespace {

using Case = TLSSecurityError::Case;

// What the callbacks of one SSL_CTX need; owned by that SSL_CTX through its
// ex_data, so it lives exactly as long as every SSL made from it.
struct VerificationParameters {
    std::string applicationProtocol;
    std::optional<DeviceFingerprint> pin;
    std::shared_ptr<TLSVerificationBox> box;
};

void freeParameters(void*, void* pointer, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<VerificationParameters*>(pointer);
}

int parametersIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeParameters);
    return index;
}

const VerificationParameters* parametersOf(SSL_CTX* context) {
    if (context == nullptr || parametersIndex() < 0) return nullptr;
    return static_cast<const VerificationParameters*>(SSL_CTX_get_ex_data(context, parametersIndex()));
}

void refuse(TLSVerificationBox* box, Case reason) {
    if (box != nullptr) box->record(reason);
}

int verifyCallback(X509_STORE_CTX* store, void* argument) {
    const auto* parameters = static_cast<const VerificationParameters*>(argument);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    const bool accepted =
        parameters != nullptr && TLSTransportSecurity::verifyPeer(leaf, parameters->pin, parameters->box.get());
    if (!accepted) X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return accepted ? 1 : 0;
}

// The server selects the one protocol when the client offers it and refuses the
// handshake (no_application_protocol) when the client offers others only.
int selectProtocol(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* offered,
                   unsigned int offeredLength, void* argument) {
    const auto* parameters = static_cast<const VerificationParameters*>(argument);
    if (parameters == nullptr) return SSL_TLSEXT_ERR_ALERT_FATAL;
    const std::string& wanted = parameters->applicationProtocol;
    unsigned int index = 0;
    while (index < offeredLength) {
        const unsigned int length = offered[index];
        if (length == 0 || length > offeredLength - index - 1) break; // malformed list
        const auto* name = offered + index + 1;
        if (length == wanted.size() && std::equal(name, name + length, wanted.begin())) {
            *out = name;
            *outLength = static_cast<unsigned char>(length);
            return SSL_TLSEXT_ERR_OK;
        }
        index += 1 + length;
    }
    return SSL_TLSEXT_ERR_ALERT_FATAL;
}

[[noreturn]] void failIdentity() { throw TLSSecurityError(Case::identityCreationFailed); }

} // namespace

bool TLSTransportSecurity::verifyPeer(X509* leaf, const std::optional<DeviceFingerprint>& pin,
                                      TLSVerificationBox* box) {
    if (leaf == nullptr) {
        refuse(box, Case::missingPeerCertificate);
        return false;
    }
    // Failed checks push onto OpenSSL's error queue; drop them again so that a
    // refused handshake reports the TLS reason, not a parsing detail.
    ERR_set_mark();
    bool bound = X509_get_signature_nid(leaf) == NID_ecdsa_with_SHA256;
    std::optional<P256PublicKey> key;
    if (bound) {
        try {
            key = P256PublicKey::fromNative(X509_get0_pubkey(leaf));
        } catch (const CryptoError&) {
            bound = false;
        }
    }
    bound = bound && X509_verify(leaf, key->native()) == 1;
    ERR_pop_to_mark();
    if (!bound) {
        refuse(box, Case::invalidCertificateBinding);
        return false;
    }
    if (pin && DeviceFingerprint::fromPublicKey(key->x963Representation()) != *pin) {
        refuse(box, Case::pinnedFingerprintMismatch);
        return false;
    }
    return true;
}

std::shared_ptr<asio::ssl::context> TLSTransportSecurity::makeContext(TLSRole role,
                                                                      const TLSDeviceIdentity& identity,
                                                                      std::string_view applicationProtocol,
                                                                      std::optional<DeviceFingerprint> pin,
                                                                      std::shared_ptr<TLSVerificationBox> box) {
    if (applicationProtocol.empty() || applicationProtocol.size() > 255 || parametersIndex() < 0) failIdentity();
    std::shared_ptr<asio::ssl::context> context;
    try {
        context = std::make_shared<asio::ssl::context>(role == TLSRole::server ? asio::ssl::context::tls_server
                                                                                 : asio::ssl::context::tls_client);
    } catch (const std::exception&) {
        failIdentity();
    }
    SSL_CTX* ctx = context->native_handle();

    auto parameters = std::make_unique<VerificationParameters>(
        VerificationParameters{std::string(applicationProtocol), std::move(pin), std::move(box)});
    if (SSL_CTX_set_ex_data(ctx, parametersIndex(), parameters.get()) != 1) failIdentity();
    VerificationParameters* owned = parameters.release();

    bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) == 1 &&
              SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1;
    // Nothing resumable: every connection runs the full handshake with both certificates.
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    ok = ok && SSL_CTX_set_num_tickets(ctx, 0) == 1;
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);

    const TLSCredential& credential = identity.secIdentity;
    ok = ok && credential.certificate() != nullptr && credential.privateKey() != nullptr &&
         SSL_CTX_use_certificate(ctx, credential.certificate()) == 1 &&
         SSL_CTX_use_PrivateKey(ctx, credential.privateKey()) == 1 && SSL_CTX_check_private_key(ctx) == 1;
    if (!ok) {
        ERR_clear_error();
        failIdentity();
    }

    SSL_CTX_set_verify(ctx, role == TLSRole::server ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_PEER,
                       nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verifyCallback, owned);

    if (role == TLSRole::server) {
        SSL_CTX_set_alpn_select_cb(ctx, selectProtocol, owned);
    } else {
        std::basic_string<unsigned char> wire;
        wire.push_back(static_cast<unsigned char>(applicationProtocol.size()));
        wire.append(applicationProtocol.begin(), applicationProtocol.end());
        // Unlike its neighbours, this one returns 0 on success.
        if (SSL_CTX_set_alpn_protos(ctx, wire.data(), static_cast<unsigned int>(wire.size())) != 0) failIdentity();
    }
    return context;
}

bool TLSTransportSecurity::hasNegotiatedApplicationProtocol(SSL* ssl) {
    if (ssl == nullptr) return false;
    const VerificationParameters* parameters = parametersOf(SSL_get_SSL_CTX(ssl));
    if (parameters == nullptr) return false;
    const unsigned char* selected = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(ssl, &selected, &length);
    return selected != nullptr && length == parameters->applicationProtocol.size() &&
           std::equal(selected, selected + length, parameters->applicationProtocol.begin());
}

Bytes TLSTransportSecurity::exportChannelBinding(SSL* ssl) {
    Bytes out(kExporterLength);
    if (ssl == nullptr || SSL_export_keying_material(ssl, out.data(), out.size(), kExporterLabel.data(),
                                                     kExporterLabel.size(), nullptr, 0, 0) != 1) {
        ERR_clear_error();
        throw TLSSecurityError(Case::exporterFailed);
    }
    return out;
}

TLSChannelContext TLSTransportSecurity::captureChannelContext(SSL* ssl) {
    if (ssl == nullptr || SSL_is_init_finished(ssl) != 1 || SSL_version(ssl) <= 0) {
        throw TLSSecurityError(Case::missingTLSHandshakeMetadata);
    }
    if (SSL_version(ssl) != TLS1_3_VERSION) throw TLSSecurityError(Case::unsupportedTLSVersion);
    X509* peer = SSL_get0_peer_certificate(ssl);
    if (peer == nullptr) throw TLSSecurityError(Case::missingPeerCertificate);
    // Checked again here, so a context is never captured from a certificate
    // that some other path let through.
    if (!verifyPeer(peer, std::nullopt, nullptr)) throw TLSSecurityError(Case::invalidCertificateBinding);
    Bytes key;
    try {
        key = P256PublicKey::fromNative(X509_get0_pubkey(peer)).x963Representation();
    } catch (const CryptoError&) {
        ERR_clear_error();
        throw TLSSecurityError(Case::invalidCertificateBinding);
    }
    DeviceFingerprint fingerprint = DeviceFingerprint::fromPublicKey(key);
    return TLSChannelContext{std::move(key), std::move(fingerprint), exportChannelBinding(ssl)};
}

} // namespace velorinth
