#pragma once

#include <chrono>
#include <cstdint>

namespace velorinth {

// When a paced capture takes its frames: on slots one interval apart. A frame
// that ends after the next slot has begun takes that slot's frame at once, so
// a tick a little late costs only its lateness; a slot is skipped only when
// the whole interval after it has passed as well. The slots stay where they
// were, so the rate never exceeds one frame per interval over time. The time
// is passed in: no clock of its own.
class FramePacer {
public:
    using Clock = std::chrono::steady_clock;

    // The first frame is due at `first`.
    explicit FramePacer(Clock::time_point first) : deadline_(first) {}

    // When the next frame is due; at or before `now` means at once.
    Clock::time_point deadline() const noexcept { return deadline_; }

    // The frame due at deadline() has been taken, and it is now `now`: moves
    // to the next slot, past those wholly missed, and returns how many were.
    std::uint64_t advance(Clock::time_point now, Clock::duration interval);

private:
    Clock::time_point deadline_;
};

} // namespace velorinth
