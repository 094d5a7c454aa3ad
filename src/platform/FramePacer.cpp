#include "platform/FramePacer.hpp"

namespace velorinth {

std::uint64_t FramePacer::advance(Clock::time_point now, Clock::duration interval) {
    if (interval <= Clock::duration::zero()) interval = Clock::duration(1);
    deadline_ += interval;
    if (now - deadline_ < interval) return 0; // on time, or late by less than a whole interval: taken at once
    const auto missed = (now - deadline_) / interval;
    deadline_ += missed * interval;
    return static_cast<std::uint64_t>(missed);
}

} // namespace velorinth
