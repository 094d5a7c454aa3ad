#pragma once

#include "core/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velorinth {

// What both sides derive from the ephemeral shared secret Z and the
// transcript hash: the session key, and the 6-digit verification code the
// users compare.
//
// The code is memory-hard on purpose. The messages leave no room for a
// commitment, so an active attacker at a first pairing could otherwise vary
// its own nonce until both screens show the same six digits (about 10^6 cheap
// tries); one scrypt per try makes that grind far slower than the handshake's
// step limit allows.
//
// Failures throw CryptoError(keyDerivationFailed).
struct PairingKeyDerivation {
    static constexpr std::string_view kSessionKeyInfo = "Velorinth session key v1";
    // HKDF info of the code's seed, and the scrypt salt.
    static constexpr std::string_view kVerificationLabel = "Velorinth SAS v1";
    static constexpr std::size_t kSessionKeySize = 32;
    static constexpr std::size_t kSeedSize = 32;
    static constexpr std::uint64_t kScryptN = 32768;
    static constexpr std::uint32_t kScryptR = 8;
    static constexpr std::uint32_t kScryptP = 1;
    static constexpr std::size_t kScryptOutputSize = 8;
    static constexpr std::uint64_t kScryptMaxMemoryBytes = 64ull * 1024 * 1024;
    static constexpr std::uint64_t kCodeModulus = 1'000'000;

    // HKDF-SHA256(IKM Z, salt transcriptHash, info kSessionKeyInfo), 32 bytes.
    static SecretBytes sessionKey(ByteView sharedSecret, ByteView transcriptHash);
    // HKDF-SHA256(IKM Z, salt transcriptHash, info kVerificationLabel), 32 bytes.
    // Cheap; lets Z stay where it was agreed while the slow part runs elsewhere.
    static SecretBytes verificationSeed(ByteView sharedSecret, ByteView transcriptHash);
    // scrypt(seed, salt kVerificationLabel, N 32768, r 8, p 1, 8 bytes) read as
    // a big-endian UInt64, modulo 10^6, as exactly six digits. Takes about
    // 100 ms and 32 MiB.
    static std::string verificationCodeFromSeed(ByteView seed);
    // Both steps at once, synchronously.
    static std::string verificationCode(ByteView sharedSecret, ByteView transcriptHash);
    // Six decimal digits with leading zeros of the big-endian UInt64 in
    // `eightBytes`, modulo 10^6. Throws CryptoError(invalidParameter) unless
    // it is 8 bytes.
    static std::string codeFromBytes(ByteView eightBytes);
};

} // namespace velorinth
