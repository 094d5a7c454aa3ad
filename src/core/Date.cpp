#include "core/Date.hpp"

#include <cmath>

namespace velorinth {

Date Date::now() { return fromSystemClock(std::chrono::system_clock::now()); }

Date Date::fromSystemClock(std::chrono::system_clock::time_point tp) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(tp.time_since_epoch()).count();
    return fromUnixSeconds(static_cast<double>(us) / 1e6);
}

std::int64_t Date::unixSecondsFloor() const noexcept {
    return static_cast<std::int64_t>(std::floor(timeIntervalSince1970()));
}

} // namespace velorinth
