#include "core/Date.hpp"

#include <cmath>
#include <limits>

namespace velorinth {

Date Date::now() { return fromSystemClock(std::chrono::system_clock::now()); }

Date Date::fromSystemClock(std::chrono::system_clock::time_point tp) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(tp.time_since_epoch()).count();
    return fromUnixSeconds(static_cast<double>(us) / 1e6);
}

std::int64_t Date::unixSecondsFloor() const noexcept {
    // Dates arrive from peers and files: casting NaN or a value beyond the integer's range is undefined.
    using Limits = std::numeric_limits<std::int64_t>;
    const double seconds = std::floor(timeIntervalSince1970());
    if (std::isnan(seconds)) {
        return Limits::min();
    }
    constexpr double kTwoToThe63 = 9223372036854775808.0; // exact in a double, unlike Limits::max()
    if (seconds >= kTwoToThe63) {
        return Limits::max();
    }
    if (seconds < -kTwoToThe63) {
        return Limits::min();
    }
    return static_cast<std::int64_t>(seconds);
}

} // namespace velorinth
