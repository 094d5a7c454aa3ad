#pragma once

#include "core/Error.hpp"

#include <string_view>

namespace velorinth {

// The one failure of the crypto layer. Signature verification is the only
// operation that reports a negative result as a value (false) instead.
class CryptoError : public Error {
public:
    enum class Case {
        invalidParameter,       // a key, nonce or length of the wrong size
        invalidKey,             // not a valid P-256 key or point, or a private key not matching its public point
        keyGenerationFailed,
        signingFailed,
        keyAgreementFailed,
        keyDerivationFailed,
        randomGenerationFailed,
        ciphertextTooShort,     // shorter than the authentication tag
        authenticationFailed,   // the tag does not match the ciphertext, nonce, key and AD
        operationFailed,        // any other failure inside the library
    };

    explicit CryptoError(Case kind);

    static std::string_view text(Case kind) noexcept;

    Case kind;
};

} // namespace velorinth
