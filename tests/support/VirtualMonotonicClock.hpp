#pragma once

#include "core/LoopSignal.hpp"
#include "core/MonotonicClock.hpp"

#include <asio/any_io_executor.hpp>

#include <optional>
#include <vector>

namespace velorinth::testing {

// A continuous clock that moves only when something sleeps on it: a sleep
// advances it by its duration at once and returns after one turn of the
// loop. Sleeps of at least `holdFrom` park instead until their task is
// cancelled (a first-frame wait that a cancellation must end). Loop only.
class VirtualMonotonicClock final : public MonotonicClock {
public:
    explicit VirtualMonotonicClock(asio::any_io_executor executor) : parked_(std::move(executor)) {}

    Duration now() const override { return now_; }
    asio::awaitable<void> sleep(Duration duration) override;

    void advance(Duration duration) { now_ += duration; }

    std::optional<Duration> holdFrom;
    std::vector<Duration> sleeps; // every sleep asked for, in order

private:
    Duration now_ = std::chrono::hours(1);
    LoopSignal parked_;
};

} // namespace velorinth::testing
