#pragma once

#include "platform/MemoryRelease.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>

namespace velorinth {

// Returns freed memory to the system where a busy spell has ended (a
// flood's connections gone, a session or a stream over): `delay` after the
// last of a run of requests, each within `delay` of the one before, and at the
// latest kLongestWait delays after the first. So a release follows every
// request, a flood's many requests make one, and releases run at most once
// per `delay`, never once per connection. The release runs on `worker`, never
// on the requester's loop.
//
// Lives on `executor`: owned through std::shared_ptr, requested and destroyed
// there; `worker` must outlive it. A release not yet handed to the worker goes
// with it.
class MemoryReleaseScheduler : public std::enable_shared_from_this<MemoryReleaseScheduler> {
public:
    using Duration = std::chrono::steady_clock::duration;
    using Release = std::function<void()>;
    static constexpr std::chrono::seconds kDefaultDelay{2};
    // Requests that keep coming postpone a release at most this many delays.
    static constexpr int kLongestWait = 4;

    // An empty `release` is returnFreedMemoryToSystem.
    MemoryReleaseScheduler(const asio::any_io_executor& executor, asio::any_io_executor worker,
                           Duration delay = kDefaultDelay, Release release = returnFreedMemoryToSystem);
    MemoryReleaseScheduler(const MemoryReleaseScheduler&) = delete;
    MemoryReleaseScheduler& operator=(const MemoryReleaseScheduler&) = delete;

    void request();
    // A request from any thread, holding the scheduler weakly (for a budget's
    // spell ends, which may come after its owner is gone): it hops to the
    // executor while the scheduler lives.
    std::function<void()> requestFromAnyThread();

private:
    using TimePoint = std::chrono::steady_clock::time_point;

    void waitUntil(TimePoint due);

    asio::any_io_executor executor_;
    asio::steady_timer timer_;
    asio::any_io_executor worker_;
    Duration delay_;
    Release release_;
    bool scheduled_ = false;
    TimePoint firstRequest_{};
    TimePoint lastRequest_{};
};

} // namespace velorinth
