#pragma once

#include "core/Error.hpp"

#include <string_view>

namespace velorinth {

// Why the capture back-end could not open, read or keep reading a display.
class CaptureBackendError : public Error {
public:
    enum class Case {
        displayUnavailable,
        unsupportedVisual,
        displayNotFound,
        connectionLost,
        grabFailed,
    };

    explicit CaptureBackendError(Case kind);
    static std::string_view text(Case kind);

    Case kind;
};

} // namespace velorinth
