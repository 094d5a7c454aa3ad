#pragma once

// The tablet user's input settings and the small enumerations of the
// tablet-side input engine.

#include "core/Json.hpp"

#include <array>
#include <string_view>

namespace velorinth {

enum class InputInteractionMode { directPointer, touchMode };

// "Direct Pointer", "Touch Mode".
std::string_view title(InputInteractionMode mode);

enum class ScrollSourceKind { continuous, discreteWheel };

enum class RemoteInputBlockReason { unauthenticatedSession, remoteControlPermissionDenied, hostAccessibilityUnavailable };

struct InputPreferences {
    static constexpr double kMinimumPointerSensitivity = 0.5;
    static constexpr double kMaximumPointerSensitivity = 2.5;

    InputInteractionMode mode = InputInteractionMode::directPointer;
    double pointerSensitivity = 1.0;
    bool naturalScrollingEnabled = false;
    bool tapToClickEnabled = false;
    bool optionSendsMeta = false;

    // For the decoder, which takes what it reads unclamped.
    InputPreferences() = default;
    // Clamps the sensitivity into 0.5...2.5.
    InputPreferences(InputInteractionMode mode, double pointerSensitivity, bool naturalScrollingEnabled,
                     bool tapToClickEnabled, bool optionSendsMeta);

    static double clampedSensitivity(double sensitivity);

    bool operator==(const InputPreferences&) const = default;
};

namespace json {

template <>
struct EnumNames<InputInteractionMode> {
    static constexpr std::array<std::string_view, 2> names{"directPointer", "touchMode"};
};
template <>
struct EnumNames<ScrollSourceKind> {
    static constexpr std::array<std::string_view, 2> names{"continuous", "discreteWheel"};
};
template <>
struct EnumNames<RemoteInputBlockReason> {
    static constexpr std::array<std::string_view, 3> names{"unauthenticatedSession", "remoteControlPermissionDenied",
                                                           "hostAccessibilityUnavailable"};
};

// All five keys are required.
template <>
struct JsonFields<InputPreferences> {
    static constexpr auto fields = std::make_tuple(
        member("mode", &InputPreferences::mode), member("pointerSensitivity", &InputPreferences::pointerSensitivity),
        member("naturalScrollingEnabled", &InputPreferences::naturalScrollingEnabled),
        member("tapToClickEnabled", &InputPreferences::tapToClickEnabled),
        member("optionSendsMeta", &InputPreferences::optionSendsMeta));
};

} // namespace json
} // namespace velorinth
