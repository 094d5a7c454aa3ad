#pragma once

#include "core/Error.hpp"

#include <string>
#include <string_view>

namespace velorinth {

// Failures of the local wake path: destinations, sending and dispatching.
class LocalWakeError : public Error {
public:
    enum class Case {
        invalidDestination,
        transmissionFailed,
        noSavedWakeConfiguration,
        noValidLocalTargets,
        rateLimited
    };

    // For the cases without a text.
    explicit LocalWakeError(Case kind);
    // "Invalid local wake destination: " followed by `text`.
    static LocalWakeError invalidDestination(std::string text);
    // "Couldn't send local wake packet: " followed by `text`.
    static LocalWakeError transmissionFailed(std::string text);

    bool operator==(const LocalWakeError& other) const noexcept { return kind == other.kind && text == other.text; }

    Case kind;
    std::string text; // the carried text of invalidDestination and transmissionFailed; empty otherwise

private:
    LocalWakeError(Case kind, std::string text);
    static std::string describe(Case kind, std::string_view text);
};

} // namespace velorinth
