#include "platform/ListenerPublicationError.hpp"

#include <string>

namespace velorinth {

ListenerPublicationError::ListenerPublicationError(Case kind) : Error(std::string(text(kind))), kind(kind) {}

std::string_view ListenerPublicationError::text(Case kind) noexcept {
    switch (kind) {
    case Case::avahiUnavailable:
        return "Local network discovery is unavailable because the Avahi daemon is not running. Tablets can still "
               "connect by address.";
    }
    return {};
}

} // namespace velorinth
