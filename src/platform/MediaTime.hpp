#pragma once

#include <cstdint>

namespace velorinth {

// A rational time with flags, so that a sample's timestamp can be missing,
// indefinite or infinite, and every such case is refused by name.
struct MediaTime {
    enum Flags : std::uint32_t {
        valid = 1u << 0,
        indefinite = 1u << 1,
        positiveInfinity = 1u << 2,
        negativeInfinity = 1u << 3,
    };

    std::int64_t value = 0;
    std::int32_t timescale = 0;
    std::uint32_t flags = 0;

    static constexpr MediaTime make(std::int64_t value, std::int32_t timescale) { return {value, timescale, valid}; }
    static constexpr MediaTime invalid() { return {}; }

    constexpr bool isValid() const { return (flags & valid) != 0; }
    constexpr bool isIndefinite() const { return (flags & indefinite) != 0; }
    constexpr bool isInfinite() const { return (flags & (positiveInfinity | negativeInfinity)) != 0; }
    // A valid, finite, definite time with a positive timescale.
    constexpr bool isNumeric() const { return isValid() && !isIndefinite() && !isInfinite() && timescale > 0; }
    // value / timescale; NaN unless numeric.
    double seconds() const;

    bool operator==(const MediaTime&) const = default;
};

} // namespace velorinth
