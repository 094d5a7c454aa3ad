#pragma once

#include "core/Error.hpp"

namespace velorinth {

// No text of its own (the host words what the user sees): what() is the case name.
class InputInjectorError : public Error {
public:
    enum class Case { accessibilityPermissionRequired, invalidCoordinate };
    explicit InputInjectorError(Case kind);
    Case kind;
    bool operator==(const InputInjectorError& other) const { return kind == other.kind; }
};

} // namespace velorinth
