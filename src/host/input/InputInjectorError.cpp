#include "host/input/InputInjectorError.hpp"

namespace velorinth {

InputInjectorError::InputInjectorError(Case kind)
    : Error(kind == Case::accessibilityPermissionRequired ? "accessibilityPermissionRequired" : "invalidCoordinate"),
      kind(kind) {}

} // namespace velorinth
