#include "transport/security/DeviceIdentityServiceError.hpp"

#include <string>

namespace velorinth {

DeviceIdentityServiceError::DeviceIdentityServiceError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view DeviceIdentityServiceError::text(Case kind) {
    switch (kind) {
    case Case::corruptedIdentity:
        return "The local device identity in Keychain is corrupted. Reset the identity to generate a new key pair.";
    }
    return {};
}

} // namespace velorinth
