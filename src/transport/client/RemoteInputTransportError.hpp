#pragma once

#include "core/Error.hpp"

#include <cstddef>
#include <functional>
#include <string_view>

namespace velorinth {

// Why the tablet's session refused to send an input event.
class RemoteInputTransportError : public Error {
public:
    enum class Case { sessionNotConnected, remoteControlPermissionDenied, hostAccessibilityUnavailable };

    explicit RemoteInputTransportError(Case kind);
    static std::string_view text(Case kind);

    bool operator==(const RemoteInputTransportError& other) const noexcept { return kind == other.kind; }

    Case kind;
};

} // namespace velorinth

template <>
struct std::hash<velorinth::RemoteInputTransportError> {
    std::size_t operator()(const velorinth::RemoteInputTransportError& error) const noexcept {
        return std::hash<int>{}(static_cast<int>(error.kind));
    }
};
