#include "transport/security/PairingKeyDerivation.hpp"

#include "core/BigEndian.hpp"
#include "platform/crypto/CryptoError.hpp"
#include "platform/crypto/KeyDerivation.hpp"

namespace velorinth {

namespace {

ByteView viewOf(std::string_view text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

} // namespace

SecretBytes PairingKeyDerivation::sessionKey(ByteView sharedSecret, ByteView transcriptHash) {
    return hkdfSha256(sharedSecret, transcriptHash, viewOf(kSessionKeyInfo), kSessionKeySize);
}

SecretBytes PairingKeyDerivation::verificationSeed(ByteView sharedSecret, ByteView transcriptHash) {
    return hkdfSha256(sharedSecret, transcriptHash, viewOf(kVerificationLabel), kSeedSize);
}

std::string PairingKeyDerivation::verificationCodeFromSeed(ByteView seed) {
    const SecretBytes output = scrypt(seed, viewOf(kVerificationLabel), kScryptN, kScryptR, kScryptP,
                                      kScryptOutputSize, kScryptMaxMemoryBytes);
    return codeFromBytes(output.view());
}

std::string PairingKeyDerivation::verificationCode(ByteView sharedSecret, ByteView transcriptHash) {
    return verificationCodeFromSeed(verificationSeed(sharedSecret, transcriptHash).view());
}

std::string PairingKeyDerivation::codeFromBytes(ByteView eightBytes) {
    if (eightBytes.size() != kScryptOutputSize) throw CryptoError(CryptoError::Case::invalidParameter);
    std::uint64_t remainder = bigendian::load<std::uint64_t>(eightBytes.first<8>()) % kCodeModulus;
    std::string code(6, '0');
    for (std::size_t i = code.size(); i-- > 0; remainder /= 10) code[i] = static_cast<char>('0' + remainder % 10);
    return code;
}

} // namespace velorinth
