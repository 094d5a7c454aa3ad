#include "platform/SecureStore.hpp"

#include <cstring>
#include <string>

namespace velorinth {

namespace {

std::string operationName(SecureStoreError::Case kind) {
    switch (kind) {
    case SecureStoreError::Case::loadFailed: return "load";
    case SecureStoreError::Case::saveFailed: return "save";
    case SecureStoreError::Case::deleteFailed: return "delete";
    }
    return "access";
}

std::string systemReason(int errorNumber) {
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text, which may or may not be buffer.
    const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
    return text ? std::string(text) : "Unknown error " + std::to_string(errorNumber);
}

} // namespace

SecureStoreError::SecureStoreError(Case kind, int errorNumber)
    : Error("Secure storage " + operationName(kind) + " failed: " + systemReason(errorNumber)),
      kind(kind),
      errorNumber(errorNumber) {}

bool isValidSecureStoreName(std::string_view name) noexcept {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-';
        if (!allowed) return false;
    }
    return true;
}

} // namespace velorinth
