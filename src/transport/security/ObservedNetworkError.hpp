#pragma once

#include <string>

namespace velorinth {

// The last low-level error a connection saw, for callers that classify
// failures (refused, unreachable, name not found, TLS alert) by kind and code.
struct ObservedNetworkError {
    enum class Kind {
        posix, // connect, read and write: an errno value (ECONNREFUSED...), strerror text
        dns,   // name resolution: an EAI_* value, gai_strerror text
        tls,   // handshake and record layer: OpenSSL's reason code and text
    };

    Kind kind = Kind::posix;
    int code = 0;
    std::string text;

    bool operator==(const ObservedNetworkError&) const = default;
};

} // namespace velorinth
