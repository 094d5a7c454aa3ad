#include "platform/crypto/P256KeyAgreementKey.hpp"

#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/P256Support.hpp"

#include <ostream>

namespace velorinth {

P256KeyAgreementKey::P256KeyAgreementKey(EvpPkeyPtr key, P256PublicKey publicKey)
    : key_(std::move(key)), publicKey_(std::move(publicKey)) {}

P256KeyAgreementKey::P256KeyAgreementKey(const P256KeyAgreementKey& other)
    : key_(sharedPkey(other.key_.get())), publicKey_(other.publicKey_) {}

P256KeyAgreementKey& P256KeyAgreementKey::operator=(const P256KeyAgreementKey& other) {
    if (this != &other) {
        key_ = sharedPkey(other.key_.get());
        publicKey_ = other.publicKey_;
    }
    return *this;
}

P256KeyAgreementKey::~P256KeyAgreementKey() = default;

P256KeyAgreementKey P256KeyAgreementKey::generate() {
    EvpPkeyPtr key = detail::generateP256KeyPair();
    P256PublicKey publicKey = P256PublicKey::fromNative(key.get());
    return P256KeyAgreementKey(std::move(key), std::move(publicKey));
}

P256KeyAgreementKey P256KeyAgreementKey::fromX963(ByteView x963) {
    EvpPkeyPtr key = detail::loadP256KeyPair(x963);
    P256PublicKey publicKey = P256PublicKey::fromX963(x963.first(P256PublicKey::kX963Size));
    return P256KeyAgreementKey(std::move(key), std::move(publicKey));
}

SecretBytes P256KeyAgreementKey::sharedSecret(ByteView peerPublicX963) const {
    return sharedSecret(P256PublicKey::fromX963(peerPublicX963));
}

SecretBytes P256KeyAgreementKey::sharedSecret(const P256PublicKey& peer) const {
    auto fail = [] { throw CryptoError(CryptoError::Case::keyAgreementFailed); };
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) fail();
    // The peer was fully validated when it was loaded; validate again anyway
    // (cheap next to the derivation) in case it came from somewhere else.
    if (EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.native(), 1) != 1) fail();
    std::size_t length = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1 || length != kSharedSecretSize) fail();
    SecretBytes out{Bytes(kSharedSecretSize)};
    if (EVP_PKEY_derive(ctx.get(), const_cast<std::uint8_t*>(out.data()), &length) != 1 ||
        length != kSharedSecretSize) {
        fail();
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, const P256KeyAgreementKey& key) { return out << key.description(); }

} // namespace velorinth
