#pragma once

// Virtual key codes as X keycodes: each key goes to the Linux input (evdev)
// key at the same position, and the X server's keycode is the evdev code + 8
// (the "evdev" keycodes of XKB, which Xorg and Xvfb load).

#include <cstdint>
#include <optional>

namespace velorinth::xkeys {

// None for a virtual key without an X key (keypad Clear, unknown codes).
std::optional<std::uint8_t> keycodeForVirtualKey(std::uint16_t virtualKey);
// Whether some virtual key is sent to this keycode.
bool isVirtualKeyTarget(std::uint8_t keycode);
// The keypad digits and decimal point, which need Num Lock on.
bool isKeypadNumber(std::uint16_t virtualKey);

inline constexpr std::uint8_t kEvdevOffset = 8;
// Evdev codes + 8.
inline constexpr std::uint8_t kShiftLeft = 50, kShiftRight = 62;
inline constexpr std::uint8_t kControlLeft = 37, kControlRight = 105;
inline constexpr std::uint8_t kAltLeft = 64, kAltRight = 108;
inline constexpr std::uint8_t kSuperLeft = 133, kSuperRight = 134;
inline constexpr std::uint8_t kCapsLock = 66;
inline constexpr std::uint8_t kNumLock = 77;
inline constexpr std::uint8_t kReturn = 36;
inline constexpr std::uint8_t kTab = 23;

} // namespace velorinth::xkeys
