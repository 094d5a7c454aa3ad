#pragma once

#include "core/Error.hpp"

#include <string_view>

namespace velorinth {

// The identity service's own failure; the secure store's errors pass through.
class DeviceIdentityServiceError : public Error {
public:
    enum class Case { corruptedIdentity };

    explicit DeviceIdentityServiceError(Case kind = Case::corruptedIdentity);
    static std::string_view text(Case kind);

    bool operator==(const DeviceIdentityServiceError& other) const noexcept { return kind == other.kind; }

    Case kind;
};

} // namespace velorinth
