#include "platform/crypto/CryptoError.hpp"

#include <string>

namespace velorinth {

CryptoError::CryptoError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view CryptoError::text(Case kind) noexcept {
    switch (kind) {
    case Case::invalidParameter: return "A cryptographic operation was given a parameter of the wrong size.";
    case Case::invalidKey: return "The cryptographic key is invalid.";
    case Case::keyGenerationFailed: return "Cryptographic key generation failed.";
    case Case::signingFailed: return "Creating the signature failed.";
    case Case::keyAgreementFailed: return "Key agreement failed.";
    case Case::keyDerivationFailed: return "Key derivation failed.";
    case Case::randomGenerationFailed: return "Secure random number generation failed.";
    case Case::ciphertextTooShort: return "The sealed message is too short to hold an authentication tag.";
    case Case::authenticationFailed: return "The sealed message failed authentication.";
    case Case::operationFailed: return "A cryptographic operation failed.";
    }
    return "A cryptographic operation failed.";
}

} // namespace velorinth
