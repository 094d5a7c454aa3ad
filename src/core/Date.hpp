#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <functional>

namespace velorinth {

// A point in time as seconds since 2001-01-01 00:00:00 UTC, the form every
// stored and sent date takes. Holding the double itself keeps values exact
// across encode and decode.
class Date {
public:
    static constexpr double kUnixOffsetSeconds = 978307200.0;

    constexpr Date() = default;
    constexpr explicit Date(double secondsSinceReferenceDate) : seconds_(secondsSinceReferenceDate) {}

    static Date now();
    static constexpr Date fromUnixSeconds(double unixSeconds) { return Date(unixSeconds - kUnixOffsetSeconds); }
    static Date fromSystemClock(std::chrono::system_clock::time_point tp);

    constexpr double timeIntervalSinceReferenceDate() const noexcept { return seconds_; }
    constexpr double timeIntervalSince1970() const noexcept { return seconds_ + kUnixOffsetSeconds; }
    constexpr double timeIntervalSince(Date other) const noexcept { return seconds_ - other.seconds_; }
    constexpr Date addingTimeInterval(double seconds) const noexcept { return Date(seconds_ + seconds); }
    // Whole Unix seconds, rounded toward negative infinity; NaN is the far past, and values beyond the
    // integer's range clamp to its ends.
    std::int64_t unixSecondsFloor() const noexcept;

    constexpr auto operator<=>(const Date&) const = default;

private:
    double seconds_ = 0.0;
};

// A source of the current time, injected wherever time decides behaviour.
using WallClock = std::function<Date()>;

} // namespace velorinth
