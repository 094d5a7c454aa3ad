#pragma once

// What SessionBench needs beside the shared bench support and the test rigs:
// the raw cipher it stands its figures beside.

#include "BenchSupport.hpp"

#include "core/BigEndian.hpp"
#include "core/Bytes.hpp"
#include "platform/crypto/SecureRandom.hpp"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <vector>

namespace velorinth::bench {

// ---- the reference: EVP ChaCha20-Poly1305, one reused context per direction

struct EvpFigures {
    double seal = 0, open = 0; // MB/s
};

// One message either way; the tag is written (seal) or checked (open) at `tag`.
inline bool evpCrypt(EVP_CIPHER_CTX* c, bool seal, std::uint64_t counter, ByteView ad, ByteView in, std::uint8_t* out,
              std::uint8_t* tag) {
    std::array<std::uint8_t, 12> iv{};
    bigendian::store<std::uint64_t>(std::span(iv).last<8>(), counter);
    int n = 0;
    return EVP_CipherInit_ex(c, nullptr, nullptr, nullptr, iv.data(), seal ? 1 : 0) == 1 &&
           EVP_CipherUpdate(c, nullptr, &n, ad.data(), static_cast<int>(ad.size())) == 1 &&
           EVP_CipherUpdate(c, out, &n, in.data(), static_cast<int>(in.size())) == 1 &&
           (seal || EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_SET_TAG, 16, tag) == 1) &&
           EVP_CipherFinal_ex(c, out + n, &n) == 1 &&
           (!seal || EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_GET_TAG, 16, tag) == 1);
}

inline EvpFigures evpReference(std::size_t size) {
    struct Free {
        void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
    };
    const Bytes key = randomBytes(32), ad = randomBytes(32), plaintext = randomBytes(size);
    std::unique_ptr<EVP_CIPHER_CTX, Free> enc(EVP_CIPHER_CTX_new()), dec(EVP_CIPHER_CTX_new());
    if (!enc || !dec || EVP_CipherInit_ex(enc.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nullptr, 1) != 1 ||
        EVP_CipherInit_ex(dec.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nullptr, 0) != 1) {
        fail("EVP init");
    }
    constexpr std::size_t kBatch = 32;
    std::vector<Bytes> sealed(kBatch, Bytes(size + 16));
    Bytes out(size);
    std::vector<double> seals, opens;
    for (std::uint64_t slice = 0; slice < 7; ++slice) {
        for (const bool seal : {true, false}) {
            const auto start = Clock::now();
            for (std::size_t i = 0; i < kBatch; ++i) {
                std::uint8_t* tag = sealed[i].data() + size;
                if (seal ? !evpCrypt(enc.get(), true, slice * kBatch + i, ad, plaintext, sealed[i].data(), tag)
                         : !evpCrypt(dec.get(), false, slice * kBatch + i, ad, ByteView(sealed[i]).first(size),
                                     out.data(), tag)) {
                    fail("EVP ChaCha20-Poly1305");
                }
                gSink = gSink ^ out[0];
            }
            (seal ? seals : opens).push_back(megabytesPerSecond(double(kBatch * size), Clock::now() - start));
        }
    }
    return {median(seals), median(opens)};
}

} // namespace velorinth::bench
