#include "platform/MemoryReleaseScheduler.hpp"

#include <asio/post.hpp>

#include <algorithm>
#include <utility>

namespace velorinth {

MemoryReleaseScheduler::MemoryReleaseScheduler(const asio::any_io_executor& executor, asio::any_io_executor worker,
                                               Duration delay, Release release)
    : executor_(executor), timer_(executor), worker_(std::move(worker)), delay_(delay),
      release_(release ? std::move(release) : Release(returnFreedMemoryToSystem)) {}

std::function<void()> MemoryReleaseScheduler::requestFromAnyThread() {
    return [weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            asio::post(self->executor_, [weak] {
                if (const auto scheduler = weak.lock()) scheduler->request();
            });
        }
    };
}

void MemoryReleaseScheduler::request() {
    lastRequest_ = std::chrono::steady_clock::now();
    if (scheduled_) return; // the pending release waits for this one too
    scheduled_ = true;
    firstRequest_ = lastRequest_;
    waitUntil(lastRequest_ + delay_);
}

void MemoryReleaseScheduler::waitUntil(TimePoint due) {
    timer_.expires_at(due);
    timer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        const auto self = weak.lock();
        if (!self || error) return;
        const TimePoint due =
            std::min(self->lastRequest_ + self->delay_, self->firstRequest_ + kLongestWait * self->delay_);
        if (std::chrono::steady_clock::now() < due) return self->waitUntil(due);
        self->scheduled_ = false;
        // The trim holds each arena's lock while it returns that arena's
        // pages, some 20 ms after a flood: the loop must not wait for it.
        asio::post(self->worker_, self->release_);
    });
}

} // namespace velorinth
