#include "host/model/HostModelTask.hpp"

#include <asio/experimental/awaitable_operators.hpp>

namespace velorinth {

namespace {

asio::awaitable<void> waitUntilCancelled(std::shared_ptr<const void> keep, LoopSignal& woken,
                                         const std::atomic<bool>& cancelled) {
    (void)keep;
    // Checked right before parking, with no suspension between, so a cancel
    // cannot slip past. Woken by the cancel, or by the race when the sleep won.
    if (cancelled.load(std::memory_order_acquire)) co_return;
    co_await woken.wait();
}

} // namespace

HostModelTask::HostModelTask(asio::any_io_executor executor) : state_(std::make_shared<State>(std::move(executor))) {}

void HostModelTask::cancel() const {
    if (!state_) return;
    state_->cancelled.store(true, std::memory_order_release);
    state_->woken.notifyAll();
}

asio::awaitable<void> HostModelTask::sleep(const SleepFunction& sleep,
                                           std::chrono::steady_clock::duration duration) const {
    using namespace asio::experimental::awaitable_operators;
    if (!state_ || isCancelled()) co_return;
    const std::shared_ptr<State> state = state_;
    auto race = sleep(duration) || waitUntilCancelled(state, state->woken, state->cancelled);
    co_await std::move(race);
}

} // namespace velorinth
