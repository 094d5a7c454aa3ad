#include "core/InputPreferences.hpp"

#include <algorithm>

namespace velorinth {

std::string_view title(InputInteractionMode mode) {
    return mode == InputInteractionMode::directPointer ? "Direct Pointer" : "Touch Mode";
}

InputPreferences::InputPreferences(InputInteractionMode mode, double pointerSensitivity, bool naturalScrollingEnabled,
                                   bool tapToClickEnabled, bool optionSendsMeta)
    : mode(mode),
      pointerSensitivity(clampedSensitivity(pointerSensitivity)),
      naturalScrollingEnabled(naturalScrollingEnabled),
      tapToClickEnabled(tapToClickEnabled),
      optionSendsMeta(optionSendsMeta) {}

double InputPreferences::clampedSensitivity(double sensitivity) {
    return std::clamp(sensitivity, kMinimumPointerSensitivity, kMaximumPointerSensitivity);
}

} // namespace velorinth
