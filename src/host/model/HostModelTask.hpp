#pragma once

#include "core/LoopSignal.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace velorinth {

// Waits for a duration: a timer in production, a clock the test moves in tests.
using SleepFunction = std::function<asio::awaitable<void>(std::chrono::steady_clock::duration)>;

// The handle of one of the model's unstructured tasks: a cancel flag and an
// identity. Two handles are the same task when they share their state; an
// empty handle stands for no task. Cancelling sets the flag, which the task
// checks where its algorithm says, and cuts short the sleep it may be in.
class HostModelTask {
public:
    HostModelTask() = default;
    // A new task; `executor` is the UI thread's: cancel and sleep run there.
    explicit HostModelTask(asio::any_io_executor executor);

    explicit operator bool() const noexcept { return state_ != nullptr; }

    // UI thread.
    void cancel() const;
    // Any thread.
    bool isCancelled() const noexcept { return state_ && state_->cancelled.load(std::memory_order_acquire); }
    // Sleeps through `sleep`, or until cancelled, whichever comes first;
    // reports neither. UI thread.
    asio::awaitable<void> sleep(const SleepFunction& sleep, std::chrono::steady_clock::duration duration) const;

    bool operator==(const HostModelTask&) const = default;

private:
    struct State {
        explicit State(asio::any_io_executor executor) : woken(std::move(executor)) {}
        std::atomic<bool> cancelled{false};
        LoopSignal woken;
    };
    std::shared_ptr<State> state_;
};

} // namespace velorinth
