#include "platform/crypto/P256SigningKey.hpp"

#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/OpenSslParams.hpp"
#include "platform/crypto/P256Support.hpp"

#include <ostream>

namespace velorinth {

P256SigningKey::P256SigningKey(EvpPkeyPtr key, P256PublicKey publicKey)
    : key_(std::move(key)), publicKey_(std::move(publicKey)) {}

P256SigningKey::P256SigningKey(const P256SigningKey& other)
    : key_(sharedPkey(other.key_.get())), publicKey_(other.publicKey_) {}

P256SigningKey& P256SigningKey::operator=(const P256SigningKey& other) {
    if (this != &other) {
        key_ = sharedPkey(other.key_.get());
        publicKey_ = other.publicKey_;
    }
    return *this;
}

P256SigningKey::~P256SigningKey() = default;

P256SigningKey P256SigningKey::generate() {
    EvpPkeyPtr key = detail::generateP256KeyPair();
    P256PublicKey publicKey = P256PublicKey::fromNative(key.get());
    return P256SigningKey(std::move(key), std::move(publicKey));
}

P256SigningKey P256SigningKey::fromX963(ByteView x963) {
    EvpPkeyPtr key = detail::loadP256KeyPair(x963);
    P256PublicKey publicKey = P256PublicKey::fromX963(x963.first(P256PublicKey::kX963Size));
    return P256SigningKey(std::move(key), std::move(publicKey));
}

SecretBytes P256SigningKey::x963Representation() const { return detail::p256PrivateX963(key_.get()); }

Bytes P256SigningKey::signature(ByteView message) const {
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!ctx || !key_ ||
        EVP_DigestSignInit_ex(ctx.get(), nullptr, "SHA256", nullptr, nullptr, key_.get(), nullptr) != 1 ||
        EVP_DigestSignUpdate(ctx.get(), detail::nonNullData(message), message.size()) != 1 ||
        EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1) {
        throw CryptoError(CryptoError::Case::signingFailed);
    }
    Bytes out(length);
    if (EVP_DigestSignFinal(ctx.get(), out.data(), &length) != 1) {
        throw CryptoError(CryptoError::Case::signingFailed);
    }
    out.resize(length);
    return out;
}

std::ostream& operator<<(std::ostream& out, const P256SigningKey& key) { return out << key.description(); }

} // namespace velorinth
