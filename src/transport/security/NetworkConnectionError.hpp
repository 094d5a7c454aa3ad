#pragma once

#include "core/Error.hpp"

#include <string>
#include <string_view>

namespace velorinth {

// Failures of a framed network connection.
class NetworkConnectionError : public Error {
public:
    enum class Case { network, localNetworkPermissionDenied, cancelled, closed, oversizedFrame, malformedFrame };

    // For every case but network, whose text comes from network().
    explicit NetworkConnectionError(Case kind);
    // "Network connection failed: " followed by the system's description.
    static NetworkConnectionError network(std::string text);

    bool operator==(const NetworkConnectionError& other) const noexcept {
        return kind == other.kind && text == other.text;
    }

    Case kind;
    std::string text; // the associated text of network; empty otherwise

private:
    NetworkConnectionError(Case kind, std::string text);
    static std::string describe(Case kind, std::string_view text);
};

} // namespace velorinth
