#pragma once

// The symbol names the presenters hand the views, one definition each. The
// views draw each of them (IconProvider); `all` lists every name.

#include <array>
#include <string_view>

namespace velorinth::symbols {

inline constexpr std::string_view ipadAndArrowForward = "ipad.and.arrow.forward";
inline constexpr std::string_view powerCircleFill = "power.circle.fill";
inline constexpr std::string_view checkmarkCircleFill = "checkmark.circle.fill";
inline constexpr std::string_view exclamationmarkTriangleFill = "exclamationmark.triangle.fill";
inline constexpr std::string_view macbookAndIpad = "macbook.and.ipad";
inline constexpr std::string_view boltHorizontalCircle = "bolt.horizontal.circle";
inline constexpr std::string_view person2BadgeKey = "person.2.badge.key";
inline constexpr std::string_view power = "power";
inline constexpr std::string_view lockShield = "lock.shield";
inline constexpr std::string_view pauseCircleFill = "pause.circle.fill";
inline constexpr std::string_view displayAndArrowDown = "display.and.arrow.down";
inline constexpr std::string_view rectangleInsetFilledAndPersonFilled = "rectangle.inset.filled.and.person.filled";
inline constexpr std::string_view dotRadiowavesLeftAndRight = "dot.radiowaves.left.and.right";
inline constexpr std::string_view wifiExclamationmark = "wifi.exclamationmark";
inline constexpr std::string_view wifiSlash = "wifi.slash";
inline constexpr std::string_view hourglass = "hourglass";
inline constexpr std::string_view exclamationmarkShieldFill = "exclamationmark.shield.fill";
inline constexpr std::string_view ipadLandscape = "ipad.landscape";
inline constexpr std::string_view checkmarkSealFill = "checkmark.seal.fill";
inline constexpr std::string_view boltBadgeClockFill = "bolt.badge.clock.fill";
inline constexpr std::string_view xmarkOctagonFill = "xmark.octagon.fill";
inline constexpr std::string_view questionmarkCircleFill = "questionmark.circle.fill";
inline constexpr std::string_view ipad = "ipad";
inline constexpr std::string_view checkmarkShieldFill = "checkmark.shield.fill";
inline constexpr std::string_view xmarkShield = "xmark.shield";
inline constexpr std::string_view networkBadgeShieldHalfFilled = "network.badge.shield.half.filled";
inline constexpr std::string_view exclamationmarkCircle = "exclamationmark.circle";

inline constexpr std::array<std::string_view, 27> all{
    ipadAndArrowForward,   powerCircleFill,        checkmarkCircleFill,
    exclamationmarkTriangleFill, macbookAndIpad,   boltHorizontalCircle,
    person2BadgeKey,       power,                  lockShield,
    pauseCircleFill,       displayAndArrowDown,    rectangleInsetFilledAndPersonFilled,
    dotRadiowavesLeftAndRight, wifiExclamationmark, wifiSlash,
    hourglass,             exclamationmarkShieldFill, ipadLandscape,
    checkmarkSealFill,     boltBadgeClockFill,     xmarkOctagonFill,
    questionmarkCircleFill, ipad,                  checkmarkShieldFill,
    xmarkShield,           networkBadgeShieldHalfFilled, exclamationmarkCircle,
};

} // namespace velorinth::symbols
