#include "platform/HostnameResolverError.hpp"

#include <utility>

namespace velorinth {

HostnameResolverError::HostnameResolverError(Case kind, std::string host, std::string detail)
    : Error(detail), kind(kind), host(std::move(host)), detail(std::move(detail)) {}

HostnameResolverError HostnameResolverError::dnsResolutionFailed(std::string host, std::string detail) {
    return HostnameResolverError(Case::dnsResolutionFailed, std::move(host), std::move(detail));
}

} // namespace velorinth
