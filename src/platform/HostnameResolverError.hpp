#pragma once

#include "core/Error.hpp"

#include <string>

namespace velorinth {

// A host-name lookup that gave no usable address. Callers turn it into their
// own failure; what() is the system resolver's text.
class HostnameResolverError : public Error {
public:
    enum class Case { dnsResolutionFailed };

    static HostnameResolverError dnsResolutionFailed(std::string host, std::string detail);

    bool operator==(const HostnameResolverError& other) const noexcept {
        return kind == other.kind && host == other.host && detail == other.detail;
    }

    Case kind;
    std::string host;
    std::string detail;

private:
    HostnameResolverError(Case kind, std::string host, std::string detail);
};

} // namespace velorinth
