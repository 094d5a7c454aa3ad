#pragma once

#include "core/Error.hpp"

#include <string_view>

namespace velorinth {

// Trouble publishing the listener on the local network. Never a listener
// failure: connections by address keep working.
class ListenerPublicationError : public Error {
public:
    enum class Case { avahiUnavailable };

    explicit ListenerPublicationError(Case kind);
    static std::string_view text(Case kind) noexcept;

    bool operator==(const ListenerPublicationError& other) const noexcept { return kind == other.kind; }

    Case kind;
};

} // namespace velorinth
