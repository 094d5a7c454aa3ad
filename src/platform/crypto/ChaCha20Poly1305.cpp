#include "platform/crypto/ChaCha20Poly1305.hpp"

#include "platform/crypto/CryptoError.hpp"

#include <climits>

namespace velorinth {

namespace {

using Case = CryptoError::Case;

const EVP_CIPHER* cipher() {
    // Fetched once: an explicit fetch skips the per-init lookup of EVP_chacha20_poly1305().
    static EVP_CIPHER* const fetched = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    if (fetched == nullptr) throw CryptoError(Case::operationFailed);
    return fetched;
}

// EVP update calls take int lengths.
bool fitsInt(std::size_t size) { return size <= static_cast<std::size_t>(INT_MAX) - ChaCha20Poly1305::kTagSize; }

EvpCipherCtxPtr makeContext(ByteView key, bool encrypt) {
    if (key.size() != ChaCha20Poly1305::kKeySize) throw CryptoError(Case::invalidParameter);
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) throw CryptoError(Case::operationFailed);
    int ok = encrypt ? EVP_EncryptInit_ex2(ctx.get(), cipher(), key.data(), nullptr, nullptr)
                     : EVP_DecryptInit_ex2(ctx.get(), cipher(), key.data(), nullptr, nullptr);
    if (ok != 1) throw CryptoError(Case::operationFailed);
    return ctx;
}

// The plaintext may come in parts (a packet header and a chunk that lies
// elsewhere): they are sealed as one message, with no copy to join them.
void sealWith(EVP_CIPHER_CTX* ctx, ByteView nonce, std::span<const ByteView> plaintext, ByteView aad,
              std::span<std::uint8_t> out) {
    std::size_t total = 0;
    for (const ByteView part : plaintext) {
        if (!fitsInt(part.size()) || !fitsInt(total + part.size())) throw CryptoError(Case::invalidParameter);
        total += part.size();
    }
    if (nonce.size() != ChaCha20Poly1305::kNonceSize || !fitsInt(aad.size()) ||
        out.size() != total + ChaCha20Poly1305::kTagSize) {
        throw CryptoError(Case::invalidParameter);
    }
    // Re-initialising with only a nonce keeps the key schedule and resets the MAC.
    int length = 0;
    if (EVP_EncryptInit_ex2(ctx, nullptr, nullptr, nonce.data(), nullptr) != 1 ||
        (!aad.empty() && EVP_EncryptUpdate(ctx, nullptr, &length, aad.data(), static_cast<int>(aad.size())) != 1)) {
        throw CryptoError(Case::operationFailed);
    }
    std::size_t written = 0;
    for (const ByteView part : plaintext) {
        if (part.empty()) continue;
        int partWritten = 0;
        if (EVP_EncryptUpdate(ctx, out.data() + written, &partWritten, part.data(), static_cast<int>(part.size())) !=
                1 ||
            partWritten < 0 || written + static_cast<std::size_t>(partWritten) > total) {
            throw CryptoError(Case::operationFailed);
        }
        written += static_cast<std::size_t>(partWritten);
    }
    int finalLength = 0;
    if (EVP_EncryptFinal_ex(ctx, out.data() + written, &finalLength) != 1 ||
        written + static_cast<std::size_t>(finalLength) != total ||
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(ChaCha20Poly1305::kTagSize),
                            out.data() + total) != 1) {
        throw CryptoError(Case::operationFailed);
    }
}

void openWith(EVP_CIPHER_CTX* ctx, ByteView nonce, ByteView sealed, ByteView aad, std::span<std::uint8_t> out) {
    if (nonce.size() != ChaCha20Poly1305::kNonceSize || !fitsInt(sealed.size()) || !fitsInt(aad.size())) {
        throw CryptoError(Case::invalidParameter);
    }
    if (sealed.size() < ChaCha20Poly1305::kTagSize) throw CryptoError(Case::ciphertextTooShort);
    ByteView ciphertext = sealed.first(sealed.size() - ChaCha20Poly1305::kTagSize);
    ByteView tag = sealed.last(ChaCha20Poly1305::kTagSize);
    if (out.size() != ciphertext.size()) throw CryptoError(Case::invalidParameter);

    int length = 0;
    if (EVP_DecryptInit_ex2(ctx, nullptr, nullptr, nonce.data(), nullptr) != 1 ||
        (!aad.empty() && EVP_DecryptUpdate(ctx, nullptr, &length, aad.data(), static_cast<int>(aad.size())) != 1)) {
        throw CryptoError(Case::operationFailed);
    }
    int written = 0;
    if (!ciphertext.empty()) {
        if (EVP_DecryptUpdate(ctx, out.data(), &written, ciphertext.data(), static_cast<int>(ciphertext.size())) !=
            1) {
            secureWipe(out.data(), out.size());
            throw CryptoError(Case::operationFailed);
        }
    }
    int finalLength = 0;
    bool ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(ChaCha20Poly1305::kTagSize),
                                  const_cast<std::uint8_t*>(tag.data())) == 1 &&
              EVP_DecryptFinal_ex(ctx, out.data() + written, &finalLength) == 1;
    if (!ok) {
        // Unauthenticated plaintext never leaves.
        secureWipe(out.data(), out.size());
        throw CryptoError(Case::authenticationFailed);
    }
}

} // namespace

Bytes ChaCha20Poly1305::seal(ByteView key, ByteView nonce, ByteView plaintext, ByteView aad) {
    return ChaCha20Poly1305Key(key).seal(nonce, plaintext, aad);
}

Bytes ChaCha20Poly1305::open(ByteView key, ByteView nonce, ByteView sealed, ByteView aad) {
    return ChaCha20Poly1305Key(key).open(nonce, sealed, aad);
}

ChaCha20Poly1305Key::ChaCha20Poly1305Key(ByteView key)
    : encrypt_(makeContext(key, true)), decrypt_(makeContext(key, false)) {}

ChaCha20Poly1305Key::~ChaCha20Poly1305Key() = default;

Bytes ChaCha20Poly1305Key::seal(ByteView nonce, ByteView plaintext, ByteView aad) {
    if (!fitsInt(plaintext.size())) throw CryptoError(Case::invalidParameter);
    Bytes out(plaintext.size() + ChaCha20Poly1305::kTagSize);
    sealInto(nonce, plaintext, aad, out);
    return out;
}

Bytes ChaCha20Poly1305Key::open(ByteView nonce, ByteView sealed, ByteView aad) {
    if (sealed.size() < ChaCha20Poly1305::kTagSize) {
        if (nonce.size() != ChaCha20Poly1305::kNonceSize) throw CryptoError(Case::invalidParameter);
        throw CryptoError(Case::ciphertextTooShort);
    }
    Bytes out(sealed.size() - ChaCha20Poly1305::kTagSize);
    openInto(nonce, sealed, aad, out);
    return out;
}

void ChaCha20Poly1305Key::sealInto(ByteView nonce, ByteView plaintext, ByteView aad, std::span<std::uint8_t> out) {
    sealInto(nonce, std::span<const ByteView>(&plaintext, 1), aad, out);
}

void ChaCha20Poly1305Key::sealInto(ByteView nonce, std::span<const ByteView> plaintextParts, ByteView aad,
                                   std::span<std::uint8_t> out) {
    if (!encrypt_) throw CryptoError(Case::invalidParameter); // moved-from
    sealWith(encrypt_.get(), nonce, plaintextParts, aad, out);
}

void ChaCha20Poly1305Key::openInto(ByteView nonce, ByteView sealed, ByteView aad, std::span<std::uint8_t> out) {
    if (!decrypt_) throw CryptoError(Case::invalidParameter);
    openWith(decrypt_.get(), nonce, sealed, aad, out);
}

} // namespace velorinth
