#pragma once

// What the presenters hand the views: named colours, badges, symbols, and
// the number and date texts of the dashboard.

#include "core/Date.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velorinth {

// The colours the dashboard names; the views map them onto their palette.
enum class Tint { primary, secondary, green, orange, red, blue, purple, accent };

// A label on a rounded fill of its own colour.
struct Badge {
    std::string text;
    Tint tint = Tint::secondary;
    std::string symbol; // empty: none
    double fillOpacity = 0.15;
    bool operator==(const Badge&) const = default;
};

struct SymbolImage {
    std::string name;
    Tint tint = Tint::primary;
    bool operator==(const SymbolImage&) const = default;
};

// printf-style numbers without the C library's locale, which Qt sets from
// the environment (a German locale would print "12,35").
std::string decimalText(std::int64_t value);
std::string decimalText(std::uint64_t value);
// `precision` digits after a ".".
std::string fixedText(double value, int precision);

// The dashboard's date and time texts, in the user's locale in the
// application and in the C locale and UTC in tests.
struct DisplayFormats {
    // The standard time style without the date: hours, minutes and seconds.
    std::function<std::string(Date)> timeOfDay;
    // The abbreviated date with the shortened time.
    std::function<std::string(Date)> abbreviatedDateTime;
    // An integer with the locale's grouping separators.
    std::function<std::string(std::uint64_t)> groupedInteger;

    // "14:05:09", "Jan 5, 2026, 14:05", "1,234".
    static DisplayFormats cLocaleUtc();
};

} // namespace velorinth
