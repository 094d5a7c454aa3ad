#include "platform/crypto/P256PublicKey.hpp"

#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/OpenSslParams.hpp"
#include "platform/crypto/P256Support.hpp"

#include <ostream>

namespace velorinth {

P256PublicKey::P256PublicKey(EvpPkeyPtr key, Bytes x963) : key_(std::move(key)), x963_(std::move(x963)) {}

P256PublicKey::P256PublicKey(const P256PublicKey& other) : key_(sharedPkey(other.key_.get())), x963_(other.x963_) {}

P256PublicKey& P256PublicKey::operator=(const P256PublicKey& other) {
    if (this != &other) {
        key_ = sharedPkey(other.key_.get());
        x963_ = other.x963_;
    }
    return *this;
}

P256PublicKey::~P256PublicKey() = default;

P256PublicKey P256PublicKey::fromX963(ByteView x963) {
    return P256PublicKey(detail::loadP256PublicKey(x963), Bytes(x963.begin(), x963.end()));
}

P256PublicKey P256PublicKey::fromNative(EVP_PKEY* key) {
    // Re-imported from its coordinates, so the result holds the public part
    // only and has passed the same full check as fromX963.
    return fromX963(detail::p256PublicPoint(key));
}

bool P256PublicKey::isValidSignature(ByteView derSignature, ByteView message) const noexcept {
    if (!key_ || derSignature.empty()) return false;
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx) return false;
    if (EVP_DigestVerifyInit_ex(ctx.get(), nullptr, "SHA256", nullptr, nullptr, key_.get(), nullptr) != 1) {
        return false;
    }
    // OpenSSL's ECDSA verification re-encodes the parsed (r, s) and compares it
    // with the input, so BER variants and trailing bytes fail here.
    return EVP_DigestVerify(ctx.get(), derSignature.data(), derSignature.size(), detail::nonNullData(message),
                            message.size()) == 1;
}

std::ostream& operator<<(std::ostream& out, const P256PublicKey& key) {
    return out << "P256PublicKey(" << hexEncodedString(key.x963Representation()) << ")";
}

} // namespace velorinth
